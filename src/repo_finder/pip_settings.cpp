// The host's settings as the index queries need them, read afresh on every call so that a
// changed setting takes effect with the next query. The defaults name the public index, whose
// address comes from the installed pip's record of it.
#include "host_interfaces/logger.h"
#include "host_interfaces/public_index.h"
#include "host_interfaces/services.h"
#include "repo_finder/class_methods.h"
#include "repo_finder/finder_state.h"
#include "runtime/errors.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

namespace {

const rt::InternedName url_key{"url"};
const rt::InternedName primary_key{"primary"};
const rt::InternedName index_url_key{"index_url"};
const rt::InternedName api_pattern_key{"api_pattern"};

// A fresh list of one fresh dict on every call, since a caller may change what it is given.
nb::list one_entry(const rt::InternedName& first_key, nb::handle first,
                   const rt::InternedName& second_key, nb::handle second) {
    nb::dict entry;
    entry[first_key.get()] = first;
    entry[second_key.get()] = second;
    nb::list entries;
    entries.append(entry);
    return entries;
}

nb::str address(const std::string& root, const char* path) {
    std::string text = root + path;
    return nb::str(text.data(), text.size());
}

// The public index as primary, or no index when its address is unknown (pip cannot be found):
// then only configured indexes are searched.
nb::list default_index_urls() {
    const host::PublicIndex& index = host::public_index();
    if (index.root.empty()) return nb::list();
    return one_entry(url_key, address(index.root, "/simple/"), primary_key, Py_True);
}

// The public index's JSON API, or no pattern when its address is unknown.
nb::list default_api_list() {
    const host::PublicIndex& index = host::public_index();
    if (index.root.empty()) return nb::list();
    return one_entry(index_url_key, address(index.root, "/simple"), api_pattern_key,
                     address(index.root, "/pypi/{package_name}/{version}/json"));
}

// When no setting names an index and the default names none either, every search comes back
// empty-handed: the log says why.
void warn_if_no_index(nb::handle index_urls, nb::handle fallback) {
    if (index_urls.is(fallback) && PyList_GET_SIZE(fallback.ptr()) == 0) {
        host::log_warning("No default package index: " + host::public_index().unknown);
    }
}

namespace key {
const rt::InternedName index_urls{"package_management.pip.index_urls"};
const rt::InternedName use_secondary_urls{"package_management.pip.use_secondary_urls"};
const rt::InternedName retries{"package_management.pip.retries"};
const rt::InternedName api_list{"package_management.pip_api"};
}  // namespace key

nb::dict get_pip_settings(nb::handle self) {
    host::Settings settings(nb::getattr(self, field::settings_manager.get()));
    nb::list fallback = default_index_urls();
    bool present = settings.present();
    auto read = [&](const rt::InternedName& key, nb::handle otherwise) {
        return present ? settings.get(key, otherwise) : nb::borrow(otherwise);
    };
    nb::object index_urls = read(key::index_urls, fallback);
    nb::dict result;
    result["index_urls"] = index_urls;
    result["use_secondary_urls"] = read(key::use_secondary_urls, Py_False);
    result["retries"] = read(key::retries, nb::int_(3));
    warn_if_no_index(index_urls, fallback);
    return result;
}

nb::object get_pip_api_list(nb::handle self) {
    host::Settings settings(nb::getattr(self, field::settings_manager.get()));
    if (!settings.present()) return default_api_list();
    return rt::list_or_none(settings.get(key::api_list, default_api_list()));
}

}  // namespace

nb::object pip_api_list_of(nb::handle self) {
    return method::get_pip_api_list.run(self, &get_pip_api_list);
}

void bind_pip_settings(nb::handle cls) {
    method::get_pip_settings.def(cls, &get_pip_settings);
    method::get_pip_api_list.def(cls, &get_pip_api_list);
}

}  // namespace quenlet::repo_finder
