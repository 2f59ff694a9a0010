// Argument checks for the host-facing operations. Every operation refuses a wrong type before it
// starts, with one message shape that the host matches on.
#pragma once

#include "runtime/python.h"

namespace quenlet::rt {

// Raises TypeError "Argument '{name}' has incorrect type (expected {expected}, got {actual})".
[[noreturn]] void raise_argument_type(const char* name, const char* expected, nb::handle actual);

inline void require_str(nb::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) raise_argument_type(name, "str", value);
}

inline void require_str_or_none(nb::handle value, const char* name) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) raise_argument_type(name, "str", value);
}

inline void require_list_or_none(nb::handle value, const char* name) {
    if (!value.is_none() && !PyList_Check(value.ptr())) raise_argument_type(name, "list", value);
}

inline void require_dict_or_none(nb::handle value, const char* name) {
    if (!value.is_none() && !PyDict_Check(value.ptr())) raise_argument_type(name, "dict", value);
}

// A list whose items are all strings, or None.
void require_str_list_or_none(nb::handle value, const char* name);

}  // namespace quenlet::rt
