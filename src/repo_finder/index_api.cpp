// The per-index workers' JSON API path: one GET on the RepoFinder's shared session, and reading
// the documents an index sends.
#include "host_interfaces/logger.h"
#include "repo_finder/class_methods.h"
#include "repo_finder/module_names.h"
#include "repo_finder/worker_parts.h"
#include "runtime/async_context.h"
#include "runtime/errors.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

using namespace nb::literals;

namespace {

constexpr int request_timeout_seconds = 10;

const rt::InternedName info_key{"info"};
const rt::InternedName requires_dist_key{"requires_dist"};

nb::object replaced(nb::handle text, const char* marker, nb::handle value) {
    return rt::steal_or_throw(
        PyUnicode_Replace(text.ptr(), nb::str(marker).ptr(), value.ptr(), -1));
}

bool is_list_of_str(nb::handle value) {
    if (!PyList_Check(value.ptr())) return false;
    for (nb::handle item : nb::borrow<nb::list>(value)) {
        if (!PyUnicode_Check(item.ptr())) return false;
    }
    return true;
}

}  // namespace

nb::object api_url(nb::handle pattern, const Query& query) {
    nb::object filled = replaced(pattern, "{package_name}", query.package_name);
    if (!query.version.is_valid()) return replaced(filled, "/{version}", nb::str(""));
    return replaced(filled, "{version}", query.version);
}

rt::Task with_api_response(nb::object self, nb::object url,
                           rt::FunctionRef<rt::Task(nb::object response)> use) {
    nb::object session = co_await session_of(self);
    nb::object timeout =
        global::aiohttp.get().attr("ClientTimeout")("total"_a = request_timeout_seconds);
    nb::object request = session.attr("get")(url, "timeout"_a = timeout);
    co_return co_await rt::with_async_context(std::move(request), use);
}

rt::Task query_api_document(Query query, nb::object url, nb::object empty, DocumentReader read,
                            DocumentReader answer) {
    nb::object result;
    try {
        result = co_await with_api_response(query.self, url, [&](nb::object response) -> rt::Task {
            nb::object status = response.attr("status");
            if (status.equal(nb::int_(404))) {
                host::log_debug("Package " + rt::utf8_text(query.package_name) + " not found at " +
                                rt::utf8_text(query.index_url));
                co_return empty;
            }
            if (!status.equal(nb::int_(200))) {
                host::log_error("API returned status " + rt::utf8_text(nb::str(status)) + " for " +
                                rt::utf8_text(url));
                co_return empty;
            }
            nb::object document = co_await rt::awaited(response.attr("json")());
            co_return read(query, document);
        });
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        // asyncio.TimeoutError is the built-in TimeoutError on every interpreter we support.
        if (error.matches(PyExc_TimeoutError)) {
            host::log_error("Timeout querying " + rt::utf8_text(query.index_url) + " for " +
                            rt::utf8_text(query.package_name));
        } else {
            host::log_error("Failed to query " + rt::utf8_text(query.index_url) + " for " +
                            rt::utf8_text(query.package_name) + ": " + rt::error_text(error));
        }
        co_return empty;
    }
    if (answer == nullptr || result.is(empty)) co_return result;
    co_return answer(query, result);
}

nb::object requires_dist_of(nb::handle document) {
    if (!PyDict_Check(document.ptr())) {
        rt::throw_error(PyExc_ValueError, "the document is not a JSON object");
    }
    nb::object info = rt::dict_item(document, info_key.get());
    if (!info.is_valid()) return nb::list();
    if (!PyDict_Check(info.ptr())) {
        rt::throw_error(PyExc_ValueError, "the document's \"info\" is not a JSON object");
    }
    nb::object requirements = rt::dict_item(info, requires_dist_key.get());
    if (!requirements.is_valid() || !rt::truthy(requirements)) return nb::list();
    if (!is_list_of_str(requirements)) {
        rt::throw_error(PyExc_ValueError,
                        "the document's \"requires_dist\" is not a list of strings");
    }
    return requirements;
}

}  // namespace quenlet::repo_finder
