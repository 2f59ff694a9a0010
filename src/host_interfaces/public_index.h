// The public package index. Its address is never written into this project: the installed pip
// records it, and that record is what a plain `pip install` uses too.
#pragma once

#include <string>

namespace quenlet::host {

// The index's root address without a trailing slash, e.g. "https://<host>". Looked up once, on
// first use (importing pip's internals costs tens of milliseconds).
const std::string& public_index_root();

}  // namespace quenlet::host
