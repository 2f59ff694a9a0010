// Native shortcuts around Python methods. A method that other code calls through Python (so
// that a subclass or an instance may replace it) may be bypassed only while nothing has.
#pragma once

#include "runtime/python.h"

namespace quenlet::rt {

// Whether `object.<name>` would be `function` as its class holds it: looked up by the generic
// attribute rules, found on the class, and not hidden by an attribute of the instance. `name`
// must be an exact str. Anything unusual (a custom __getattribute__, say) answers false.
bool is_class_function(nb::handle object, nb::handle name, nb::handle function);

}  // namespace quenlet::rt
