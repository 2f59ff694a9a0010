#include "repo_finder/parse_cache.h"
#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

nb::handle Interned::get() const {
    if (object_ == nullptr) {
        object_ = PyUnicode_InternFromString(text_);
        if (object_ == nullptr) rt::throw_pending();
    }
    return object_;
}

bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) rt::throw_pending();
    return truth == 1;
}

std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
        return std::string(data, static_cast<size_t>(size));
    }
    // A lone surrogate has no UTF-8 form; a message must not fail over it, so it is escaped.
    PyErr_Clear();
    nb::object escaped =
        rt::steal_or_throw(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
    return std::string(PyBytes_AS_STRING(escaped.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(escaped.ptr())));
}

std::string text_of(nb::handle value) {
    return utf8(rt::steal_or_throw(PyObject_Str(value.ptr())));
}

ParseCache& parsed_versions() {
    // Kept for the life of the process (its Python references must not be released at exit).
    static ParseCache& cache = *new ParseCache;
    return cache;
}

}  // namespace quenlet::repo_finder
