#include "host_interfaces/logger.h"

#include "runtime/errors.h"
#include "runtime/interned_name.h"
#include "runtime/module_globals.h"
#include "runtime/module_state.h"
#include "runtime/values.h"

namespace quenlet::host {

namespace {

const rt::ModuleGlobal logger_global("logger");
const rt::InternedName is_enabled_for("isEnabledFor");

struct LevelMethod {
    rt::InternedName name;
    long number;  // the standard library's number for the level
    // logging.Logger's own method, bound at module initialisation and kept in the module's state.
    nb::handle standard;
};

LevelMethod level_methods[] = {
    {rt::InternedName("debug"), 10},
    {rt::InternedName("info"), 20},
    {rt::InternedName("warning"), 30},
    {rt::InternedName("error"), 40},
};

}  // namespace

void bind_logger(nb::module_& module, const char* qualified_name) {
    nb::object standard_logger = nb::module_::import_("logging").attr("Logger");
    for (LevelMethod& method : level_methods) {
        method.standard = rt::keep(standard_logger.attr(method.name.get()));
    }
    module.attr("logger") = module.attr("get_logger")(qualified_name);
}

// The standard library's level methods do nothing else when the logger's public isEnabledFor
// declines the level; any other level method (another logger, or one replaced on the class, a
// subclass or the instance) is handed every message, as the contract says.
nb::object level_call(Level level) {
    nb::object target = logger_global.get();
    const LevelMethod& method = level_methods[static_cast<int>(level)];
    nb::object bound = rt::steal_or_throw(PyObject_GetAttr(target.ptr(), method.name.get().ptr()));
    if (!PyMethod_Check(bound.ptr()) ||
        PyMethod_GET_FUNCTION(bound.ptr()) != method.standard.ptr() ||
        PyMethod_GET_SELF(bound.ptr()) != target.ptr()) {
        return bound;
    }
    nb::object number = rt::steal_or_throw(PyLong_FromLong(method.number));
    PyObject* args[] = {target.ptr(), number.ptr()};
    bool enabled = rt::truthy(rt::steal_or_throw(
        PyObject_VectorcallMethod(is_enabled_for.get().ptr(), args, 2, nullptr)));
    return enabled ? bound : nb::object();
}

void emit(nb::handle call, std::string_view message) {
    nb::object text = nb::str(message.data(), message.size());
    rt::steal_or_throw(PyObject_CallOneArg(call.ptr(), text.ptr()));
}

namespace {
void log(Level level, std::string_view message) {
    nb::object call = level_call(level);
    if (call.is_valid()) emit(call, message);
}
}  // namespace

void log_debug(std::string_view message) {
    log(Level::debug, message);
}
void log_info(std::string_view message) {
    log(Level::info, message);
}
void log_warning(std::string_view message) {
    log(Level::warning, message);
}
void log_error(std::string_view message) {
    log(Level::error, message);
}

}  // namespace quenlet::host
