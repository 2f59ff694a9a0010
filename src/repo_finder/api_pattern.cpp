#include "repo_finder/api_pattern.h"

#include "runtime/errors.h"

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

// "surrogatepass" keeps a lone surrogate as its three-byte form, which the way back restores;
// the markers cannot match inside it.
std::string encoded(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
        return std::string(data, static_cast<size_t>(size));
    }
    PyErr_Clear();
    nb::object bytes =
        rt::steal_or_throw(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::object decoded(const std::string& text) {
    return rt::steal_or_throw(PyUnicode_DecodeUTF8(text.data(), std::ssize(text), "surrogatepass"));
}

}  // namespace

std::string package_api_url(std::string_view pattern, std::string_view package_name) {
    return replace_all(replace_all(pattern, "{package_name}", package_name), "/{version}", "");
}

std::string version_api_url(std::string_view pattern, std::string_view package_name,
                            std::string_view version) {
    return replace_all(replace_all(pattern, "{package_name}", package_name), "{version}", version);
}

nb::object package_api_url(nb::handle pattern, nb::handle package_name) {
    return decoded(package_api_url(encoded(pattern), encoded(package_name)));
}

nb::object version_api_url(nb::handle pattern, nb::handle package_name, nb::handle version) {
    return decoded(version_api_url(encoded(pattern), encoded(package_name), encoded(version)));
}

}  // namespace quenlet::repo_finder
