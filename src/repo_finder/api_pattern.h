// Filling in an index's JSON API pattern: an address with the markers "{package_name}" and
// "{version}". Plain text replacement, never formatting: other braces stay, and the values are
// not URL-encoded. Works on UTF-8 text (the markers are ASCII, so no character is split).
#pragma once

#include <string>
#include <string_view>

#include "runtime/python.h"

namespace quenlet::repo_finder {

// The address of the whole package's document (does it exist, which versions): every
// "{package_name}" replaced, then every "/{version}" deleted. A "{version}" that does not follow
// a "/" stays in the address.
std::string package_api_url(std::string_view pattern, std::string_view package_name);

// The address of one version's document: every "{package_name}" replaced, then every
// "{version}".
std::string version_api_url(std::string_view pattern, std::string_view package_name,
                            std::string_view version);

// The same for the str values the workers hold (all three must be str). Lone surrogates pass
// through unchanged, so the address is exactly what str.replace would make.
nb::object package_api_url(nb::handle pattern, nb::handle package_name);
nb::object version_api_url(nb::handle pattern, nb::handle package_name, nb::handle version);

}  // namespace quenlet::repo_finder
