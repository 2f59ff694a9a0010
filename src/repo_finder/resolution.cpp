// How names and index addresses are compared, and which JSON API pattern an index has.
#include "repo_finder/class_methods.h"
#include "repo_finder/module.h"
#include "runtime/arguments.h"
#include "runtime/errors.h"
#include "runtime/module_state.h"

namespace quenlet::repo_finder {

namespace {

rt::OverridableMethod normalize_url_method{"_normalize_url"};
// Looked up on every query.
const rt::InternedName index_url_key{"index_url"};
const rt::InternedName api_pattern_key{"api_pattern"};
const rt::InternedName get_name{"get"};
const rt::InternedName rstrip_name{"rstrip"};

// re.compile("[-_.]+").sub, made at module initialisation.
nb::handle replace_separator_runs;

// Lower case, every run of "-", "_" and "." made one "-" (leading and trailing runs too).
nb::object normalize_name(nb::handle, nb::handle name) {
    rt::require_str(name, "name");
    return replace_separator_runs("-", name.attr("lower")());
}

// Trailing "/" and "\" removed, in any mix; nothing else changes.
nb::object normalize_url(nb::handle, nb::handle url) {
    rt::require_str(url, "url");
    return url.attr(rstrip_name.get())("/\\");
}

nb::object normalized_url(nb::handle self, nb::handle url) {
    return normalize_url_method.run(self, &normalize_url, url);
}

// The "api_pattern" of the first configured entry whose "index_url" names the same index.
nb::object get_api_pattern_for_index(nb::handle self, nb::handle index_url) {
    rt::require_str(index_url, "index_url");
    nb::object entries = pip_api_list_of(self);
    nb::object wanted = normalized_url(self, index_url);
    nb::object iterator = rt::steal_or_throw(PyObject_GetIter(entries.ptr()));
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object entry = nb::steal(item);
        nb::object candidate =
            normalized_url(self, entry.attr(get_name.get())(index_url_key.get(), ""));
        if (!candidate.equal(wanted)) continue;
        nb::object pattern = entry.attr(get_name.get())(api_pattern_key.get(), nb::none());
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

nb::object api_pattern_of(nb::handle self, nb::handle index_url) {
    return method::get_api_pattern_for_index.run(self, &get_api_pattern_for_index, index_url);
}

void bind_resolution(nb::handle cls) {
    replace_separator_runs =
        rt::keep(nb::module_::import_("re").attr("compile")("[-_.]+").attr("sub"));
    method::normalize_name.def(cls, &normalize_name, nb::arg("name").none());
    normalize_url_method.def(cls, &normalize_url, nb::arg("url").none());
    method::get_api_pattern_for_index.def(cls, &get_api_pattern_for_index,
                                          nb::arg("index_url").none());
}

}  // namespace quenlet::repo_finder
