// The one aiohttp session that all index queries of a RepoFinder share, so that connections
// are reused. Created on first need, replaced only once closed; close() leaves the closed
// session in place, and the next query opens a new one.
#include "repo_finder/repo_finder.h"
#include "runtime/coroutine.h"

namespace quenlet::repo_finder {

namespace {

bool is_open(nb::handle session) {
    return !truthy(session.attr("closed"));
}

// Never suspends between looking at _session and storing a new one, so coroutines on one loop
// all receive the same session.
rt::Task get_session(nb::object self) {
    nb::object aiohttp = global::aiohttp().get();
    if (aiohttp.is_none()) {
        rt::throw_error(PyExc_RuntimeError, "aiohttp not installed, cannot query package indexes");
    }
    nb::object session = field::session.get(self);
    if (session.is_none() || !is_open(session)) {
        session = aiohttp.attr("ClientSession")();
        field::session.set(self, session);
    }
    co_return session;
}

rt::Task close(nb::object self) {
    nb::object session = field::session.get(self);
    if (truthy(session) && is_open(session)) co_await rt::awaited(session.attr("close")());
    co_return nb::none();
}

}  // namespace

rt::Task session_of(nb::handle self) {
    return method::get_session.start(self,
                                     [](nb::handle own) { return get_session(nb::borrow(own)); });
}

void bind_session(Class& cls) {
    cls.def("_get_session", [](nb::handle self) {
        return get_session(nb::borrow(self)).into_python("RepoFinder._get_session");
    });
    method::get_session.remember(cls);
    cls.def("close", [](nb::handle self) {
        return close(nb::borrow(self)).into_python("RepoFinder.close");
    });
}

}  // namespace quenlet::repo_finder
