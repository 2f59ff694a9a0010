// The five queries the host asks: each searches the primary index, then, when the settings
// allow it, the secondary indexes one by one, and answers from the first index whose worker
// gives a result. Results of several indexes are never merged, and indexes are asked strictly
// one after another. The plan is built from the settings on every call.
#include "host_interfaces/logger.h"
#include "repo_finder/class_methods.h"
#include "repo_finder/index_workers.h"
#include "repo_finder/module.h"
#include "runtime/arguments.h"
#include "runtime/errors.h"
#include "runtime/text.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

namespace {

const rt::InternedName index_urls_key{"index_urls"};
const rt::InternedName use_secondary_urls_key{"use_secondary_urls"};
const rt::InternedName url_key{"url"};
const rt::InternedName primary_key{"primary"};

// What a list query logs; "{}" marks the package name (before the primary, nothing found) or a
// count (the others).
struct Messages {
    const char* before_primary;
    const char* primary_hit;
    const char* before_secondaries;
    const char* secondary_hit;
    const char* nothing_found;
    void (*log_nothing_found)(std::string_view);
};

const Messages version_messages{"Querying primary index for {} versions",
                                "Found {} versions in primary index",
                                "No results in primary, trying {} secondary indexes",
                                "Found {} versions in secondary index",
                                "No versions found for {} in any index",
                                &host::log_warning};
const Messages extras_messages{"Querying primary index for extras: {}",
                               "Found {} extras in primary index",
                               "No extras in primary, trying {} secondary indexes",
                               "Found {} extras in secondary index",
                               "No extras found for {} in any index",
                               &host::log_info};
const Messages dependency_messages{"Querying primary index for dependencies: {}",
                                   "Found {} dependencies in primary index",
                                   "No dependencies in primary, trying {} secondary indexes",
                                   "Found {} dependencies in secondary index",
                                   "No dependencies found for {} in any index",
                                   &host::log_debug};

enum class Answer {
    index_url,      // the address of the index that has it, else None
    result,         // the worker's list as it is, else an empty list
    sorted_result,  // the worker's set as a sorted list, else an empty list
};

struct Search {
    const char* name;          // the method's
    const char* qualname;      // of its coroutine objects
    const WorkerKind* worker;  // started as self.<worker>(package_name, [version,] index_url)
    const Messages* messages;  // null: the query logs nothing
    Answer answer;
};

const Search package_search{"find_repo_for_package", "RepoFinder.find_repo_for_package",
                            &worker::package_exists, nullptr, Answer::index_url};
const Search version_search{"find_repo_for_package_version",
                            "RepoFinder.find_repo_for_package_version", &worker::version_exists,
                            nullptr, Answer::index_url};
const Search versions_search{"get_versions", "RepoFinder.get_versions", &worker::versions,
                             &version_messages, Answer::result};
const Search extras_search{"get_extras", "RepoFinder.get_extras", &worker::extras, &extras_messages,
                           Answer::sorted_result};
const Search dependencies_search{"get_dependencies", "RepoFinder.get_dependencies",
                                 &worker::dependencies, &dependency_messages, Answer::result};

std::string filled(const char* message, const std::string& value) {
    std::string text(message);
    return text.replace(text.find("{}"), 2, value);
}

std::string size_text(nb::handle sized) {
    return std::to_string(nb::len(sized));
}

nb::object answer(const Search& search, nb::handle result, nb::handle index_url) {
    switch (search.answer) {
        case Answer::index_url:
            return nb::borrow(index_url);
        case Answer::result:
            return nb::borrow(result);
        case Answer::sorted_result:
            break;
    }
    nb::list sorted = nb::borrow<nb::list>(rt::steal_or_throw(PySequence_List(result.ptr())));
    if (PyList_Sort(sorted.ptr()) != 0) rt::throw_pending();
    return sorted;
}

nb::object nothing(const Search& search) {
    if (search.answer == Answer::index_url) return nb::none();
    return nb::list();
}

// The primary index (the last entry marked primary, or None) and the secondary ones.
struct Plan {
    nb::object primary_url = nb::none();
    nb::list secondary_urls;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(primary_url.ptr());
        Py_VISIT(secondary_urls.ptr());
        return 0;
    }
};

