// The requirements one version of a package declares on one index, each split by
// _parse_requirement: from the index's JSON API document when a pattern is configured for it,
// else from the metadata of the file the finder picks, on the executor. API documents are kept
// in _metadata_cache by lower-cased name and version and answer every later query for them, on
// any index. Fetch failures are logged and give an empty list.
#include <algorithm>

#include "host_interfaces/logger.h"
#include "repo_finder/api_pattern.h"
#include "repo_finder/fallback.h"
#include "repo_finder/finder.h"
#include "repo_finder/index_api.h"
#include "repo_finder/worker_binding.h"
#include "runtime/arguments.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

namespace {

Member lower{"lower"};

// name.lower(). A plain ASCII str without capitals is its own lower case and is used as it is: the
// caller usually passes the same str every time, whose hash is then known already.
nb::object lower_case(nb::handle name) {
    if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_IS_ASCII(name.ptr())) {
        auto text = static_cast<const char*>(PyUnicode_DATA(name.ptr()));
        Py_ssize_t size = PyUnicode_GET_LENGTH(name.ptr());
        if (std::none_of(text, text + size, [](char c) { return c >= 'A' && c <= 'Z'; })) {
            return nb::borrow(name);
        }
    }
    return lower.call(name);
}

// The records this module's own parser made, kept by the finder in parsed_requirements under the
// texts they came from (a tuple of the strings): a warm query answers from a kept document and
// would otherwise split the same strings again every time, and most versions of a package declare
// the same requirements, so one entry serves many documents. An entry is (records, extras):
// private copies of the records and of each one's extras list, its only mutable value, so that
// handing out fresh copies looks nothing up. Lists with a string that does not parse are not
// kept, so that its warning is logged on every query, as it would be.
constexpr Py_ssize_t kept_texts_budget = 8192;

Interned extras_key{"extras"};

// A copy of a list that nothing changes, made without the locking that slicing does.
nb::object list_copy(nb::handle list) {
    Py_ssize_t size = PyList_GET_SIZE(list.ptr());
    nb::object copy = rt::steal_or_throw(PyList_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyList_SET_ITEM(copy.ptr(), i, nb::borrow(PyList_GET_ITEM(list.ptr(), i)).release().ptr());
    }
    return copy;
}

// A copy of a record with `extras` (a list of its own) as its extras.
nb::object record_with(nb::handle record, nb::handle extras) {
    nb::object copied = rt::steal_or_throw(PyDict_Copy(record.ptr()));
    if (PyDict_SetItem(copied.ptr(), extras_key.get().ptr(), extras.ptr()) != 0) {
        rt::throw_pending();
    }
    return copied;
}

// The entry for records the parser just made (exact dicts, each with an extras list).
nb::object kept_entry(nb::handle records) {
    Py_ssize_t count = PyList_GET_SIZE(records.ptr());
    nb::object copies = rt::steal_or_throw(PyTuple_New(count));
    nb::object extras = rt::steal_or_throw(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle record = PyList_GET_ITEM(records.ptr(), i);
        nb::object copied_extras = list_copy(rt::dict_item(record, extras_key.get()));
        nb::object copied = record_with(record, copied_extras);
        PyTuple_SET_ITEM(extras.ptr(), i, copied_extras.release().ptr());
        PyTuple_SET_ITEM(copies.ptr(), i, copied.release().ptr());
    }
    return nb::make_tuple(copies, extras);
}

// Fresh records from an entry, for one caller to keep or change as it likes.
nb::list fresh_records(nb::handle entry) {
    nb::handle records = PyTuple_GET_ITEM(entry.ptr(), 0);
    nb::handle extras = PyTuple_GET_ITEM(entry.ptr(), 1);
    Py_ssize_t count = PyTuple_GET_SIZE(records.ptr());
    nb::list fresh = nb::borrow<nb::list>(rt::steal_or_throw(PyList_New(count)));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object copied = record_with(PyTuple_GET_ITEM(records.ptr(), i),
                                        list_copy(PyTuple_GET_ITEM(extras.ptr(), i)));
        PyList_SET_ITEM(fresh.ptr(), i, copied.release().ptr());
    }
    return fresh;
}

