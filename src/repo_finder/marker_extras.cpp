// Which extras a version's requirements name in their markers. Written out by hand, it follows
// `"extra ==" in req` and then re.search(r"extra\s*==\s*['\"]([^'\"]+)['\"]", req) exactly.
#include "repo_finder/repo_finder.h"
#include "repo_finder/text.h"

namespace quenlet::repo_finder {

namespace {

bool matches_at(const Text& text, Py_ssize_t at, const char* literal) {
    for (; *literal != '\0'; ++at, ++literal) {
        if (at >= text.size() || text[at] != static_cast<Py_UCS4>(*literal)) return false;
    }
    return true;
}

bool contains(const Text& text, const char* literal) {
    for (Py_ssize_t at = 0; at < text.size(); ++at) {
        if (matches_at(text, at, literal)) return true;
    }
    return false;
}

bool is_quote(Py_UCS4 c) {
    return c == '"' || c == '\'';
}

// The first match's extra, or an empty object when there is none.
nb::object marker_extra(const Text& text) {
    for (Py_ssize_t at = 0; at < text.size(); ++at) {
        if (!matches_at(text, at, "extra")) continue;
        Py_ssize_t i = at + 5;
        while (i < text.size() && Py_UNICODE_ISSPACE(text[i])) ++i;
        if (!matches_at(text, i, "==")) continue;
        i += 2;
        while (i < text.size() && Py_UNICODE_ISSPACE(text[i])) ++i;
        if (i >= text.size() || !is_quote(text[i])) continue;
        Py_ssize_t start = ++i;
        while (i < text.size() && !is_quote(text[i])) ++i;
        if (i > start && i < text.size()) return text.slice(start, i);
    }
    return {};
}

}  // namespace

nb::set marker_extras(nb::handle requirements) {
    nb::set extras;
    for (nb::handle requirement : requirements) {
        if (!PyUnicode_Check(requirement.ptr())) {
            // What the substring test and then the search would raise.
            int contained = PySequence_Contains(requirement.ptr(), nb::str("extra ==").ptr());
            if (contained < 0) rt::throw_pending();
            if (contained == 0) continue;
            rt::throw_error(PyExc_TypeError, "expected string or bytes-like object, got '%s'",
                            Py_TYPE(requirement.ptr())->tp_name);
        }
        Text text(requirement);
        if (!contains(text, "extra ==")) continue;
        nb::object extra = marker_extra(text);
        if (extra.is_valid()) extras.add(extra);
    }
    return extras;
}

}  // namespace quenlet::repo_finder
