#include "host_interfaces/logger.h"

#include "runtime/module_globals.h"

namespace quenlet::host {

namespace {

const rt::ModuleGlobal& logger() {
    static const rt::ModuleGlobal global("logger");
    return global;
}

void log(const char* level, std::string_view message) {
    nb::object text = nb::str(message.data(), message.size());
    logger().get().attr(level)(text);
}

}  // namespace

void bind_logger(nb::module_& module, const char* qualified_name) {
    module.attr("logger") = module.attr("get_logger")(qualified_name);
}

void log_debug(std::string_view message) {
    log("debug", message);
}
void log_info(std::string_view message) {
    log("info", message);
}
void log_warning(std::string_view message) {
    log("warning", message);
}
void log_error(std::string_view message) {
    log("error", message);
}

}  // namespace quenlet::host
