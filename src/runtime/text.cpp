#include "runtime/text.h"

#include "runtime/errors.h"

namespace quenlet::rt {

std::string utf8_text(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
        return std::string(data, static_cast<size_t>(size));
    }
    PyErr_Clear();
    nb::object escaped =
        steal_or_throw(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
    return std::string(PyBytes_AS_STRING(escaped.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(escaped.ptr())));
}

std::string error_text(const nb::python_error& error) {
    PyObject* text = PyObject_Str(error.value().ptr());
    if (text == nullptr) {
        PyErr_Clear();
        return "<unprintable exception>";
    }
    return utf8_text(nb::steal(text));
}

}  // namespace quenlet::rt
