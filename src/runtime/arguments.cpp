#include "runtime/arguments.h"

#include "runtime/errors.h"

namespace quenlet::rt {

void raise_argument_type(const char* name, const char* expected, nb::handle actual) {
    throw_error(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", name,
                expected, Py_TYPE(actual.ptr())->tp_name);
}

void require_str_list_or_none(nb::handle value, const char* name) {
    require_list_or_none(value, name);
    if (value.is_none()) return;
    nb::list items = nb::borrow<nb::list>(value);
    for (nb::handle item : items) {
        if (!PyUnicode_Check(item.ptr())) raise_argument_type(name, "list of str", item);
    }
}

}  // namespace quenlet::rt
