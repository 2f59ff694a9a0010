#include "repo_finder/index_api.h"

#include "host_interfaces/logger.h"
#include "runtime/async_context.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

using namespace nb::literals;

namespace {

constexpr int request_timeout_seconds = 10;

Interned info_key{"info"};
Interned requires_dist_key{"requires_dist"};

bool equals(nb::handle value, long number) {
    int equal = PyObject_RichCompareBool(value.ptr(), nb::int_(number).ptr(), Py_EQ);
    if (equal < 0) rt::throw_pending();
    return equal == 1;
}

bool is_list_of_str(nb::handle value) {
    if (!PyList_Check(value.ptr())) return false;
    for (nb::handle item : nb::borrow<nb::list>(value)) {
        if (!PyUnicode_Check(item.ptr())) return false;
    }
    return true;
}

// session.get(api_url, timeout=ClientTimeout(total=10)).
nb::object api_request(nb::handle session, nb::handle api_url) {
    nb::object timeout =
        global::aiohttp().get().attr("ClientTimeout")("total"_a = request_timeout_seconds);
    return session.attr("get")(api_url, "timeout"_a = timeout);
}

}  // namespace

bool is_nonempty_str(nb::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

rt::Task with_api_response(nb::object self, nb::object api_url,
                           rt::FunctionRef<rt::Task(nb::object response)> use) {
    nb::object request = api_request(co_await session_of(self), api_url);
    co_return co_await rt::with_async_context(std::move(request), use);
}

rt::Task query_api_document(nb::object self, nb::object package_name, nb::object index_url,
                            nb::object api_url, nb::object empty,
                            rt::FunctionRef<nb::object(nb::handle document)> use) {
    try {
        co_return co_await with_api_response(self, api_url, [&](nb::object response) -> rt::Task {
            nb::object status = response.attr("status");
            if (equals(status, 404)) {
                host::log_debug("Package " + rt::utf8_text(package_name) + " not found at " +
                                rt::utf8_text(index_url));
                co_return empty;
            }
            if (!equals(status, 200)) {
                host::log_error("API returned status " + text_of(status) + " for " +
                                rt::utf8_text(api_url));
                co_return empty;
            }
            nb::object document = co_await rt::awaited(response.attr("json")());
            co_return use(document);
        });
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        // asyncio.TimeoutError is the built-in TimeoutError on every interpreter we support.
        if (error.matches(PyExc_TimeoutError)) {
            host::log_error("Timeout querying " + rt::utf8_text(index_url) + " for " +
                            rt::utf8_text(package_name));
        } else {
            host::log_error("Failed to query " + rt::utf8_text(index_url) + " for " +
                            rt::utf8_text(package_name) + ": " + rt::error_text(error));
        }
    }
    co_return empty;
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
    if (!requirements.is_valid() || !truthy(requirements)) return nb::list();
    if (!is_list_of_str(requirements)) {
        rt::throw_error(PyExc_ValueError,
                        "the document's \"requires_dist\" is not a list of strings");
    }
    return requirements;
}

}  // namespace quenlet::repo_finder
