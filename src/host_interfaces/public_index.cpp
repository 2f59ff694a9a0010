#include "host_interfaces/public_index.h"

#include "runtime/errors.h"
#include "runtime/kept_once.h"
#include "runtime/text.h"

namespace quenlet::host {

namespace {

// (root, why): the root without its trailing slash and "", or "" and why it is unknown.
nb::object read_record() {
    try {
        nb::object read =
            nb::module_::import_("quenlet_master.config.public_index").attr("base_url");
        std::string root = rt::utf8_text(read());
        while (!root.empty() && root.back() == '/') root.pop_back();
        return nb::make_tuple(nb::str(root.data(), root.size()), nb::str(""));
    } catch (nb::python_error& error) {
        // No pip, no record of it, an unreadable file: no public index either way.
        if (!rt::is_ordinary(error)) throw;
        std::string why = "the public package index is unknown: " + rt::error_text(error);
        return nb::make_tuple(nb::str(""), nb::str(why.data(), why.size()));
    }
}

const rt::KeptOnce record;

}  // namespace

PublicIndex public_index() {
    nb::handle known = record.get(&read_record);
    return {rt::utf8_text(PyTuple_GET_ITEM(known.ptr(), 0)),
            rt::utf8_text(PyTuple_GET_ITEM(known.ptr(), 1))};
}

}  // namespace quenlet::host
