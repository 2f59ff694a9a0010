#include "repo_finder/finder.h"

namespace quenlet::repo_finder {

using namespace nb::literals;

namespace {

// unearth gives each finder an HTTP client of its own and registers the client's close() to run
// at exit; the registration keeps the client, and its open connections, alive until then. A
// finder serves one query here, so without this every finder query would leave a connection
// open for the life of the process. Closing is clean-up: its failure is no failure of the query.
void release_connections(nb::handle finder) {
    try {
        nb::object session = nb::getattr(finder, "session", nb::none());
        nb::object close = nb::getattr(session, "close", nb::none());
        if (close.is_none()) return;
        close();
        nb::module_::import_("atexit").attr("unregister")(close);
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
    }
}

}  // namespace

nb::object with_finder(nb::handle index_url, const std::function<nb::object(nb::handle)>& work) {
    nb::list index_urls;
    index_urls.append(index_url);
    nb::object finder = global::package_finder().get()("index_urls"_a = index_urls);
    nb::object result;
    try {
        result = work(finder);
    } catch (...) {
        release_connections(finder);
        throw;
    }
    release_connections(finder);
    return result;
}

nb::object exact_requirement(nb::handle package_name, nb::handle version) {
    nb::object with_operator =
        rt::steal_or_throw(PyUnicode_Concat(package_name.ptr(), nb::str("==").ptr()));
    return rt::steal_or_throw(PyUnicode_Concat(with_operator.ptr(), version.ptr()));
}

}  // namespace quenlet::repo_finder
