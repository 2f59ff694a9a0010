#include "host_interfaces/public_index.h"

#include <atomic>

#include "runtime/errors.h"
#include "runtime/python.h"
#include "runtime/text.h"

namespace quenlet::host {

namespace {

PublicIndex read_record() {
    try {
        nb::object read =
            nb::module_::import_("quenlet_master.config.public_index").attr("base_url");
        std::string root = rt::utf8_text(read());
        while (!root.empty() && root.back() == '/') root.pop_back();
        return {root, {}};
    } catch (nb::python_error& error) {
        // No pip, no record of it, an unreadable file: no public index either way.
        if (!rt::is_ordinary(error)) throw;
        return {{}, "the public package index is unknown: " + rt::error_text(error)};
    }
}

// Published once and kept for the life of the process; it holds no Python object.
std::atomic<const PublicIndex*> published{nullptr};

}  // namespace

const PublicIndex& public_index() {
    if (const PublicIndex* known = published.load(std::memory_order_acquire)) return *known;
    const PublicIndex* read = new PublicIndex(read_record());
    const PublicIndex* first = nullptr;
    if (published.compare_exchange_strong(first, read, std::memory_order_acq_rel)) return *read;
    delete read;
    return *first;
}

std::string public_index_root() {
    const PublicIndex& index = public_index();
    if (index.root.empty()) rt::throw_error(PyExc_RuntimeError, "%s", index.unknown.c_str());
    return index.root;
}

}  // namespace quenlet::host
