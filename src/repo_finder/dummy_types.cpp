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

struct DummyDist {};

// Both types live as long as the module; the table builder makes a few hundred stand-ins each
// time, so it reaches them directly rather than through the module's namespace.
PyObject* dummy_metadata_type = nullptr;
PyObject* dummy_dist_type = nullptr;

Member metadata_field{"metadata"};

}  // namespace

nb::object make_dummy_dist(nb::handle name, nb::handle version) {
    return nb::handle(dummy_dist_type)(name, version);
}

void bind_dummy_types(nb::module_& module) {
    nb::object metadata_type = make_dummy_metadata_type();
    module.attr("_dummy_metadata") = metadata_type;
    dummy_metadata_type = metadata_type.release().ptr();

    nb::class_<DummyDist> dist(module, "_dummy_dist", nb::dynamic_attr(),
                               "A standard-library module posing as an installed distribution.");
    dist.def(
        "__init__",
        [](nb::handle self, nb::handle name, nb::handle version) {
            nb::object metadata = nb::handle(dummy_metadata_type)();
            metadata["Name"] = name;
            metadata["Version"] = version;
            metadata_field.set(self, metadata);
        },
        nb::arg("name").none(), nb::arg("version").none());
    dummy_dist_type = dist.ptr();
}

}  // namespace quenlet::repo_finder
