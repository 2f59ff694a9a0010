// RepoFinder(settings_manager): stores its fields and nothing else; no setting is read and no
// session opened until a query needs them.
#include "repo_finder/repo_finder.h"

#include <new>
#include <utility>

namespace quenlet::repo_finder {

namespace {

PyTypeObject* finder_type = nullptr;

// The instance __dict__ that nanobind keeps for the class, at the offset it gave the class.
PyObject** instance_dict(PyObject* self) {
    Py_ssize_t offset = finder_type->tp_dictoffset;
    return offset > 0 ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset)
                      : nullptr;
}

// What the instance holds: the type (a heap type), its __dict__ and its state.
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject** dict = instance_dict(self)) Py_VISIT(*dict);
    if (RepoFinder* state = state_of(self)) {
        Py_VISIT(state->distribution_facts.ptr());
        Py_VISIT(state->parsed_requirements.ptr());
        Py_VISIT(state->version_orders.ptr());
        Py_VISIT(state->session_loop.ptr());
    }
    return 0;
}

int clear(PyObject* self) {
    // Moved out before they are released: releasing may run code that looks at the finder.
    nb::object dict;
    if (PyObject** slot = instance_dict(self)) dict = nb::steal(std::exchange(*slot, nullptr));
    RepoFinder cleared;
    if (RepoFinder* state = state_of(self)) cleared = std::move(*state);
    return 0;
}

}  // namespace

const PyType_Slot finder_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
                                    {Py_tp_clear, reinterpret_cast<void*>(&clear)},
                                    {0, nullptr}};

RepoFinder* state_of(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), finder_type) || !nb::inst_ready(self)) return nullptr;
    RepoFinder* state = nb::inst_ptr<RepoFinder>(self);
    return state->distribution_facts.is_valid() ? state : nullptr;
}

void bind_construction(Class& cls) {
    finder_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    cls.def(
        "__init__",
        [](nb::handle self, nb::handle settings_manager) {
            if (RepoFinder* state = state_of(self)) {
                // A second __init__ keeps the state the first made, emptied.
                for (nb::handle kept : {state->distribution_facts, state->parsed_requirements,
                                        state->version_orders, state->session_loop}) {
                    PyDict_Clear(kept.ptr());
                }
            } else if (PyObject_TypeCheck(self.ptr(), finder_type) && !nb::inst_ready(self)) {
                new (nb::inst_ptr<RepoFinder>(self))
                    RepoFinder{nb::dict(), nb::dict(), nb::dict(), nb::dict()};
                nb::inst_mark_ready(self);
            }
            field::settings_manager.set(self, settings_manager);
            field::session.set(self, nb::none());
            field::metadata_cache.set(self, nb::dict());
            field::distributions_cache.set(self, nb::none());
        },
        nb::arg("settings_manager").none());
}

}  // namespace quenlet::repo_finder
