// The async generator type's object and the helpers its awaitables (async_generator_awaitables.cpp)
// share with it: CPython's gen_send/gen_throw on the generator's frame and the unwrapping of what
// they give. Internal to the runtime.
#pragma once

#include "runtime/async_generator.h"
#include "runtime/frame_object.h"

namespace quenlet::rt {

struct AsyncGeneratorObject {
    FrameObject frame;
    PyObject* finalizer;  // the loop's finalizer hook, captured on first use
    bool hooks_inited;
    bool running_async;  // an awaitable of this generator is being iterated (ag_running)
    bool closed;         // aclose() was awaited, or the generator has run to its end
};

inline AsyncGeneratorObject* as_generator(PyObject* self) {
    return reinterpret_cast<AsyncGeneratorObject*>(self);
}
// What one step of the generator's frame gave, as CPython's gen_send/gen_throw give it: an
// object the frame awaits passes through to the event loop, an item comes wrapped (`yielded`),
// the end is StopAsyncIteration.
struct Step {
    Outcome outcome;
    PyObject* value;  // new reference for next and yielded
};

Step generator_send(AsyncGeneratorObject* generator, PyObject* value);
Step generator_throw(AsyncGeneratorObject* generator, Thrown thrown, bool close_awaited_on_exit);

// async_gen_unwrap_value: an item ends the awaitable with StopIteration(item); the generator's
// end or GeneratorExit closes the generator.
PyObject* unwrap(AsyncGeneratorObject* generator, Step step);

// The event loop's hooks, called when the generator is first iterated.
int init_hooks(AsyncGeneratorObject* generator);

// The awaitables of __anext__()/asend(value) (`sent` null for __anext__) and athrow(*arguments)/
// aclose() (`arguments` null for aclose), made by async_generator_awaitables.cpp.
PyObject* new_asend(PyObject* generator, PyObject* sent);
PyObject* new_athrow(PyObject* generator, PyObject* arguments);

void init_async_generator_awaitable_types(ModuleState& state, const char* module_name);

}  // namespace quenlet::rt