Plan plan_of(nb::handle settings) {
    Plan plan;
    for (nb::handle entry : settings[index_urls_key.get()]) {
        bool primary = rt::truthy(entry.attr("get")(primary_key.get(), false));
        nb::object url = entry[url_key.get()];
        if (primary) {
            plan.primary_url = url;
        } else {
            plan.secondary_urls.append(url);
        }
    }
    return plan;
}

rt::Task search_in(nb::object self, Search search, nb::object package_name, nb::object version,
                   nb::object index_url) {
    if (is_nonempty_str(index_url)) {
        nb::object result =
            co_await start_worker(*search.worker, self, package_name, version, index_url);
        co_return answer(search, result, index_url);
    }
    rt::FramePromise& frame = co_await rt::this_frame();
    rt::Kept<nb::object> settings(frame, method::get_pip_settings.call(self));
    rt::Kept<Plan> kept_plan(frame, plan_of(*settings));
    const Plan& plan = *kept_plan;
    const Messages* messages = search.messages;

    if (is_nonempty_str(plan.primary_url)) {
        if (messages) host::log_info(filled(messages->before_primary, rt::utf8_text(package_name)));
        nb::object result =
            co_await start_worker(*search.worker, self, package_name, version, plan.primary_url);
        if (rt::truthy(result)) {
            if (messages) host::log_info(filled(messages->primary_hit, size_text(result)));
            co_return answer(search, result, plan.primary_url);
        }
    }
    if (rt::truthy((*settings)[use_secondary_urls_key.get()]) && plan.secondary_urls.size() > 0) {
        if (messages) {
            host::log_info(filled(messages->before_secondaries, size_text(plan.secondary_urls)));
        }
        for (nb::handle url : plan.secondary_urls) {
            if (messages)
                host::log_info("Querying secondary index: " + rt::utf8_text(nb::str(url)));
            nb::object result =
                co_await start_worker(*search.worker, self, package_name, version, url);
            if (rt::truthy(result)) {
                if (messages) host::log_info(filled(messages->secondary_hit, size_text(result)));
                co_return answer(search, result, url);
            }
        }
    }
    if (messages)
        messages->log_nothing_found(filled(messages->nothing_found, rt::utf8_text(package_name)));
    co_return nothing(search);
}

// The search's method: its arguments checked to be str, in order, before anything starts. A
// search that takes no version is given an empty one, and one that takes no index URL None.
nb::object start(nb::handle self, const Search& search, nb::handle package_name, nb::handle version,
                 nb::handle index_url) {
    rt::require_str(package_name, "package_name");
    if (version.is_valid()) rt::require_str(version, "version");
    rt::require_str_or_none(index_url, "index_url");
    return search_in(nb::borrow(self), search, nb::borrow(package_name), nb::borrow(version),
                     nb::borrow(index_url))
        .into_python(search.qualname);
}

}  // namespace

void bind_search(nb::handle cls) {
    def(
        cls, package_search.name,
        [](nb::handle self, nb::handle package_name) {
            return start(self, package_search, package_name, nb::handle(), nb::none());
        },
        nb::arg("package_name").none());
    def(
        cls, version_search.name,
        [](nb::handle self, nb::handle package_name, nb::handle version) {
            return start(self, version_search, package_name, version, nb::none());
        },
        nb::arg("package_name").none(), nb::arg("version").none());
    def(
        cls, versions_search.name,
        [](nb::handle self, nb::handle package_name, nb::handle index_url) {
            return start(self, versions_search, package_name, nb::handle(), index_url);
        },
        nb::arg("package_name").none(), nb::arg("index_url").none() = nb::none());
    for (const Search* search : {&extras_search, &dependencies_search}) {
        def(
            cls, search->name,
            [search](nb::handle self, nb::handle package_name, nb::handle version,
                     nb::handle index_url) {
                return start(self, *search, package_name, version, index_url);
            },
            nb::arg("package_name").none(), nb::arg("version").none(),
            nb::arg("index_url").none() = nb::none());
    }
}

}  // namespace quenlet::repo_finder