// parse_requirements(self, requirements), answered from the records kept for the same texts
// while the parser is this module's own.
nb::list kept_or_parsed(nb::handle self, nb::handle requirements) {
    RepoFinder* state = state_of(self);
    nb::object key;
    if (state != nullptr && method::parse_requirement.is_own(self)) key = texts_key(requirements);
    if (key.is_valid()) {
        nb::object kept = rt::dict_item(state->parsed_requirements, key);
        if (kept.is_valid()) return fresh_records(kept);
    }
    nb::list records = parse_requirements(self, requirements);
    if (key.is_valid() && std::ssize(records) == PyTuple_GET_SIZE(key.ptr())) {
        keep_within(state->parsed_requirements, key, kept_entry(records), kept_texts_budget);
    }
    return records;
}

// The dependencies a kept or fetched document declares. A document that cannot be read raises.
nb::object dependencies_of(nb::handle self, nb::handle document, nb::handle package_name,
                           nb::handle version) {
    nb::object requirements = requires_dist_of(document);
    if (PyList_GET_SIZE(requirements.ptr()) == 0) return nb::list();
    nb::list dependencies = kept_or_parsed(self, requirements);
    // A warm query is a few microseconds, and this line is logged on each.
    host::log_built(host::Level::debug, [&] {
        std::string message = "Found ";
        message.reserve(64);
        message.append(std::to_string(dependencies.size())).append(" dependencies for ");
        message.append(rt::utf8_text(package_name)).append("==").append(rt::utf8_text(version));
        return message;
    });
    return dependencies;
}

// _metadata_cache[key], or an empty object when the key is not in it.
nb::object kept_document(nb::handle self, nb::handle key) {
    nb::object cache = field::metadata_cache.get(self);
    if (PyDict_Check(cache.ptr())) {
        return rt::dict_item(cache, key);
    }
    int present = PySequence_Contains(cache.ptr(), key.ptr());
    if (present < 0) rt::throw_pending();
    if (present == 0) return {};
    return rt::steal_or_throw(PyObject_GetItem(cache.ptr(), key.ptr()));
}

rt::Task dependencies_from_index(nb::object self, nb::object package_name, nb::object version,
                                 nb::object index_url) {
    rt::FramePromise& frame = co_await rt::this_frame();
    rt::Kept<nb::object> key(frame, nb::make_tuple(lower_case(package_name), version));
    nb::object document = kept_document(self, *key);
    if (!document.is_valid()) {
        nb::object pattern = api_pattern_of(self, index_url);
        if (!is_nonempty_str(pattern)) {
            if (!truthy(global::unearth_available().get())) {
                host::log_debug("No API pattern and unearth not available for " +
                                rt::utf8_text(index_url));
                co_return nb::list();
            }
            co_return co_await await_or_fall_back(
                [&] {
                    return in_executor(self, method::get_dependencies_via_unearth, package_name,
                                       version, index_url);
                },
                {host::log_error,
                 "Unearth failed for dependencies " + rt::utf8_text(package_name) +
                     "==" + rt::utf8_text(version),
                 nb::list()});
        }
        rt::Kept<nb::object> empty(frame, nb::list());
        document = co_await query_api_document(
            self, package_name, index_url, version_api_url(pattern, package_name, version), *empty,
            [&](nb::handle fetched) -> nb::object {
                // Only a document that can be read is kept: a kept document answers every
                // later query, so an unreadable one would fail them all.
                requires_dist_of(fetched);
                nb::object cache = field::metadata_cache.get(self);
                if (PyObject_SetItem(cache.ptr(), key->ptr(), fetched.ptr()) != 0) {
                    rt::throw_pending();
                }
                return nb::borrow(fetched);
            });
        if (document.is(*empty)) co_return std::move(*empty);
    }
    co_return dependencies_of(self, document, package_name, version);
}

// Blocking; runs on the executor.
nb::object dependencies_via_unearth(nb::handle self, nb::handle package_name, nb::handle version,
                                    nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version, "version");
    rt::require_str(index_url, "index_url");
    return run_or_fall_back({host::log_debug, "Unearth get_dependencies failed", nb::list()}, [&] {
        return with_finder(index_url, [&](nb::handle finder) -> nb::object {
            return parse_requirements(self, best_file_requirements(finder, package_name, version));
        });
    });
}

}  // namespace

Worker worker::get_dependencies_from_index{method::get_dependencies_from_index,
                                           "RepoFinder._get_dependencies_from_index",
                                           &dependencies_from_index};

void bind_dependency_workers(Class& cls) {
    worker::get_dependencies_from_index.bind(cls);
    cls.def("_get_dependencies_via_unearth", &dependencies_via_unearth,
            nb::arg("package_name").none(), nb::arg("version").none(), nb::arg("index_url").none());
}

}  // namespace quenlet::repo_finder
