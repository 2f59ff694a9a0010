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

// The record's keys, interned once: a version's requirements are split on every query for it.
Interned name_key{"name"};
Interned version_spec_key{"version_spec"};
Interned extras_key{"extras"};
Interned markers_key{"markers"};

void set_item(nb::dict& record, const Interned& key, nb::handle value) {
    if (PyDict_SetItem(record.ptr(), key.get().ptr(), value.ptr()) != 0) rt::throw_pending();
}

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

    nb::object markers = nb::str("");
    if (semicolon < text.size()) markers = text.slice(text.strip(semicolon + 1, text.size()));
    nb::dict requirement;
    set_item(requirement, name_key, text.slice(start, name_end));
    set_item(requirement, version_spec_key, text.slice(text.strip(rest, line_end)));
    set_item(requirement, extras_key, extras);
    set_item(requirement, markers_key, markers);
    return requirement;
}

}  // namespace

nb::list parse_requirements(nb::handle self, nb::handle requirements) {
    // Asked once for the whole list: a version declares its requirements by the dozen.
    bool own = method::parse_requirement.is_own(self);
    nb::object parser = own ? nb::object() : method::parse_requirement.get(self);
    nb::list records;
    for (nb::handle requirement : requirements) {
        nb::object record = own ? parse_requirement(self, requirement) : parser(requirement);
        if (truthy(record)) records.append(record);
    }
    return records;
}

void bind_requirement_parsing(Class& cls) {
    cls.def("_parse_requirement", &parse_requirement, nb::arg("req").none());
    method::parse_requirement.remember(cls);
}

}  // namespace quenlet::repo_finder
