// The one aiohttp session that all index queries of a RepoFinder share, so that connections
// are reused. Created on first need, replaced once closed; close() leaves the closed session in
// place, and the next query opens a new one. A session serves the event loop it was opened on
// only: a finder used under one asyncio.run and then another, or from two loops, opens a session
// for each loop in turn.
#include "repo_finder/class_methods.h"
#include "repo_finder/finder_state.h"
#include "repo_finder/module_names.h"
#include "runtime/errors.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

namespace {

bool is_open(nb::handle session) {
    return !rt::truthy(session.attr("closed"));
}

// The running loop, or None outside one.
nb::object running_loop() {
    try {
        return global::asyncio.get().attr("get_running_loop")();
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_RuntimeError)) throw;
        return nb::none();
    }
}

// The loop the finder opened `session` on, as the finder's session_loop dict records it: under
// None the pair (session, weak reference to its loop), since aiohttp keeps a session's loop to
// itself. Invalid when the finder did not open `session` (a host may set its own) or keeps no
// record; None when that loop is gone.
nb::object loop_of(RepoFinder* state, nb::handle session) {
    if (state == nullptr) return {};
    nb::object record = rt::dict_item(state->session_loop, Py_None);
    if (!record.is_valid() || !nb::borrow(PyTuple_GET_ITEM(record.ptr(), 0)).is(session)) return {};
    return nb::borrow(PyTuple_GET_ITEM(record.ptr(), 1))();
}

void remember_loop(RepoFinder* state, nb::handle session, nb::handle loop) {
    if (state == nullptr) return;
    if (loop.is_none()) {
        PyDict_Clear(state->session_loop.ptr());
        return;
    }
    nb::object record =
        nb::make_tuple(session, rt::steal_or_throw(PyWeakref_NewRef(loop.ptr(), nullptr)));
    if (PyDict_SetItem(state->session_loop.ptr(), Py_None, record.ptr()) != 0) rt::throw_pending();
}

bool is_closed_loop(nb::handle loop) {
    return loop.is_none() || rt::truthy(loop.attr("is_closed")());
}

// The session of the running loop, made anew when there is none, it is closed, or it belongs to
// another loop. Never suspends between looking at _session and storing a new one, so coroutines
// on one loop all receive the same session. A session replaced because its loop has ended is
// handed over in `retired`: it can serve no one, and is to be released as far as it still can be.
// One whose loop still runs is left to the queries there that hold it.
nb::object session_of_this_loop(nb::handle self, nb::object& retired) {
    nb::object aiohttp = global::aiohttp.get();
    if (aiohttp.is_none()) {
        rt::throw_error(PyExc_RuntimeError, "aiohttp not installed, cannot query package indexes");
    }
    RepoFinder* state = state_of(self);
    nb::object session = nb::getattr(self, field::session.get());
    nb::object loop = running_loop();
    nb::object owner;  // the loop of a session replaced because it belongs to another
    if (!session.is_none() && is_open(session)) {
        owner = loop_of(state, session);
        if (!owner.is_valid() || owner.is(loop)) return session;
    }
    nb::object replaced = session;
    session = aiohttp.attr("ClientSession")();
    nb::setattr(self, field::session.get(), session);
    remember_loop(state, session, loop);
    if (owner.is_valid() && is_closed_loop(owner)) retired = std::move(replaced);
    return session;
}

// Closes `retired` as far as it can be closed, then gives `session`.
rt::Task retire(nb::object retired, nb::object session) {
    try {
        co_await rt::awaited(retired.attr("close")());
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
    }
    co_return session;
}

rt::Task get_session(nb::object self) {
    nb::object retired;
    nb::object session = session_of_this_loop(self, retired);
    if (retired.is_valid()) co_return co_await retire(std::move(retired), std::move(session));
    co_return session;
}

// session.close() of the finder's open session, or None when it has none open.
nb::object close_call(nb::handle self) {
    nb::object session = nb::getattr(self, field::session.get());
    if (rt::truthy(session) && is_open(session)) return session.attr("close")();
    return nb::none();
}

rt::Task close(nb::object self) {
    nb::object closing = close_call(self);
    if (!closing.is_none()) co_await rt::awaited(std::move(closing));
    co_return nb::none();
}

}  // namespace

rt::Task session_of(nb::handle self) {
    return method::get_session.start(self,
                                     [](nb::handle own) { return get_session(nb::borrow(own)); });
}

void bind_session(nb::handle cls) {
    method::get_session.def(cls, [](nb::handle self) {
        return get_session(nb::borrow(self)).into_python("RepoFinder._get_session");
    });
    def(cls, "close",
        [](nb::handle self) { return close(nb::borrow(self)).into_python("RepoFinder.close"); });
}

}  // namespace quenlet::repo_finder
