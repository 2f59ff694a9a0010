#include "runtime/module_globals.h"

#include "runtime/errors.h"
#include "runtime/module_state.h"
#include "runtime/values.h"

namespace quenlet::rt {

nb::object ModuleGlobal::get() const {
    ModuleState* state = module_state();
    nb::object value;
    if (state != nullptr) value = dict_item(state->module_dict, key_.get());
    if (!value.is_valid()) throw_error(PyExc_NameError, "name '%s' is not defined", name());
    return value;
}

}  // namespace quenlet::rt
