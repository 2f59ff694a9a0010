// The public package index. Its address is never written into this project: the installed pip
// records it, and that record is what a plain `pip install` uses too.
#pragma once

#include <string>

namespace quenlet::host {

struct PublicIndex {
    std::string root;     // e.g. "https://<host>", without a trailing slash; empty when unknown
    std::string unknown;  // a message saying why the root is unknown; empty when it is known
};

// Read on first need by the host layer (quenlet_master.config.public_index) from the source of
// pip's record of its default index: neither pip nor its packages are imported, since pip's
// package initialisation changes the host's logging. Never raises for a missing or unreadable
// record: a process without pip knows no public index, and its queries of it fail as queries do.
//
// Read once per module and kept in its state. No lock or static guard is held while the record is
// read (the read runs Python code, which lets other threads in): threads that ask at once may each
// read it, and the first answer stays.
PublicIndex public_index();

}  // namespace quenlet::host
