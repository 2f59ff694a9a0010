// _parse_requirement: a light splitter for "Requires-Dist" strings into name, version
// specifier, extras and markers. It validates nothing and keeps the name as written. And the
// extras that requirement strings name in their markers.
#include "host_interfaces/logger.h"
#include "repo_finder/class_methods.h"
#include "repo_finder/module.h"
#include "repo_finder/requirements.h"
#include "runtime/arguments.h"
#include "runtime/errors.h"
#include "runtime/module_state.h"
#include "runtime/text.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

namespace {

// The record's keys, interned once: a version's requirements are split on every query for it.
const rt::InternedName name_key{"name"};
const rt::InternedName version_spec_key{"version_spec"};
const rt::InternedName extras_key{"extras"};
const rt::InternedName markers_key{"markers"};

// The compiled patterns' match and search, made at module initialisation.
nb::handle match_requirement;    // ^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)
nb::handle search_marker_extra;  // extra\s*==\s*["']([^"']+)["']

nb::object parse_requirement(nb::handle, nb::handle req) {
    rt::require_str(req, "req");
    nb::list parts =
        nb::borrow<nb::list>(rt::steal_or_throw(PyUnicode_Split(req.ptr(), nb::str(";").ptr(), 1)));
    nb::object match = match_requirement(parts[0].attr("strip")());
    if (match.is_none()) {
        host::log_warning("Could not parse requirement: " + rt::utf8_text(req));
        return nb::none();
    }
    nb::object extras_text = match.attr("group")(2);
    nb::list extras;
    if (rt::truthy(extras_text)) {
        for (nb::handle piece : extras_text.attr("strip")("[]").attr("split")(",")) {
            extras.append(piece.attr("strip")());
        }
    }
    nb::dict record;
    record[name_key.get()] = match.attr("group")(1);
    record[version_spec_key.get()] = match.attr("group")(3).attr("strip")();
    record[extras_key.get()] = extras;
    record[markers_key.get()] =
        parts.size() > 1 ? nb::object(parts[1].attr("strip")()) : nb::str("");
    return record;
}

}  // namespace

nb::list parse_requirements(nb::handle self, nb::handle requirements) {
    // Asked once for the whole list: a version declares its requirements by the dozen.
    bool own = method::parse_requirement.is_own(self);
    nb::object parser = own ? nb::object() : method::parse_requirement.get(self);
    nb::list records;
    for (nb::handle requirement : requirements) {
        nb::object record = own ? parse_requirement(self, requirement) : parser(requirement);
        if (rt::truthy(record)) records.append(record);
    }
    return records;
}

nb::set marker_extras(nb::handle requirements) {
    nb::set extras;
    nb::str marker("extra ==");
    for (nb::handle requirement : requirements) {
        int contained = PySequence_Contains(requirement.ptr(), marker.ptr());
        if (contained < 0) rt::throw_pending();
        if (contained == 0) continue;
        nb::object match = search_marker_extra(requirement);
        if (!match.is_none()) extras.add(match.attr("group")(1));
    }
    return extras;
}

void bind_requirement_parsing(nb::handle cls) {
    nb::object compile = nb::module_::import_("re").attr("compile");
    match_requirement = rt::keep(compile(R"(^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*))").attr("match"));
    search_marker_extra = rt::keep(compile(R"(extra\s*==\s*["']([^"']+)["'])").attr("search"));
    method::parse_requirement.def(cls, &parse_requirement, nb::arg("req").none());
}

}  // namespace quenlet::repo_finder
