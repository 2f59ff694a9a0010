// check_specifier_in_dist: whether the running interpreter already satisfies a requirement.
// The host asks before every install, so once the table is built this is a hot path: an
// entry's metadata is read once while its table stands.
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

bool is_blank(nb::handle text) {
    Text view(text);
    auto [start, end] = view.strip(0, view.size());
    return start == end;
}

// Whether `installed` is a member of the specifier set `version_spec`. Unparsable text on
// either side counts as not satisfied. An installed pre-release satisfies only a set that
// mentions a pre-release: said explicitly, because what contains() assumes when it is not told
// changed with packaging 26.
bool satisfies(nb::handle package_name, nb::handle version_spec, nb::handle installed) {
    try {
        nb::object specifiers = global::specifier_set().get()(version_spec);
        nb::object version = global::version().get()(installed);
        bool mentions_pre_release = truthy(specifiers.attr("prereleases"));
        return truthy(specifiers.attr("contains")(
            version, nb::arg("prereleases") = nb::bool_(mentions_pre_release)));
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
        host::log_debug("Error checking version spec for " + rt::utf8_text(package_name) + ": " +
                        rt::error_text(error));
        return false;
    }
}

// The extras that the distribution's requirements are conditional on, lower-cased.
nb::set offered_extras(nb::handle distribution_metadata) {
    nb::set offered;
    nb::object requirements = get_all.call(distribution_metadata, requires_dist_key.get());
    if (!truthy(requirements)) return offered;
    for (nb::handle extra : marker_extras(requirements)) offered.add(lower.call(extra));
    return offered;
}

nb::object find_distribution(nb::handle table, nb::handle key) {
    if (!PyDict_Check(table.ptr())) return get.call(table, key);
    nb::object found = rt::dict_item(table, key);
    if (found.is_valid()) return found;
    return nb::none();
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

    RepoFinder* state = state_of(self);
    DistributionFacts facts = distribution_facts(state, table, distribution);
    if (!truthy(facts.version)) return nb::none();
    if (!is_blank(version_spec) && !satisfies(package_name, version_spec, facts.version)) {
        return nb::none();
    }
    if (!extras.is_none() && PyList_GET_SIZE(extras.ptr()) > 0) {
        if (!facts.offered_extras.is_valid()) {
            facts.offered_extras = offered_extras(facts.metadata);
            remember_offered_extras(state, table, distribution, facts);
        }
        for (nb::handle extra : nb::borrow<nb::list>(extras)) {
            int contained = PySet_Contains(facts.offered_extras.ptr(), lower.call(extra).ptr());
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
