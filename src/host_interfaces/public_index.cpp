#include "host_interfaces/public_index.h"

#include <atomic>
#include <initializer_list>

#include "runtime/errors.h"
#include "runtime/python.h"
#include "runtime/text.h"

namespace quenlet::host {

namespace {

// The spec of pip._internal.models.index, looked up package by package in the locations of the
// one before, as the import system would, but without importing any of them; None when one of
// them is not there.
nb::object record_spec(nb::object pip) {
    nb::object path_finder = nb::module_::import_("importlib.machinery").attr("PathFinder");
    nb::object spec = std::move(pip);
    for (const char* name :
         {"pip._internal", "pip._internal.models", "pip._internal.models.index"}) {
        nb::object locations = spec.attr("submodule_search_locations");
        if (locations.is_none()) return nb::none();
        spec = path_finder.attr("find_spec")(name, locations);
        if (spec.is_none()) break;
    }
    return spec;
}

bool is_a(nb::handle object, nb::handle type) {
    int found = PyObject_IsInstance(object.ptr(), type.ptr());
    if (found < 0) rt::throw_pending();
    return found == 1;
}

// The address in `PyPI = PackageIndex("<address>", ...)`, read from the module's syntax tree, so
// that nothing of the module runs; empty when the module says it another way.
std::string recorded_address(nb::handle source) {
    nb::object ast = nb::module_::import_("ast");
    nb::object assign = ast.attr("Assign"), name = ast.attr("Name"), call = ast.attr("Call"),
               constant = ast.attr("Constant");
    nb::object statements = ast.attr("parse")(source).attr("body");
    for (nb::handle statement : statements) {
        if (!is_a(statement, assign)) continue;
        nb::object targets = statement.attr("targets");
        if (nb::len(targets) != 1) continue;
        nb::object target = targets[0];
        if (!is_a(target, name) || !target.attr("id").equal(nb::str("PyPI"))) continue;
        nb::object value = statement.attr("value");
        if (!is_a(value, call)) continue;
        nb::object arguments = value.attr("args");
        if (nb::len(arguments) == 0) continue;
        nb::object first = arguments[0];
        if (!is_a(first, constant)) continue;
        nb::object address = first.attr("value");
        if (PyUnicode_Check(address.ptr())) return rt::utf8_text(address);
    }
    return {};
}

PublicIndex unknown(const std::string& reason) {
    return {{}, "the public package index is unknown: " + reason};
}

PublicIndex read_record() {
    try {
        nb::object pip = nb::module_::import_("importlib.util").attr("find_spec")("pip");
        if (pip.is_none()) return unknown("No module named 'pip'");
        nb::object spec = record_spec(std::move(pip));
        if (spec.is_none()) return unknown("pip's record of it was not found");
        nb::object source = spec.attr("loader").attr("get_source")(spec.attr("name"));
        std::string root = source.is_none() ? std::string() : recorded_address(source);
        while (!root.empty() && root.back() == '/') root.pop_back();
        if (root.empty()) return unknown("pip's record of it was not found");
        return {root, {}};
    } catch (nb::python_error& error) {
        // A finder that refuses pip, an unreadable file: no record either way.
        if (!rt::is_ordinary(error)) throw;
        return unknown(rt::error_text(error));
    }
}

// Published once and kept for the life of the process; it holds no Python object.
std::atomic<const PublicIndex*> published{nullptr};

}  // namespace

const PublicIndex& public_index() {
    if (const PublicIndex* known = published.load(std::memory_order_acquire)) return *known;
    const PublicIndex* read = new PublicIndex(read_record());
    const PublicIndex* first = nullptr;
    if (published.compare_exchange_strong(first, read, std::memory_order_acq_rel)) return *read;
    delete read;
    return *first;
}

std::string public_index_root() {
    const PublicIndex& index = public_index();
    if (index.root.empty()) rt::throw_error(PyExc_RuntimeError, index.unknown.c_str());
    return index.root;
}

}  // namespace quenlet::host
