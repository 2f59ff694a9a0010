#include "host_interfaces/logger.h"

#include "runtime/errors.h"
#include "runtime/interned_name.h"
#include "runtime/module_globals.h"

namespace quenlet::host {

namespace {

const rt::ModuleGlobal& logger() {
    static const rt::ModuleGlobal global("logger");
    return global;
}

// `level` is the logger's method name, interned once: queries log on every call, and building the
// name and a bound method each time cost more than the call into the logger itself.
void log(const rt::InternedName& level, std::string_view message) {
    nb::object text = nb::str(message.data(), message.size());
    nb::object target = logger().get();
    PyObject* args[] = {target.ptr(), text.ptr()};
    rt::steal_or_throw(PyObject_VectorcallMethod(level.get().ptr(), args, 2, nullptr));
}

}  // namespace

void bind_logger(nb::module_& module, const char* qualified_name) {
    module.attr("logger") = module.attr("get_logger")(qualified_name);
}

void log_debug(std::string_view message) {
    static const rt::InternedName level("debug");
    log(level, message);
}
void log_info(std::string_view message) {
    static const rt::InternedName level("info");
    log(level, message);
}
void log_warning(std::string_view message) {
    static const rt::InternedName level("warning");
    log(level, message);
}
void log_error(std::string_view message) {
    static const rt::InternedName level("error");
    log(level, message);
}

}  // namespace quenlet::host
