// What the per-index workers share on the JSON API path: one GET on the RepoFinder's shared
// session, and reading the documents an index sends.
#pragma once

#include "repo_finder/repo_finder.h"
#include "runtime/coroutine.h"
#include "runtime/function_ref.h"

namespace quenlet::repo_finder {

// Whether `value` is a str with at least one character: only such a pattern selects the API.
bool is_nonempty_str(nb::handle value);

// GET `api_url` on the session that self._get_session() gives, with a total time limit of 10
// seconds; `use` runs while the response is held as an async context, and its result is the
// result. Errors propagate.
rt::Task with_api_response(nb::object self, nb::object api_url,
                           rt::FunctionRef<rt::Task(nb::object response)> use);

// The document at `api_url`, passed to `use`, whose result is the result. Everything that keeps
// the index from answering is logged and gives `empty`: status 404 (debug, naming the index),
// another status than 200 (error, naming the API address), a time-out (error), and any other
// ordinary error, from the session to `use` itself (error, with its text).
rt::Task query_api_document(nb::object self, nb::object package_name, nb::object index_url,
                            nb::object api_url, nb::object empty,
                            rt::FunctionRef<nb::object(nb::handle document)> use);

// The "requires_dist" list of a version's document: its "info" object's member, or an empty
// list when either is absent or the member is null or otherwise false. A document that cannot
// be read that way raises ValueError saying why.
nb::object requires_dist_of(nb::handle document);

}  // namespace quenlet::repo_finder
