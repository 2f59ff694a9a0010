// RepoFinder(settings_manager): stores its fields and nothing else; no setting is read and no
// session opened until a query needs them.
#include <new>

#include "repo_finder/finder_state.h"
#include "runtime/errors.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

nb::object KeptByTexts::key_of(nb::handle list) {
    if (!PyList_CheckExact(list.ptr())) return {};
    nb::object texts = rt::steal_or_throw(PyList_AsTuple(list.ptr()));
    for (nb::handle text : nb::borrow<nb::tuple>(texts)) {
        if (!PyUnicode_CheckExact(text.ptr())) return {};
    }
    return texts;
}

nb::object KeptByTexts::find(nb::handle key) const {
    return rt::dict_item(kept_, key);
}

void KeptByTexts::keep(nb::handle key, nb::handle value) {
    Py_ssize_t texts = PyTuple_GET_SIZE(key.ptr());
    if (texts > budget_) return;
    if (held_.fetch_add(texts) + texts > budget_) {
        PyDict_Clear(kept_.ptr());
        held_.store(texts);
    }
    if (PyDict_SetItem(kept_.ptr(), key.ptr(), value.ptr()) != 0) rt::throw_pending();
}

void KeptByTexts::clear() {
    PyDict_Clear(kept_.ptr());
    held_.store(0);
}

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
        Py_VISIT(state->session_loop.ptr());
        if (int status = state->parsed_requirements.traverse(visit, arg)) return status;
        return state->version_orders.traverse(visit, arg);
    }
    return 0;
}

int clear(PyObject* self) {
    // Moved out before they are released: releasing may run code that looks at the finder.
    nb::object dict, facts, loop, parsed, orders;
    if (PyObject** slot = instance_dict(self)) dict = nb::steal(std::exchange(*slot, nullptr));
    if (RepoFinder* state = state_of(self)) {
        facts = std::move(state->distribution_facts);
        loop = std::move(state->session_loop);
        parsed = state->parsed_requirements.take();
        orders = state->version_orders.take();
    }
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

void bind_construction(nb::handle cls) {
    finder_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    def(
        cls, "__init__",
        [](nb::handle self, nb::handle settings_manager) {
            if (RepoFinder* state = state_of(self)) {
                // A second __init__ keeps the state the first made, emptied.
                PyDict_Clear(state->distribution_facts.ptr());
                PyDict_Clear(state->session_loop.ptr());
                state->parsed_requirements.clear();
                state->version_orders.clear();
            } else if (PyObject_TypeCheck(self.ptr(), finder_type) && !nb::inst_ready(self)) {
                new (nb::inst_ptr<RepoFinder>(self)) RepoFinder();
                nb::inst_mark_ready(self);
            }
            nb::setattr(self, field::settings_manager.get(), settings_manager);
            nb::setattr(self, field::session.get(), nb::none());
            nb::setattr(self, field::metadata_cache.get(), nb::dict());
            nb::setattr(self, field::distributions_cache.get(), nb::none());
        },
        nb::arg("settings_manager").none());
}

}  // namespace quenlet::repo_finder
