// A method of a native class that the class's own code calls through Python, so that a subclass
// or an instance attribute of the same name replaces it there too. While nothing has replaced it
// (`self.<name>` is still the function the class was given), the native function runs directly:
// the same checks and the same answer, without a bound method, the binding's dispatch or a
// coroutine object.
//
// It lives in the runtime because nothing in it belongs to one class or module, and because it is
// the one place that reads the interpreter's class-version tags and managed-dict flag. A class gets
// a new version whenever it or one of its bases changes (an attribute set or deleted, its bases
// replaced), so whether the class still holds its own function is looked up again only then; the
// instance's own attributes are looked at on every call.
#pragma once

#include <atomic>
#include <utility>

#include "runtime/coroutine.h"
#include "runtime/errors.h"
#include "runtime/interned_name.h"
#include "runtime/module_state.h"

namespace quenlet::rt {

class OverridableMethod {
  public:
    constexpr explicit OverridableMethod(const char* name) noexcept : name_(name) {}

    // Binds `function` onto the class `cls` under the method's name, as nanobind's class_::def
    // does (`extra`: its annotations), and keeps the function the class then holds, for as long
    // as the module is loaded.
    template <class Function, class... Extra>
    void def(nb::handle cls, Function&& function, const Extra&... extra) {
        nb::cpp_function_def(std::forward<Function>(function), nb::scope(cls),
                             nb::name(name_.text()), nb::is_method(), extra...);
        own_ = keep(steal_or_throw(PyObject_GetAttr(cls.ptr(), name_.get().ptr())));
    }

    // self.<name>(args...), through Python.
    template <class... Args>
    nb::object call(nb::handle self, Args... args) const {
        PyObject* argv[] = {self.ptr(), nb::handle(args).ptr()...};
        return steal_or_throw(
            PyObject_VectorcallMethod(name_.get().ptr(), argv, 1 + sizeof...(Args), nullptr));
    }

    // The bound self.<name>, as Python code would pass it on.
    nb::object get(nb::handle self) const {
        return steal_or_throw(PyObject_GetAttr(self.ptr(), name_.get().ptr()));
    }

    // Whether self.<name> is the function the class was given: looked up by the generic rules,
    // not hidden by an attribute of the instance, and still what the class holds. Anything
    // unusual (a custom __getattribute__, say) answers false.
    bool is_own(nb::handle self) const {
        PyTypeObject* type = Py_TYPE(self.ptr());
        return own_.ptr() != nullptr && type->tp_getattro == PyObject_GenericGetAttr &&
               class_holds_own(type) && !instance_holds_name(self);
    }

    // self.<name>(args...), where `native(self, args...)` is the function the class was given.
    template <class Native, class... Args>
    nb::object run(nb::handle self, Native native, Args... args) const {
        if (is_own(self)) return native(self, args...);
        return call(self, args...);
    }

    // The same for a coroutine method, to be awaited.
    template <class Native, class... Args>
    Task start(nb::handle self, Native native, Args... args) const {
        if (is_own(self)) return native(self, args...);
        return awaiting(call(self, args...));
    }

  private:
    static Task awaiting(nb::object awaitable) { co_return co_await awaited(std::move(awaitable)); }

    static unsigned int version_of(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030C0000
        // Before 3.12 a version counts only while this flag is set.
        if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
        return __atomic_load_n(&type->tp_version_tag, __ATOMIC_RELAXED);
    }

    // The method resolution order's first holder of the name, as the interpreter's own lookup
    // for instances finds it; the metaclass plays no part in what an instance finds.
    bool class_attribute_is_own(PyTypeObject* type) const {
        if (type->tp_mro == nullptr) return false;
        for (nb::handle base : nb::borrow<nb::tuple>(type->tp_mro)) {
#if PY_VERSION_HEX >= 0x030C0000
            nb::object attributes =
                steal_or_throw(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base.ptr())));
#else
            nb::object attributes =
                nb::borrow(reinterpret_cast<PyTypeObject*>(base.ptr())->tp_dict);
#endif
            PyObject* found = PyDict_GetItemWithError(attributes.ptr(), name_.get().ptr());
            if (found != nullptr) return found == own_.ptr();
            if (PyErr_Occurred()) throw_pending();
        }
        return false;
    }

    // One version is remembered: each method is asked about the objects of one class. Kept
    // only when the class did not change while it was looked at; a class without a version yet
    // gets one from that lookup, and is remembered the next time.
    bool class_holds_own(PyTypeObject* type) const {
        unsigned int version = version_of(type);
        if (version != 0 && version == known_version_.load(std::memory_order_relaxed)) return true;
        if (!class_attribute_is_own(type)) return false;
        if (version != 0 && version == version_of(type)) {
            known_version_.store(version, std::memory_order_relaxed);
        }
        return true;
    }

    bool instance_holds_name(nb::handle self) const {
        PyTypeObject* type = Py_TYPE(self.ptr());
#if PY_VERSION_HEX >= 0x030C0000
        bool has_dict =
            type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#else
        bool has_dict = type->tp_dictoffset != 0;
#endif
        if (!has_dict) return false;
        nb::object attributes = steal_or_throw(PyObject_GenericGetDict(self.ptr(), nullptr));
        int held = PyDict_Contains(attributes.ptr(), name_.get().ptr());
        if (held < 0) throw_pending();
        return held == 1;
    }

    InternedName name_;
    nb::handle own_;
    // Atomic because a build that keeps the GIL off lets two threads ask at once.
    mutable std::atomic<unsigned int> known_version_{0};
};

}  // namespace quenlet::rt
