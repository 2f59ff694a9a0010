// What the installer asks before installing: versions and extras through the host's
// resolvers, and a package's summary from the public index's JSON API.
#include "host_interfaces/logger.h"
#include "host_interfaces/public_index.h"
#include "host_interfaces/services.h"
#include "manager/manager.h"
#include "runtime/arguments.h"
#include "runtime/async_context.h"
#include "runtime/coroutine.h"
#include "runtime/errors.h"
#include "runtime/module_globals.h"
#include "runtime/text.h"
#include "runtime/values.h"

namespace quenlet::manager {

using namespace nb::literals;

namespace {

constexpr int request_timeout_seconds = 10;

rt::Task available_versions(nb::object self, nb::object package_name) {
    nb::object answer =
        host::VersionResolver(self.attr("version_resolver")).get_available_versions(package_name);
    co_return rt::list_or_none(co_await rt::awaited(std::move(answer)));
}

rt::Task package_extras(nb::object self, nb::object package_name, nb::object version) {
    nb::object answer = host::ExtrasResolver(self.attr("extras_resolver"))
                            .get_package_extras(package_name, version);
    co_return rt::list_or_none(co_await rt::awaited(std::move(answer)));
}

nb::object error_result(nb::handle message) {
    nb::dict result;
    result["error"] = message;
    return result;
}

const rt::ModuleGlobal aiohttp_global("aiohttp");

const rt::ModuleGlobal asyncio_global("asyncio");

// The error a response's status stands for, or an invalid object for 200.
nb::object status_error(nb::handle response, nb::handle package_name) {
    nb::object status = response.attr("status");
    if (status.equal(nb::int_(404))) {
        return error_result(nb::str("Package '{}' not found on PyPI").format(package_name));
    }
    if (!status.equal(nb::int_(200))) {
        return error_result(nb::str("PyPI API returned status {}").format(status));
    }
    return nb::object();
}

rt::Task read_package_info(nb::object response, nb::object package_name) {
    if (nb::object error = status_error(response, package_name); error.is_valid()) co_return error;
    nb::object document = co_await rt::awaited(response.attr("json")());
    nb::object info = document.attr("get")("info", nb::dict());
    nb::dict result;
    result["name"] = info.attr("get")("name", package_name);
    result["latest_version"] = info.attr("get")("version", "");
    result["summary"] = info.attr("get")("summary", "");
    co_return result;
}

// One request of the package's document; what the call holds while it waits are its
// parameters (and the address, a str).
rt::Task fetch_package_info(nb::object aiohttp, nb::object package_name) {
    std::string name = rt::utf8_text(package_name);
    try {
        // Unknown without pip: then this query fails like any other.
        const host::PublicIndex index = host::public_index();
        if (index.root.empty()) rt::throw_error(PyExc_RuntimeError, "%s", index.unknown.c_str());
        nb::object url = nb::str("{}/pypi/{}/json")
                             .format(nb::str(index.root.data(), index.root.size()), package_name);
        // A session of its own: this call must not depend on, or keep open, anyone else's.
        co_return co_await rt::with_async_context(
            aiohttp.attr("ClientSession")(), [&](nb::object session) -> rt::Task {
                nb::object timeout =
                    aiohttp.attr("ClientTimeout")("total"_a = request_timeout_seconds);
                co_return co_await rt::with_async_context(
                    session.attr("get")(url, "timeout"_a = timeout),
                    [&](nb::object response) -> rt::Task {
                        co_return co_await read_package_info(std::move(response), package_name);
                    });
            });
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        if (error.matches(asyncio_global.get().attr("TimeoutError"))) {
            host::log_error("Timeout querying PyPI for " + name);
            co_return error_result(nb::str("Request timed out"));
        }
        nb::str text = nb::str(error.value());
        host::log_error("Failed to query package info for " + name + ": " + rt::utf8_text(text));
        co_return error_result(text);
    }
}

rt::Task package_info(nb::object package_name) {
    nb::object aiohttp = aiohttp_global.get();
    if (aiohttp.is_none()) {
        host::log_error("aiohttp not installed, cannot query PyPI API");
        co_return error_result(nb::str("aiohttp not installed"));
    }
    host::log_info("Querying package info for " + rt::utf8_text(package_name) + " from PyPI");
    co_return co_await fetch_package_info(std::move(aiohttp), std::move(package_name));
}

}  // namespace

nb::object get_available_versions(nb::handle self, nb::handle package_name) {
    rt::require_str(package_name, "package_name");
    return available_versions(nb::borrow(self), nb::borrow(package_name))
        .into_python("PackageManager.get_available_versions");
}

nb::object get_package_extras(nb::handle self, nb::handle package_name, nb::handle version) {
    rt::require_str(package_name, "package_name");
    rt::require_str_or_none(version, "version");
    return package_extras(nb::borrow(self), nb::borrow(package_name), nb::borrow(version))
        .into_python("PackageManager.get_package_extras");
}

nb::object get_package_info(nb::handle, nb::handle package_name) {
    rt::require_str(package_name, "package_name");
    return package_info(nb::borrow(package_name)).into_python("PackageManager.get_package_info");
}

}  // namespace quenlet::manager
