// check_specifier_in_dist: whether the running interpreter already satisfies a requirement.
// The host asks before every install, so once the table is built this is a hot path: an
// entry's metadata is read once while its table stands, and parsed specifier sets and versions
// are kept by their text.
#include "host_interfaces/logger.h"
#include "repo_finder/distribution_facts.h"
#include "repo_finder/repo_finder.h"
#include "repo_finder/text.h"
#include "runtime/arguments.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

namespace {

Interned requires_dist_key{"Requires-Dist"};
Member get{"get"};
Member get_all{"get_all"};
Member lower{"lower"};

// Parsed values by their text, for one parser (SpecifierSet or Version). Parsing is pure, so a
// cached value answers exactly as a fresh parse would; the cache starts over when the module's
// parser is replaced, and when it grows past a bound that real use never reaches.
class ParseCache {
  public:
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

// Kept for the life of the process (their Python references must not be released at exit).
ParseCache& specifier_sets = *new ParseCache;
ParseCache& versions = *new ParseCache;

bool is_blank(nb::handle text) {
    Text view(text);
    auto [start, end] = view.strip(0, view.size());
    return start == end;
}

// Whether `installed` is a member of the specifier set `version_spec`. Unparsable text on
// either side counts as not satisfied.
bool satisfies(nb::handle package_name, nb::handle version_spec, nb::handle installed) {
    try {
        nb::object specifiers = specifier_sets.parse(global::specifier_set().get(), version_spec);
        nb::object version = versions.parse(global::version().get(), installed);
        int contained = PySequence_Contains(specifiers.ptr(), version.ptr());
        if (contained < 0) rt::throw_pending();
        return contained == 1;
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        host::log_debug("Error checking version spec for " + rt::utf8_text(package_name) + ": " +
                        rt::error_text(error));
        return false;
    }
}

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

// The extra a requirement's marker compares with, found as the first match of
// extra\s*==\s*["']([^"']+)["'] in it; an empty object when there is none.
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

// The extras that the distribution's requirements are conditional on, lower-cased. Only a
// marker written "extra ==" (with the blank) counts.
nb::set offered_extras(nb::handle distribution_metadata) {
    nb::set offered;
    nb::object requirements = get_all.call(distribution_metadata, requires_dist_key.get());
    if (!truthy(requirements)) return offered;
    for (nb::handle requirement : requirements) {
        if (!PyUnicode_Check(requirement.ptr())) {
            // What `"extra ==" in requirement` and then a regular-expression search would raise.
            int contained = PySequence_Contains(requirement.ptr(), nb::str("extra ==").ptr());
            if (contained < 0) rt::throw_pending();
            if (contained == 0) continue;
            PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%s'",
                         Py_TYPE(requirement.ptr())->tp_name);
            rt::throw_pending();
        }
        Text text(requirement);
        if (!contains(text, "extra ==")) continue;
        nb::object extra = marker_extra(text);
        if (extra.is_valid()) offered.add(lower.call(extra));
    }
    return offered;
}

nb::object find_distribution(nb::handle table, nb::handle key) {
    if (!PyDict_Check(table.ptr())) return get.call(table, key);
    PyObject* found = PyDict_GetItemWithError(table.ptr(), key.ptr());
    if (found == nullptr && PyErr_Occurred()) rt::throw_pending();
    return nb::borrow(found == nullptr ? Py_None : found);
}

nb::object check_specifier_in_dist(nb::handle self, nb::handle package_name,
                                   nb::handle version_spec, nb::handle extras) {
    rt::require_str(package_name, "package_name");
    rt::require_str(version_spec, "version_spec");
    rt::require_str_list_or_none(extras, "extras");
    if (!truthy(global::packaging_available().get())) {
        host::log_debug("packaging library not available, cannot check distributions");
        return nb::none();
    }
    nb::object table = method::get_current_distributions.call(self);
    nb::object distribution =
        find_distribution(table, method::normalize_name.call(self, package_name));
    if (distribution.is_none()) return nb::none();

    DistributionFacts facts = distribution_facts(table, distribution);
    if (!truthy(facts.version)) return nb::none();
    if (!is_blank(version_spec) && !satisfies(package_name, version_spec, facts.version)) {
        return nb::none();
    }
    if (!extras.is_none() && PyList_GET_SIZE(extras.ptr()) > 0) {
        nb::object offered = facts.offered_extras;
        if (!offered.is_valid()) {
            offered = offered_extras(facts.metadata);
            remember_offered_extras(table, distribution, offered);
        }
        for (nb::handle extra : nb::borrow<nb::list>(extras)) {
            int contained = PySet_Contains(offered.ptr(), lower.call(extra).ptr());
            if (contained < 0) rt::throw_pending();
            if (contained == 0) return nb::none();
        }
    }
    return facts.version;
}

}  // namespace

void bind_specifier_check(Class& cls) {
    cls.def("check_specifier_in_dist", &check_specifier_in_dist, nb::arg("package_name").none(),
            nb::arg("version_spec").none(), nb::arg("extras").none() = nb::none());
}

}  // namespace quenlet::repo_finder
