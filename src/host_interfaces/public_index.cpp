#include "host_interfaces/public_index.h"

#include "runtime/python.h"

namespace quenlet::host {

const std::string& public_index_root() {
    static const std::string root = [] {
        nb::object record = nb::module_::import_("pip._internal.models.index").attr("PyPI");
        std::string url = nb::cast<std::string>(record.attr("url"));
        while (!url.empty() && url.back() == '/') url.pop_back();
        return url;
    }();
    return root;
}

}  // namespace quenlet::host
