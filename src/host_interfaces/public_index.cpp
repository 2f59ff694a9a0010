#include "host_interfaces/public_index.h"

#include <atomic>

#include "runtime/python.h"

namespace quenlet::host {

namespace {
// Published once made. No guard is held while it is made: the import runs Python code, which
// may let another thread in, and that thread would then wait on the guard for ever. Two
// threads that both find it missing both make it; the first to publish wins.
std::atomic<const std::string*> published{nullptr};
}  // namespace

const std::string& public_index_root() {
    if (const std::string* root = published.load(std::memory_order_acquire)) return *root;
    nb::object record = nb::module_::import_("pip._internal.models.index").attr("PyPI");
    std::string url = nb::cast<std::string>(record.attr("url"));
    while (!url.empty() && url.back() == '/') url.pop_back();
    auto* made = new std::string(std::move(url));  // kept for the life of the process
    const std::string* kept = nullptr;
    if (published.compare_exchange_strong(kept, made, std::memory_order_acq_rel)) return *made;
    delete made;
    return *kept;
}

}  // namespace quenlet::host
