// The host's settings as the index queries need them, read afresh on every call so that a
// changed setting takes effect with the next query. The defaults name the public index, whose
// address comes from the installed pip.
#include "host_interfaces/public_index.h"
#include "host_interfaces/settings.h"
#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

namespace {

struct DefaultAddresses {
    nb::str index_url;      // root + "/simple/", as pip is usually given it
    nb::str api_index_url;  // root + "/simple"
    nb::str api_pattern;    // root + "/pypi/{package_name}/{version}/json"
};

const DefaultAddresses& default_addresses() {
    // Kept for the life of the process: the strings are immutable and shared by every call.
    static const DefaultAddresses* addresses = [] {
        const std::string& root = host::public_index_root();
        return new DefaultAddresses{
            nb::str((root + "/simple/").c_str()), nb::str((root + "/simple").c_str()),
            nb::str((root + "/pypi/{package_name}/{version}/json").c_str())};
    }();
    return *addresses;
}

Interned url_key{"url"};
Interned primary_key{"primary"};
Interned index_url_key{"index_url"};
Interned api_pattern_key{"api_pattern"};

// A fresh list of one fresh dict on every call, since a caller may change what it is given: the
// default passed with every read of the settings, so built without looking anything up.
nb::list one_entry(const Interned& first_key, nb::handle first, const Interned& second_key,
                   nb::handle second) {
    nb::dict entry;
    if (PyDict_SetItem(entry.ptr(), first_key.get().ptr(), first.ptr()) != 0 ||
        PyDict_SetItem(entry.ptr(), second_key.get().ptr(), second.ptr()) != 0) {
        rt::throw_pending();
    }
    nb::list entries = nb::borrow<nb::list>(rt::steal_or_throw(PyList_New(1)));
    PyList_SET_ITEM(entries.ptr(), 0, entry.release().ptr());
    return entries;
}

nb::list default_index_urls() {
    return one_entry(url_key, default_addresses().index_url, primary_key, Py_True);
}

nb::list default_api_list() {
    return one_entry(index_url_key, default_addresses().api_index_url, api_pattern_key,
                     default_addresses().api_pattern);
}

namespace key {
rt::InternedName index_urls{"package_management.pip.index_urls"};
rt::InternedName use_secondary_urls{"package_management.pip.use_secondary_urls"};
rt::InternedName retries{"package_management.pip.retries"};
rt::InternedName api_list{"package_management.pip_api"};
}  // namespace key

nb::dict get_pip_settings(nb::handle self) {
    host::Settings settings(field::settings_manager.get(self));
    nb::dict result;
    if (!settings.present()) {
        result["index_urls"] = default_index_urls();
        result["use_secondary_urls"] = false;
        result["retries"] = 3;
        return result;
    }
    result["index_urls"] = settings.get(key::index_urls, default_index_urls());
    result["use_secondary_urls"] = settings.get(key::use_secondary_urls, nb::bool_(false));
    result["retries"] = settings.get(key::retries, nb::int_(3));
    return result;
}

nb::object get_pip_api_list(nb::handle self) {
    host::Settings settings(field::settings_manager.get(self));
    if (!settings.present()) return default_api_list();
    nb::object entries = settings.get(key::api_list, default_api_list());
    if (!entries.is_none() && !PyList_Check(entries.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected list, got %s", Py_TYPE(entries.ptr())->tp_name);
        rt::throw_pending();
    }
    return entries;
}

}  // namespace

nb::object pip_api_list_of(nb::handle self) {
    return method::get_pip_api_list.run(self, &get_pip_api_list);
}

void bind_pip_settings(Class& cls) {
    cls.def("_get_pip_settings", &get_pip_settings);
    cls.def("_get_pip_api_list", &get_pip_api_list);
    method::get_pip_api_list.remember(cls);
}

}  // namespace quenlet::repo_finder
