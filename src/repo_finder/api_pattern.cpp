#include "repo_finder/api_pattern.h"

namespace quenlet::repo_finder {

namespace {

// Every occurrence of `marker`, scanning left to right without overlaps (as str.replace does):
// text produced by a replacement is never scanned again.
std::string replace_all(std::string_view text, std::string_view marker, std::string_view value) {
    std::string out;
    out.reserve(text.size());
    size_t start = 0;
    for (size_t found; (found = text.find(marker, start)) != std::string_view::npos;) {
        out.append(text, start, found - start).append(value);
        start = found + marker.size();
    }
    return out.append(text, start);
}

}  // namespace

std::string package_api_url(std::string_view pattern, std::string_view package_name) {
    return replace_all(replace_all(pattern, "{package_name}", package_name), "/{version}", "");
}

std::string version_api_url(std::string_view pattern, std::string_view package_name,
                            std::string_view version) {
    return replace_all(replace_all(pattern, "{package_name}", package_name), "{version}", version);
}

}  // namespace quenlet::repo_finder
