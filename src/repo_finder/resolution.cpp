// How names and index addresses are compared, and which JSON API pattern an index has.
#include <vector>

#include "repo_finder/repo_finder.h"
#include "repo_finder/text.h"
#include "runtime/arguments.h"

namespace quenlet::repo_finder {

namespace {

Interned index_url_key{"index_url"};
Interned api_pattern_key{"api_pattern"};

bool is_separator(Py_UCS4 c) noexcept {
    return c == '-' || c == '_' || c == '.';
}

// Lower case, every run of "-", "_" and "." made one "-" (leading and trailing runs too).
nb::object normalize_name(nb::handle, nb::handle name) {
    rt::require_str(name, "name");
    if (PyUnicode_IS_ASCII(name.ptr())) {
        // Almost every name: done in one pass over the bytes.
        Py_ssize_t size = PyUnicode_GET_LENGTH(name.ptr());
        const char* in = static_cast<const char*>(PyUnicode_DATA(name.ptr()));
        std::string out;
        out.reserve(static_cast<size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            char c = in[i];
            if (!is_separator(static_cast<unsigned char>(c))) {
                out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            } else if (i == 0 || !is_separator(static_cast<unsigned char>(in[i - 1]))) {
                out += '-';
            }
        }
        return rt::steal_or_throw(PyUnicode_FromStringAndSize(out.data(), std::ssize(out)));
    }
    // Unicode lower-casing can change a name's length; Python's own str.lower() does it right.
    nb::object lowered = name.attr("lower")();
    Text text(lowered);
    std::vector<Py_UCS4> out;
    out.reserve(static_cast<size_t>(text.size()));
    for (Py_ssize_t i = 0; i < text.size(); ++i) {
        Py_UCS4 c = text[i];
        if (!is_separator(c)) {
            out.push_back(c);
        } else if (i == 0 || !is_separator(text[i - 1])) {
            out.push_back('-');
        }
    }
    return rt::steal_or_throw(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), std::ssize(out)));
}

// Trailing "/" and "\" removed, in any mix; nothing else changes.
nb::object normalize_url(nb::handle, nb::handle url) {
    rt::require_str(url, "url");
    Text text(url);
    Py_ssize_t end = text.size();
    while (end > 0 && (text[end - 1] == '/' || text[end - 1] == '\\')) --end;
    return text.slice(0, end);
}

// The "api_pattern" of the first configured entry whose "index_url" names the same index.
nb::object get_api_pattern_for_index(nb::handle self, nb::handle index_url) {
    rt::require_str(index_url, "index_url");
    nb::object entries = pip_api_list_of(self);
    nb::object wanted = normalized_url(self, index_url);
    nb::object iterator = rt::steal_or_throw(PyObject_GetIter(entries.ptr()));
    nb::str empty("");
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object entry = nb::steal(item);
        nb::object candidate = normalized_url(self, get_or(entry, index_url_key.get(), empty));
        int equal = PyObject_RichCompareBool(candidate.ptr(), wanted.ptr(), Py_EQ);
        if (equal < 0) rt::throw_pending();
        if (equal == 0) continue;
        nb::object pattern = get_or(entry, api_pattern_key.get(), Py_None);
        if (!pattern.is_none() && !PyUnicode_Check(pattern.ptr())) {
            rt::throw_error(PyExc_TypeError, "Expected str, got %s",
                            Py_TYPE(pattern.ptr())->tp_name);
        }
        return pattern;
    }
    if (PyErr_Occurred()) rt::throw_pending();
    return nb::none();
}

}  // namespace

nb::object normalized_url(nb::handle self, nb::handle url) {
    return method::normalize_url.run(self, &normalize_url, url);
}

nb::object api_pattern_of(nb::handle self, nb::handle index_url) {
    return method::get_api_pattern_for_index.run(self, &get_api_pattern_for_index, index_url);
}

void bind_resolution(Class& cls) {
    cls.def("_normalize_name", &normalize_name, nb::arg("name").none());
    cls.def("_normalize_url", &normalize_url, nb::arg("url").none());
    method::normalize_url.remember(cls);
    cls.def("_get_api_pattern_for_index", &get_api_pattern_for_index, nb::arg("index_url").none());
    method::get_api_pattern_for_index.remember(cls);
}

}  // namespace quenlet::repo_finder
