// The host's logger contract: a module-level `logger` obtained from the host's get_logger(),
// offering debug/info/warning/error, each called with one finished message string.
#pragma once

#include <string_view>

#include "runtime/python.h"

namespace quenlet::host {

// Binds `logger` in the module being initialised: get_logger(qualified_name) from the host's
// logging-configuration module (which the module must have imported as `get_logger`).
void bind_logger(nb::module_& module, const char* qualified_name);

void log_debug(std::string_view message);
void log_info(std::string_view message);
void log_warning(std::string_view message);
void log_error(std::string_view message);

}  // namespace quenlet::host
