// What an extension module keeps for as long as it is loaded: the runtime's Python types, the
// callables and names it uses on every call, and what the module itself keeps (its own types,
// compiled patterns, constants). As the state of CPython's own extension modules, it is owned
// by the module (an object in its namespace), released when the module is torn down, and every
// reference in it is visited by the collector. The runtime's objects (coroutines, async
// generators) keep the state they were made with, so it outlives every one of them.
//
// nanobind modules take part in one interpreter only, so each module has one state at a time,
// which module_state() gives.
#pragma once

#include <mutex>
#include <vector>

#include "runtime/python.h"

namespace quenlet::rt {

class KeptOnce;

struct ModuleState {
    nb::handle module_dict;  // where module-level names are read when they are used
    PyTypeObject* coroutine_type = nullptr;
    PyTypeObject* async_generator_type = nullptr;
    PyTypeObject* asend_type = nullptr;
    PyTypeObject* athrow_type = nullptr;
    nb::handle asyncio, get_event_loop, get_asyncgen_hooks, warnings_warn;

    // Everything the state owns, what the fields above refer to among it. Appended to, never
    // taken from, until the module goes; threads that keep at once (the GIL may be off) take
    // turns.
    std::vector<nb::object> kept;
    std::vector<const KeptOnce*> forgotten_at_teardown;
    std::mutex lock;  // for kept and forgotten_at_teardown; held while no Python code runs
};

// The state of this extension module (null before it is made and after its module has gone).
ModuleState* module_state() noexcept;

// The object that owns the state, for objects that must keep the state alive, and the state an
// owner holds (null once its module has gone and the state with it).
nb::handle module_state_owner() noexcept;
ModuleState* owned_state(PyObject* owner) noexcept;

// Keeps `object` for as long as the module is loaded and gives it back, borrowed.
nb::handle keep(nb::object object);

}  // namespace quenlet::rt
