// _parse_requirement: a light splitter for "Requires-Dist" strings into name, version
// specifier, extras and markers. It validates nothing and keeps the name as written. Written out
// by hand, it follows ^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*) on the part before the first ";"
// exactly, including that "." stops at a line break and that "[]" is no extras block.
#include "host_interfaces/logger.h"
#include "repo_finder/repo_finder.h"
#include "repo_finder/text.h"
#include "runtime/arguments.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

namespace {

bool is_name_char(Py_UCS4 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool is_bracket(Py_UCS4 c) {
    return c == '[' || c == ']';
}

// The names in an extras block text[open..close] (both brackets included): brackets removed
// from both ends, split at every ",", each piece stripped; empty pieces stay.
nb::list extras_in_block(const Text& text, Py_ssize_t open, Py_ssize_t close) {
    Py_ssize_t start = open, end = close + 1;
    while (start < end && is_bracket(text[start])) ++start;
    while (end > start && is_bracket(text[end - 1])) --end;
    nb::list extras;
    for (Py_ssize_t piece = start;;) {
        Py_ssize_t comma = text.find(',', piece, end);
        extras.append(text.slice(text.strip(piece, comma)));
        if (comma == end) break;
        piece = comma + 1;
    }
    return extras;
}

nb::object parse_requirement(nb::handle, nb::handle req) {
    rt::require_str(req, "req");
    Text text(req);
    Py_ssize_t semicolon = text.find(';', 0, text.size());
    auto [start, end] = text.strip(0, semicolon);

    Py_ssize_t name_end = start;
    while (name_end < end && is_name_char(text[name_end])) ++name_end;
    if (name_end == start) {
        host::log_warning("Could not parse requirement: " + rt::utf8_text(req));
        return nb::none();
    }

    // An extras block needs at least one character between its brackets.
    Py_ssize_t rest = name_end;
    nb::list extras;
    if (name_end < end && text[name_end] == '[') {
        Py_ssize_t close = text.find(']', name_end + 1, end);
        if (close < end && close > name_end + 1) {
            extras = extras_in_block(text, name_end, close);
            rest = close + 1;
        }
    }
    Py_ssize_t line_end = text.find('\n', rest, end);

    nb::dict requirement;
    requirement["name"] = text.slice(start, name_end);
    requirement["version_spec"] = text.slice(text.strip(rest, line_end));
    requirement["extras"] = extras;
    nb::object markers = nb::str("");
    if (semicolon < text.size()) markers = text.slice(text.strip(semicolon + 1, text.size()));
    requirement["markers"] = markers;
    return requirement;
}

}  // namespace

void bind_requirement_parsing(Class& cls) {
    cls.def("_parse_requirement", &parse_requirement, nb::arg("req").none());
    method::parse_requirement.remember(cls);
}

}  // namespace quenlet::repo_finder
