#include "repo_finder/memo.h"
#include "repo_finder/repo_finder.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) rt::throw_pending();
    return truth == 1;
}

std::string text_of(nb::handle value) {
    return rt::utf8_text(rt::steal_or_throw(PyObject_Str(value.ptr())));
}

Memo& parsed_versions() {
    // Kept for the life of the process (its Python references must not be released at exit).
    static Memo& memo = *new Memo(4096);
    return memo;
}

}  // namespace quenlet::repo_finder
