// Reading Python values from C++ as Python code reads them; an error raised on the way leaves
// as the C++ exception that carries it.
#pragma once

#include "runtime/python.h"

namespace quenlet::rt {

// The truth value of `value`, as `if value:` tests it.
bool truthy(nb::handle value);

// dictionary[key] of a dict, or an empty object when the key is absent.
nb::object dict_item(nb::handle dictionary, nb::handle key);

// `value` itself when it is a list or None; else TypeError "Expected list, got <type>", which is
// how a host callable that broke its promise of a list is reported.
nb::object list_or_none(nb::object value);

}  // namespace quenlet::rt
