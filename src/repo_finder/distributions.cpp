// The table of what the running interpreter has installed: normalised name -> distribution,
// plus a stand-in for every standard-library module. Reading every distribution's metadata is
// slow, so the table is built once and served from memory until clear_distributions_cache().
#include "repo_finder/distribution_facts.h"
#include "repo_finder/repo_finder.h"
#include "repo_finder/text.h"

namespace quenlet::repo_finder {

namespace {

Interned name_key{"Name"};
Member metadata{"metadata"};
Member get{"get"};

// sys.version up to its first whitespace, e.g. "3.14.0".
nb::object interpreter_version(nb::handle sys) {
    nb::object version = sys.attr("version");
    Text text(version);
    Py_ssize_t end = 0;
    while (end < text.size() && !Py_UNICODE_ISSPACE(text[end])) ++end;
    return text.slice(0, end);
}

void add_installed(nb::handle self, nb::dict& table) {
    nb::object distributions = global::importlib().get().attr("metadata").attr("distributions")();
    nb::object iterator = rt::steal_or_throw(PyObject_GetIter(distributions.ptr()));
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object distribution = nb::steal(item);
        // One metadata read per distribution: each one parses the distribution's files.
        nb::object name = get.call(metadata.get(distribution), name_key.get());
        // A folder left behind without its METADATA (or with no name in it) is no installed
        // distribution: it must not break every check.
        if (!PyUnicode_Check(name.ptr())) continue;
        nb::object key = method::normalize_name.call(self, name);
        if (PyDict_SetItem(table.ptr(), key.ptr(), distribution.ptr()) != 0) rt::throw_pending();
    }
    if (PyErr_Occurred()) rt::throw_pending();
}

// An installed distribution of the same normalised name keeps its place.
void add_standard_library(nb::handle self, nb::dict& table) {
    nb::object sys = global::sys().get();
    nb::object module_names = nb::getattr(sys, "stdlib_module_names", nb::none());
    if (module_names.is_none()) return;
    nb::object version = interpreter_version(sys);
    for (nb::handle module_name : module_names) {
        nb::object key = method::normalize_name.call(self, module_name);
        int present = PyDict_Contains(table.ptr(), key.ptr());
        if (present < 0) rt::throw_pending();
        if (present == 0) table[key] = make_dummy_dist(module_name, version);
    }
}

nb::object get_current_distributions(nb::handle self) {
    nb::object cached = field::distributions_cache.get(self);
    if (!cached.is_none()) return cached;
    nb::dict table;
    add_installed(self, table);
    add_standard_library(self, table);
    // Stored only once complete: a build that fails part-way must not leave a partial table
    // behind for later checks to trust.
    field::distributions_cache.set(self, table);
    return table;
}

void clear_distributions_cache(nb::handle self) {
    field::distributions_cache.set(self, nb::none());
    forget_distribution_facts(state_of(self));
}

}  // namespace

void bind_distributions(Class& cls) {
    cls.def("_get_current_distributions", &get_current_distributions);
    cls.def("clear_distributions_cache", &clear_distributions_cache);
}

}  // namespace quenlet::repo_finder
