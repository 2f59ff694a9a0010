#include "host_interfaces/logger.h"

#include "runtime/class_functions.h"
#include "runtime/errors.h"
#include "runtime/interned_name.h"
#include "runtime/module_globals.h"

namespace quenlet::host {

namespace {

const rt::ModuleGlobal& logger() {
    static const rt::ModuleGlobal global("logger");
    return global;
}

struct LevelMethod {
    // The logger's method, interned once: queries log on every call, and building the name and a
    // bound method each time cost more than the call into the logger itself.
    rt::InternedName name;
    const char* standard_qualname;  // the standard library's method, "Logger.<name>"
    long standard_number;           // the level that method asks isEnabledFor about
    rt::ClassFact class_holds_standard;
};

LevelMethod level_methods[] = {
    {rt::InternedName("debug"), "Logger.debug", 10, {}},
    {rt::InternedName("info"), "Logger.info", 20, {}},
    {rt::InternedName("warning"), "Logger.warning", 30, {}},
    {rt::InternedName("error"), "Logger.error", 40, {}},
};

LevelMethod& method_of(Level level) {
    return level_methods[static_cast<int>(level)];
}

bool has_text(PyObject* value, const char* text) {
    return value != nullptr && PyUnicode_Check(value) &&
           PyUnicode_CompareWithASCIIString(value, text) == 0;
}

// Whether `found` is the standard library's own Logger.<level>: a Python function of the logging
// module under that name. It does nothing but return when self.isEnabledFor(<level>) is false.
bool is_standard_method(nb::handle found, const LevelMethod& method) {
    if (!PyFunction_Check(found.ptr())) return false;
    if (!has_text(PyFunction_GetModule(found.ptr()), "logging")) return false;
    nb::object qualname = rt::steal_or_throw(PyObject_GetAttrString(found.ptr(), "__qualname__"));
    return has_text(qualname.ptr(), method.standard_qualname);
}

bool may_log(nb::handle target, LevelMethod& method) {
    // Any other logger (another class, a level method replaced on the class or on the instance, a
    // test's stand-in) is called every time, as the contract says.
    bool standard = rt::resolves_to_class_attribute(
        target, method.name.get(), method.class_holds_standard,
        [&](nb::handle found) { return is_standard_method(found, method); });
    if (!standard) return true;
    static const rt::InternedName is_enabled_for("isEnabledFor");
    nb::object number = rt::steal_or_throw(PyLong_FromLong(method.standard_number));
    PyObject* args[] = {target.ptr(), number.ptr()};
    nb::object enabled =
        rt::steal_or_throw(PyObject_VectorcallMethod(is_enabled_for.get().ptr(), args, 2, nullptr));
    int answer = PyObject_IsTrue(enabled.ptr());
    if (answer < 0) rt::throw_pending();
    return answer == 1;
}

void emit(nb::handle target, const LevelMethod& method, std::string_view message) {
    nb::object text = nb::str(message.data(), message.size());
    PyObject* args[] = {target.ptr(), text.ptr()};
    rt::steal_or_throw(PyObject_VectorcallMethod(method.name.get().ptr(), args, 2, nullptr));
}

void log(Level level, std::string_view message) {
    nb::object target = logger().get();
    LevelMethod& method = method_of(level);
    if (may_log(target, method)) emit(target, method, message);
}

}  // namespace

void bind_logger(nb::module_& module, const char* qualified_name) {
    module.attr("logger") = module.attr("get_logger")(qualified_name);
}

bool may_log(Level level) {
    return may_log(logger().get(), method_of(level));
}

void emit(Level level, std::string_view message) {
    emit(logger().get(), method_of(level), message);
}

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
