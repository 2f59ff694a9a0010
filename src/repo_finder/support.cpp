#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

nb::handle Interned::get() const {
    if (object_ == nullptr) {
        object_ = PyUnicode_InternFromString(text_);
        if (object_ == nullptr) rt::throw_pending();
    }
    return object_;
}

bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) rt::throw_pending();
    return truth == 1;
}

}  // namespace quenlet::repo_finder
