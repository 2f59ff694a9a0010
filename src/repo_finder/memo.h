// Results of a pure function (a parser, a sort) by their argument, for one function at a time:
// a kept result answers exactly as a new call would. The memo starts over when the function is
// replaced (a host or a test may swap the module's Version, say), and when it grows past a bound
// that real use never reaches. For the event loop's thread only: the executor's threads work
// without it.
#pragma once

#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

class Memo {
  public:
    explicit constexpr Memo(Py_ssize_t max_entries) noexcept : max_entries_(max_entries) {}

    // What was kept for `key` under `function`, or an empty object.
    nb::object find(nb::handle function, nb::handle key) const {
        if (!function.is(function_)) return {};
        return rt::dict_item(entries_, key);
    }

    // `value` is kept as it is: a caller that hands out mutable results keeps its own copy.
    void keep(nb::handle function, nb::handle key, nb::handle value) {
        if (!function.is(function_) || PyDict_GET_SIZE(entries_.ptr()) >= max_entries_) {
            function_ = nb::borrow(function);
            entries_ = nb::dict();
        }
        if (PyDict_SetItem(entries_.ptr(), key.ptr(), value.ptr()) != 0) rt::throw_pending();
    }

    // function(text), kept by the text; what the function raises is not kept.
    nb::object call(nb::handle function, nb::handle text) {
        if (!PyUnicode_CheckExact(text.ptr())) return function(text);
        nb::object kept = find(function, text);
        if (kept.is_valid()) return kept;
        nb::object value = function(text);
        keep(function, text, value);
        return value;
    }

  private:
    Py_ssize_t max_entries_;
    nb::object function_;
    nb::object entries_;  // a dict once something is kept
};

// Takes a kept value built only of strings and containers of strings out of the cyclic garbage
// collector's watch: nothing ever changes it, so it can never close a cycle, and a memo of
// thousands of entries would otherwise be walked on every collection. Copies made from it are
// watched as usual.
inline void untrack(nb::handle container) noexcept {
    PyObject_GC_UnTrack(container.ptr());
}

// Versions parsed by the module's Version: the specifier check and the version listing ask
// about the same releases over and over.
Memo& parsed_versions();

}  // namespace quenlet::repo_finder
