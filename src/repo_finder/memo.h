// Parsed values by their text, for one parser (SpecifierSet or Version). Parsing is pure, so a
// cached value answers exactly as a fresh parse would; the cache starts over when the module's
// parser is replaced, and when it grows past a bound that real use never reaches. For the event
// loop's thread only: the executor's threads parse without it.
#pragma once

#include "repo_finder/repo_finder.h"

namespace quenlet::repo_finder {

class ParseCache {
  public:
    // parser(text); what the parser raises is not cached.
    nb::object parse(nb::handle parser, nb::handle text) {
        if (!PyUnicode_CheckExact(text.ptr())) return parser(text);
        if (!parser.is(parser_) || PyDict_GET_SIZE(entries_.ptr()) >= max_entries) {
            parser_ = nb::borrow(parser);
            entries_ = nb::dict();
        }
        PyObject* cached = PyDict_GetItemWithError(entries_.ptr(), text.ptr());
        if (cached != nullptr) return nb::borrow(cached);
        if (PyErr_Occurred()) rt::throw_pending();
        nb::object parsed = parser(text);
        if (PyDict_SetItem(entries_.ptr(), text.ptr(), parsed.ptr()) != 0) rt::throw_pending();
        return parsed;
    }

  private:
    static constexpr Py_ssize_t max_entries = 4096;
    nb::object parser_;
    nb::object entries_;  // a dict once the first text is parsed
};

// Versions parsed by the module's Version: the specifier check and the version listing ask
// about the same releases over and over.
ParseCache& parsed_versions();

}  // namespace quenlet::repo_finder
