// What the per-index workers are made of: the query they answer, the index's JSON API
// (index_api.cpp), the finder (finder.cpp), and the readers that index_workers.cpp's table names
// for the kinds that take more than a few lines to read their answer: versions
// (version_workers.cpp) and dependencies (dependency_workers.cpp).
#pragma once

#include "runtime/coroutine.h"
#include "runtime/function_ref.h"

namespace quenlet::repo_finder {

// One worker call: self.<worker>(package_name, [version,] index_url), every argument a str.
// A constructor rather than an aggregate: g++ 12 destroys twice the members of an aggregate that
// is built among the arguments of a co_await expression.
struct Query {
    Query(nb::handle self, nb::handle package_name, nb::handle version, nb::handle index_url)
        : self(nb::borrow(self)),
          package_name(nb::borrow(package_name)),
          version(nb::borrow(version)),
          index_url(nb::borrow(index_url)) {}

    nb::object self, package_name;
    nb::object version;  // invalid for the kinds that take none
    nb::object index_url;

    // What the messages name: the package, or "{package_name}=={version}".
    nb::object subject() const;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(self.ptr());
        Py_VISIT(package_name.ptr());
        Py_VISIT(version.ptr());
        Py_VISIT(index_url.ptr());
        return 0;
    }
};

// The index's JSON API. The address of the query's document: the pattern's every
// "{package_name}" replaced, then, for a query about one version, every "{version}"; for a query
// about the whole package, every "/{version}" deleted (a "{version}" that does not follow a "/"
// stays). Plain text replacement: other braces stay, and the values are not URL-encoded.
nb::object api_url(nb::handle pattern, const Query& query);

// GET `url` on the session that self._get_session() gives, with a total time limit of 10
// seconds; `use` runs while the response is held as an async context, and its result is the
// result. Errors propagate.
rt::Task with_api_response(nb::object self, nb::object url,
                           rt::FunctionRef<rt::Task(nb::object response)> use);

// What the document at `url` answers: `read(query, document)`, then, unless `answer` is null,
// `answer(query, read's result)`. Everything that keeps the index from answering is logged and
// gives `empty`: status 404 (debug, naming the index), another status than 200 (error, naming
// the API address), a time-out (error), and any other ordinary error, from the session to `read`
// itself (error, with its text). What `answer` raises propagates.
using DocumentReader = nb::object (*)(const Query& query, nb::handle document);
rt::Task query_api_document(Query query, nb::object url, nb::object empty, DocumentReader read,
                            DocumentReader answer);

// The "requires_dist" list of a version's document: its "info" object's member, or an empty
// list when either is absent or the member is null or otherwise false. A document that cannot
// be read that way raises ValueError saying why.
nb::object requires_dist_of(nb::handle document);

// The finder. Runs `work` with a new PackageFinder (the module's, as it is now) that knows only
// `index_url`, then releases the finder's connections, whatever `work` did.
nb::object with_finder(nb::handle index_url, rt::FunctionRef<nb::object(nb::handle finder)> work);

// "{package_name}=={version}", the finder's requirement for exactly one version.
nb::object exact_requirement(nb::handle package_name, nb::handle version);

// The "Requires-Dist" strings of the file that finder.find_best_match picks for exactly the
// query's version, read from that file's metadata; an empty list when there is no such file, it
// has no link, no metadata can be had for it (an sdist) or the metadata names none.
nb::object best_file_requirements(const Query& query, nb::handle finder);

// Versions: the "releases" of a document, and the finder's files, newest first.
nb::object versions_in_document(const Query& query, nb::handle document);
nb::object versions_in_finder(const Query& query, nb::handle finder);

// Dependencies: the document kept in _metadata_cache for the query (or an empty object); a
// fetched document checked and kept there; the records a document declares; and those of the
// file the finder picks.
nb::object kept_document(const Query& query);
nb::object keep_document(const Query& query, nb::handle document);
nb::object dependencies_in_document(const Query& query, nb::handle document);
nb::object dependencies_in_finder(const Query& query, nb::handle finder);

}  // namespace quenlet::repo_finder
