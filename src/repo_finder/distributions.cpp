// The table of what the running interpreter has installed: normalised name -> distribution,
// plus a stand-in for every standard-library module (a _dummy_dist whose metadata answers
// "Version" and get_all() the way a real distribution's metadata does). Reading every
// distribution's metadata is slow, so the table is built once and served from memory until
// clear_distributions_cache().
#include "repo_finder/class_methods.h"
#include "repo_finder/finder_state.h"
#include "repo_finder/module_names.h"
#include "runtime/errors.h"
#include "runtime/module_state.h"

namespace quenlet::repo_finder {

namespace {

const rt::InternedName name_key{"Name"};
const rt::InternedName metadata_key{"metadata"};

// Made at module initialisation: the two stand-in types, and re.compile(r"\S*").match.
nb::handle dummy_metadata_type;
nb::handle dummy_dist_type;
nb::handle match_up_to_whitespace;

// The stand-ins are plain classes, made as a class statement makes them, not bound C++ ones:
// nanobind classes cannot derive from dict, and a table build makes hundreds of stand-ins, while
// nanobind records each instance of its own classes in a table that has no lock in a module that
// relies on the GIL, which a host may turn off.
nb::object plain_type(const char* name, PyTypeObject* base, const char* doc, nb::dict attributes) {
    attributes["__module__"] = module_name;
    attributes["__doc__"] = doc;
    nb::object bases = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(base)));
    return nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, attributes);
}

nb::object make_dummy_metadata_type() {
    nb::dict attributes;
    attributes["__slots__"] = nb::tuple();  // a dict and nothing more: no __dict__ of its own
    nb::object type = plain_type("_dummy_metadata", &PyDict_Type,
                                 "Metadata of a standard-library module: a dict with Name and "
                                 "Version, and no requirements.",
                                 attributes);
    type.attr("get_all") =
        nb::cpp_function([](nb::handle, nb::args, nb::kwargs) { return nb::list(); },
                         nb::is_method(), nb::scope(type), nb::name("get_all"));
    return type;
}

nb::object make_dummy_dist_type() {
    nb::object type =
        plain_type("_dummy_dist", &PyBaseObject_Type,
                   "A standard-library module posing as an installed distribution.", nb::dict());
    type.attr("__init__") = nb::cpp_function(
        [](nb::handle self, nb::handle name, nb::handle version) {
            nb::object metadata = dummy_metadata_type();
            metadata["Name"] = name;
            metadata["Version"] = version;
            nb::setattr(self, metadata_key.get(), metadata);
        },
        nb::is_method(), nb::scope(type), nb::name("__init__"), nb::arg("name").none(),
        nb::arg("version").none());
    return type;
}

void add_installed(nb::handle self, nb::dict& table) {
    nb::object distributions = global::importlib.get().attr("metadata").attr("distributions")();
    for (nb::handle distribution : distributions) {
        // One metadata read per distribution: each one parses the distribution's files.
        nb::object name = nb::getattr(distribution, metadata_key.get()).attr("get")(name_key.get());
        // A folder left behind without its METADATA (or with no name in it) is no installed
        // distribution: it must not break every check.
        if (!PyUnicode_Check(name.ptr())) continue;
        table[method::normalize_name.call(self, name)] = distribution;
    }
}

// An installed distribution of the same normalised name keeps its place.
void add_standard_library(nb::handle self, nb::dict& table) {
    nb::object sys = global::sys.get();
    nb::object module_names = nb::getattr(sys, "stdlib_module_names", nb::none());
    if (module_names.is_none()) return;
    // sys.version up to its first whitespace, e.g. "3.14.0".
    nb::object version = match_up_to_whitespace(sys.attr("version")).attr("group")();
    for (nb::handle module_name : module_names) {
        nb::object key = method::normalize_name.call(self, module_name);
        if (!table.contains(key)) table[key] = dummy_dist_type(module_name, version);
    }
}

nb::object get_current_distributions(nb::handle self) {
    nb::object cached = nb::getattr(self, field::distributions_cache.get());
    if (!cached.is_none()) return cached;
    nb::dict table;
    add_installed(self, table);
    add_standard_library(self, table);
    // Stored only once complete: a build that fails part-way must not leave a partial table
    // behind for later checks to trust.
    nb::setattr(self, field::distributions_cache.get(), table);
    return table;
}

void clear_distributions_cache(nb::handle self) {
    nb::setattr(self, field::distributions_cache.get(), nb::none());
    if (RepoFinder* state = state_of(self)) PyDict_Clear(state->distribution_facts.ptr());
}

}  // namespace

void bind_dummy_types(nb::module_& module) {
    dummy_metadata_type = rt::keep(make_dummy_metadata_type());
    module.attr("_dummy_metadata") = dummy_metadata_type;
    dummy_dist_type = rt::keep(make_dummy_dist_type());
    module.attr("_dummy_dist") = dummy_dist_type;
    match_up_to_whitespace =
        rt::keep(nb::module_::import_("re").attr("compile")(R"(\S*)").attr("match"));
}

void bind_distributions(nb::handle cls) {
    method::get_current_distributions.def(cls, &get_current_distributions);
    def(cls, "clear_distributions_cache", &clear_distributions_cache);
}

}  // namespace quenlet::repo_finder
