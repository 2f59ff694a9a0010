#include "host_interfaces/logger.h"

#include "runtime/class_functions.h"
#include "runtime/errors.h"
#include "runtime/interned_name.h"
#include "runtime/module_globals.h"
#include "runtime/values.h"

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
    rt::ClassFact standard_class;
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

const rt::InternedName is_enabled_for("isEnabledFor");
const rt::InternedName disabled_name("disabled");
const rt::InternedName cache_name("_cache");

bool has_text(PyObject* value, const char* text) {
    return value != nullptr && PyUnicode_Check(value) &&
           PyUnicode_CompareWithASCIIString(value, text) == 0;
}

// Whether `found` is the standard library's own function `qualname` of the logging module.
bool is_standard_function(nb::handle found, const char* qualname) {
    if (!found.is_valid() || !PyFunction_Check(found.ptr())) return false;
    if (!has_text(PyFunction_GetModule(found.ptr()), "logging")) return false;
    nb::object own_qualname =
        rt::steal_or_throw(PyObject_GetAttrString(found.ptr(), "__qualname__"));
    return has_text(own_qualname.ptr(), qualname);
}

// Whether the logger's class is the standard library's Logger as far as `method` goes. Its
// level method does nothing but return when self.isEnabledFor(<level>) is false; its
// isEnabledFor answers false while `disabled` is true, else `_cache[level]` once it has answered
// for that level; both attributes live in the instance's __dict__, where Logger.__init__ puts
// them, as nothing on the class hides them.
bool is_standard_class(PyTypeObject* type, LevelMethod& method) {
    return method.standard_class.holds(type, [&](PyTypeObject* candidate) {
        return is_standard_function(rt::class_attribute(candidate, method.name.get()),
                                    method.standard_qualname) &&
               is_standard_function(rt::class_attribute(candidate, is_enabled_for.get()),
                                    "Logger.isEnabledFor") &&
               !rt::class_attribute(candidate, disabled_name.get()).is_valid() &&
               !rt::class_attribute(candidate, cache_name.get()).is_valid();
    });
}

// target.isEnabledFor(<level>), read as the standard one would answer when it can be: a Python
// call on every query costs more than all the rest of a warm query's logging.
bool is_enabled(nb::handle target, const LevelMethod& method, nb::handle attributes) {
    nb::object number = rt::steal_or_throw(PyLong_FromLong(method.standard_number));
    if (attributes.is_valid()) {
        nb::object disabled = rt::dict_item(attributes, disabled_name.get());
        nb::object cache = rt::dict_item(attributes, cache_name.get());
        if (disabled.is_valid() && cache.is_valid() && PyDict_CheckExact(cache.ptr())) {
            if (rt::truthy(disabled)) return false;
            nb::object known = rt::dict_item(cache, number);
            if (known.is_valid()) return rt::truthy(known);
        }
    }
    PyObject* args[] = {target.ptr(), number.ptr()};
    return rt::truthy(rt::steal_or_throw(
        PyObject_VectorcallMethod(is_enabled_for.get().ptr(), args, 2, nullptr)));
}

bool may_log(nb::handle target, LevelMethod& method) {
    // Any other logger (another class, a level method replaced on the class or on the instance, a
    // test's stand-in) is called every time, as the contract says.
    if (!rt::has_generic_attributes(target) || !is_standard_class(Py_TYPE(target.ptr()), method)) {
        return true;
    }
    nb::object attributes = rt::instance_attributes(target);
    if (rt::instance_holds(attributes, method.name.get()) ||
        rt::instance_holds(attributes, is_enabled_for.get())) {
        return true;
    }
    return is_enabled(target, method, attributes);
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
