// Native shortcuts around Python methods. A method that other code calls through Python (so
// that a subclass or an instance may replace it) may be bypassed only while nothing has.
#pragma once

#include <atomic>

#include "runtime/python.h"

namespace quenlet::rt {

// A fact about a class, established by lookups and then trusted until the class changes. The
// interpreter gives a class a new version whenever it or one of its bases is changed (an
// attribute set or deleted, its bases replaced), so the fact is looked up again only then. One
// version is kept: each use site asks about the objects of one class.
class ClassFact {
  public:
    // Whether `establish(type)` holds; asked only when `type` is not known to hold it as it is.
    template <class Establish>
    bool holds(PyTypeObject* type, Establish&& establish) {
        unsigned int version = version_of(type);
        if (version != 0 && version == known_.load(std::memory_order_relaxed)) return true;
        if (!establish(type)) return false;
        // Kept only when the class did not change while `establish` looked at it. A class
        // without a version yet gets one from those lookups, and is kept the next time.
        if (version != 0 && version == version_of(type)) {
            known_.store(version, std::memory_order_relaxed);
        }
        return true;
    }

  private:
    static unsigned int version_of(PyTypeObject* type) noexcept;

    // Atomic because a build that keeps the GIL off lets two threads ask at once.
    std::atomic<unsigned int> known_{0};
};

// The attribute `name` (an exact str) as the class of `object` holds it, or an empty object.
nb::object class_attribute(PyTypeObject* type, nb::handle name);

// Whether the object's attributes are looked up by the generic rules (no custom
// __getattribute__ or __getattr__ slot).
bool has_generic_attributes(nb::handle object);

// The object's own attributes (its __dict__), or an empty object when its class gives it none.
nb::object instance_attributes(nb::handle object);

// Whether `attributes`, as instance_attributes gives them, hold `name`.
bool instance_holds(nb::handle attributes, nb::handle name);

// Whether `object.<name>` is what its class holds under `name`: looked up by the generic
// attribute rules and not hidden by an attribute of the instance. Anything unusual (a custom
// __getattribute__, say) answers false.
bool resolves_to_class(nb::handle object, nb::handle name);

// Whether `object.<name>` would be `function` as its class holds it. The class is looked at
// again only when it has changed since it last held `function`; the instance every time.
inline bool is_class_function(nb::handle object, nb::handle name, nb::handle function,
                              ClassFact& known) {
    bool held = known.holds(Py_TYPE(object.ptr()), [&](PyTypeObject* type) {
        return class_attribute(type, name).is(function);
    });
    return held && resolves_to_class(object, name);
}

}  // namespace quenlet::rt
