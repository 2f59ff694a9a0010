// Stand-ins for standard-library modules in the installed-distributions table: a _dummy_dist
// whose metadata answers "Version" and get_all() the way a real distribution's metadata does.
#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

namespace {

PyObject* dummy_metadata_get_all(PyObject*, PyObject*, PyObject*) {
    return PyList_New(0);
}

PyMethodDef dummy_metadata_methods[] = {
    {"get_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dummy_metadata_get_all)),
     METH_VARARGS | METH_KEYWORDS, "get_all(*args, **kwargs) -> a new empty list"},
    {nullptr, nullptr, 0, nullptr}};

// nanobind classes cannot derive from dict, so this one is a type of the C API. With no
// tp_dealloc of its own it gets the heap-type deallocator, which also releases the type.
nb::object make_dummy_metadata_type() {
    static PyType_Slot slots[] = {
        {Py_tp_methods, dummy_metadata_methods},
        {Py_tp_doc, const_cast<char*>("Metadata of a standard-library module: a dict with Name "
                                      "and Version, and no requirements.")},
        {0, nullptr}};
    static const std::string name = std::string(module_name) + "._dummy_metadata";
    static PyType_Spec spec = {name.c_str(), 0, 0, Py_TPFLAGS_DEFAULT, slots};
    nb::object bases = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type)));
    return rt::steal_or_throw(PyType_FromSpecWithBases(&spec, bases.ptr()));
}

// Both types live as long as the module; the table builder makes a few hundred stand-ins each
// time, so it reaches them directly rather than through the module's namespace.
PyObject* dummy_metadata_type = nullptr;
PyObject* dummy_dist_type = nullptr;

Member metadata_field{"metadata"};

// A plain class, not a bound C++ one: a table build makes hundreds of stand-ins, and nanobind
// records each instance of its own classes in a table that has no lock in a module that relies
// on the GIL, which a host may turn off.
nb::object make_dummy_dist_type() {
    nb::dict attributes;
    attributes["__module__"] = module_name;
    attributes["__doc__"] = "A standard-library module posing as an installed distribution.";
    nb::object type = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(
        "_dummy_dist", nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
        attributes);
    type.attr("__init__") = nb::cpp_function(
        [](nb::handle self, nb::handle name, nb::handle version) {
            nb::object metadata = nb::handle(dummy_metadata_type)();
            metadata["Name"] = name;
            metadata["Version"] = version;
            metadata_field.set(self, metadata);
        },
        nb::is_method(), nb::scope(type), nb::name("__init__"), nb::arg("name").none(),
        nb::arg("version").none());
    return type;
}

}  // namespace

nb::object make_dummy_dist(nb::handle name, nb::handle version) {
    return nb::handle(dummy_dist_type)(name, version);
}

void bind_dummy_types(nb::module_& module) {
    nb::object metadata_type = make_dummy_metadata_type();
    module.attr("_dummy_metadata") = metadata_type;
    dummy_metadata_type = metadata_type.release().ptr();

    nb::object dist_type = make_dummy_dist_type();
    module.attr("_dummy_dist") = dist_type;
    dummy_dist_type = dist_type.release().ptr();
}

}  // namespace quenlet::repo_finder
