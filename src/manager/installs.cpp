// The install operations: what each settles before pip runs, then the shared pip run.
#include <exception>
#include <optional>

#include "host_interfaces/logger.h"
#include "host_interfaces/services.h"
#include "manager/manager.h"
#include "manager/pip_stream.h"
#include "runtime/arguments.h"
#include "runtime/async_generator.h"
#include "runtime/errors.h"
#include "runtime/text.h"
#include "runtime/values.h"

namespace quenlet::manager {

using namespace nb::literals;

namespace {

nb::object concat(std::initializer_list<nb::handle> parts) {
    nb::list pieces;
    for (nb::handle part : parts) pieces.append(part);
    return nb::str("").attr("join")(pieces);
}

// The plan that answers a rejected spec with its error item, or none when the spec is valid.
std::optional<InstallPlan> rejection(nb::handle package_spec) {
    nb::object verdict = validate_package_spec(package_spec);
    if (PyTuple_GET_ITEM(verdict.ptr(), 0) == Py_True) return std::nullopt;
    nb::object message =
        concat({nb::str("Invalid package spec: "), PyTuple_GET_ITEM(verdict.ptr(), 1)});
    return InstallPlan{{output_item("error", message)}};
}

std::string command_text(nb::handle command) {
    return rt::utf8_text(nb::str(" ").attr("join")(command));
}

// install_package's arguments: (package_spec, target_dir).
InstallPlan plan_install(nb::handle self, nb::handle arguments) {
    nb::object package_spec = nb::borrow(PyTuple_GET_ITEM(arguments.ptr(), 0));
    nb::object target_dir = nb::borrow(PyTuple_GET_ITEM(arguments.ptr(), 1));
    if (std::optional<InstallPlan> rejected = rejection(package_spec)) return std::move(*rejected);
    nb::object target;
    if (target_dir.is_none()) {
        target = self.attr("ensure_cache_dir")();
    } else {
        nb::object os = os_global.get();
        target = os.attr("path").attr("abspath")(target_dir);
        os.attr("makedirs")(target, "exist_ok"_a = true);
    }
    InstallPlan plan;
    plan.run.command = host::PipCommandBuilder(self.attr("pip_command_builder"))
                           .build_install_command(package_spec, target);
    host::log_info("Running pip install: " + command_text(plan.run.command));
    plan.run.env = nb::none();
    plan.run.target_dir = std::move(target);
    plan.run.success_message = concat({nb::str("Successfully installed "), package_spec});
    plan.run.package_spec = std::move(package_spec);
    return plan;
}

// install_package_to_cache's arguments: (package_name, version, extras, env).
InstallPlan plan_cache_install(nb::handle self, nb::handle arguments) {
    nb::object name = nb::borrow(PyTuple_GET_ITEM(arguments.ptr(), 0));
    nb::object version = nb::borrow(PyTuple_GET_ITEM(arguments.ptr(), 1));
    nb::object extras = nb::borrow(PyTuple_GET_ITEM(arguments.ptr(), 2));
    nb::object env = nb::borrow(PyTuple_GET_ITEM(arguments.ptr(), 3));
    bool has_extras = !extras.is_none() && PyList_GET_SIZE(extras.ptr()) > 0;
    nb::str comma(",");
    nb::object extras_text = nb::str("");
    if (has_extras) extras_text = concat({nb::str("["), comma.attr("join")(extras), nb::str("]")});
    nb::object package_spec = concat({name, extras_text, nb::str("=="), version});
    if (std::optional<InstallPlan> rejected = rejection(package_spec)) return std::move(*rejected);
    // The spec keeps the caller's order of extras; the cache key must not depend on it.
    nb::object extras_key = nb::str("");
    if (has_extras) {
        nb::object sorted_extras = rt::steal_or_throw(PySequence_List(extras.ptr()));
        if (PyList_Sort(sorted_extras.ptr()) < 0) rt::throw_pending();
        extras_key = comma.attr("join")(sorted_extras);
    }

    nb::object package_cache = self.attr("package_cache");
    host::PackageCache cache(package_cache);
    nb::object cached_path = cache.get_cached_package(name, version, extras_key);
    if (rt::truthy(cached_path)) {
        return InstallPlan{{
            output_item("stdout", nb::str("Package already cached at {}").format(cached_path)),
            output_item("success", concat({nb::str("Using cached "), package_spec})),
            output_item("cached", cached_path),
        }};
    }
    auto [install_uuid, target] = cache.generate_install_path();
    os_global.get().attr("makedirs")(target, "exist_ok"_a = true);
    InstallPlan plan;
    plan.run.command = host::PipCommandBuilder(self.attr("pip_command_builder"))
                           .build_cache_install_command(package_spec, target);
    host::log_info("Installing to cache: " + command_text(plan.run.command));
    plan.run.env = std::move(env);
    plan.run.target_dir = target;
    plan.run.success_message =
        concat({nb::str("Successfully installed "), package_spec, nb::str(" to cache")});
    plan.run.package_spec = std::move(package_spec);
    plan.run.owns_target_dir = true;
    plan.run.record = CacheRecord{std::move(package_cache), std::move(install_uuid), name, version,
                                  std::move(extras_key)};
    return plan;
}

// install_package_to_cache as this object offers it (a subclass may override it), re-yielded
// item by item. Closing this generator closes that one at once rather than leaving it to the
// garbage collector, so its pip child goes down with it.
rt::AsyncGenerator relay_cache_install(nb::object self, nb::object name, nb::object version,
                                       nb::object extras) {
    rt::FramePromise& frame = co_await rt::this_frame();
    rt::Kept<nb::object> inner(frame, self.attr("install_package_to_cache")(name, version, extras));
    rt::Kept<nb::object> next(frame, inner->attr("__anext__"));
    rt::Kept<std::exception_ptr> stopped(frame);
    try {
        for (;;) {
            nb::object relayed;
            try {
                nb::object item = co_await rt::awaited((*next)());
                relayed = nb::make_tuple(item[0], item[1]);
            } catch (nb::python_error& error) {
                if (!error.matches(PyExc_StopAsyncIteration)) throw;
            }
            if (!relayed.is_valid()) break;
            co_yield std::move(relayed);
        }
    } catch (...) {
        *stopped = std::current_exception();
    }
    if (!*stopped) co_return;
    co_await rt::awaited(inner->attr("aclose")());
    std::rethrow_exception(*stopped);
}

}  // namespace

nb::object install_package(nb::handle self, nb::handle package_spec, nb::handle target_dir) {
    rt::require_str(package_spec, "package_spec");
    rt::require_str_or_none(target_dir, "target_dir");
    return stream_install(&plan_install, nb::borrow(self), nb::make_tuple(package_spec, target_dir))
        .into_python("PackageManager.install_package");
}

nb::object install_package_to_cache(nb::handle self, nb::handle package_name, nb::handle version,
                                    nb::handle extras, nb::handle env) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version, "version");
    rt::require_list_or_none(extras, "extras");
    rt::require_dict_or_none(env, "env");
    return stream_install(&plan_cache_install, nb::borrow(self),
                          nb::make_tuple(package_name, version, extras, env))
        .into_python("PackageManager.install_package_to_cache");
}

nb::object install_package_no_deps(nb::handle self, nb::handle package_name, nb::handle version,
                                   nb::handle extras) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version, "version");
    rt::require_list_or_none(extras, "extras");
    return relay_cache_install(nb::borrow(self), nb::borrow(package_name), nb::borrow(version),
                               nb::borrow(extras))
        .into_python("PackageManager.install_package_no_deps");
}

void CacheRecord::add(nb::handle target_dir) const {
    host::PackageCache package_cache(cache);
    nb::object platform = package_cache.get_current_platform();
    nb::object python_version = package_cache.get_python_version();
    package_cache.add_cached_package(install_uuid, package_name, version, extras_key, platform,
                                     python_version, target_dir);
}

int CacheRecord::traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(cache.ptr());
    Py_VISIT(install_uuid.ptr());
    Py_VISIT(package_name.ptr());
    Py_VISIT(version.ptr());
    Py_VISIT(extras_key.ptr());
    return 0;
}

}  // namespace quenlet::manager
