// The host's logger contract: a module-level `logger` obtained from the host's get_logger(),
// offering debug/info/warning/error, each called with one finished message string.
#pragma once

#include <string>
#include <string_view>

#include "runtime/python.h"

namespace quenlet::host {

// Binds `logger` in the module being initialised: get_logger(qualified_name) from the host's
// logging-configuration module (which the module must have imported as `get_logger`).
void bind_logger(nb::module_& module, const char* qualified_name);

enum class Level { debug, info, warning, error };

// logger.<level>, looked up once for the message it is to be called with; an empty object when
// the call would do nothing: the level method is the standard library's own and the logger's
// isEnabledFor declines the level.
nb::object level_call(Level level);
// call(message), for a level_call that is not empty.
void emit(nb::handle call, std::string_view message);

void log_debug(std::string_view message);
void log_info(std::string_view message);
void log_warning(std::string_view message);
void log_error(std::string_view message);

// logger.<level>(build()), where the message takes work to build (a line logged on every call of
// a hot path): built only when the logger may keep it.
template <class Build>
void log_built(Level level, Build&& build) {
    nb::object call = level_call(level);
    if (call.is_valid()) emit(call, build());
}

}  // namespace quenlet::host
