#include "manager/pip_stream.h"

#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <optional>

#include "host_interfaces/logger.h"
#include "manager/manager.h"
#include "manager/pip_output.h"
#include "runtime/async_generator.h"
#include "runtime/coroutine.h"
#include "runtime/errors.h"
#include "runtime/imports.h"
#include "runtime/text.h"

namespace quenlet::manager {

namespace {

// How long pip may take to exit on SIGTERM before it is killed.
constexpr double termination_grace_seconds = 1.0;

// The running pip child: its subprocess transport and our protocol on it. Whatever way the
// run ends, the child is reaped and the transport closed: normally by the generator, which
// waits for the exit on the event loop; failing that (the frame destroyed with no loop to run
// on), synchronously here.
class PipChild {
  public:
    PipChild(nb::object loop, nb::object transport, nb::object protocol)
        : loop_(std::move(loop)), transport_(std::move(transport)), protocol_(std::move(protocol)) {
        pid_ = static_cast<pid_t>(nb::cast<long>(transport_.attr("get_pid")()));
    }
    PipChild(const PipChild&) = delete;
    PipChild& operator=(const PipChild&) = delete;
    ~PipChild();

    PipOutput& output() const { return pip_output(protocol_); }
    const nb::object& loop() const noexcept { return loop_; }
    bool closed() const noexcept { return closed_; }

    // Signals the child unless the event loop has already reaped it (its pid may be reused).
    void signal(int number) const {
        if (transport_.attr("get_returncode")().is_none()) ::kill(pid_, number);
    }

    // After the exit: closes the transport and gives the return code.
    nb::object close() {
        closed_ = true;
        nb::object returncode = transport_.attr("get_returncode")();
        transport_.attr("close")();
        return returncode;
    }

  private:
    nb::object loop_, transport_, protocol_;
    pid_t pid_ = 0;
    bool closed_ = false;
};

PipChild::~PipChild() {
    if (closed_) return;
    bool loop_closed = true;
    try {
        loop_closed = nb::cast<bool>(loop_.attr("is_closed")());
        if (transport_.attr("get_returncode")().is_none()) {
            ::kill(pid_, SIGKILL);
            // Waited for (not reaped) so that it writes nothing more into its folder; a closed
            // loop's child watcher will never reap it, so then we do.
            siginfo_t info;
            while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 &&
                   errno == EINTR) {
            }
            if (loop_closed) {
                while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
                }
            }
        }
        close();
    } catch (nb::python_error& error) {
        // A closed loop cannot take the pipes' close any more; their own finalizers release them.
        if (loop_closed) {
            error.restore();
            PyErr_Clear();
        } else {
            error.discard_as_unraisable("closing an abandoned pip run");
        }
    }
}

// A fresh cache folder that nothing has recorded yet: removed with the run unless kept.
class OwnedFolder {
  public:
    explicit OwnedFolder(nb::object path) : path_(std::move(path)) {}
    OwnedFolder(const OwnedFolder&) = delete;
    OwnedFolder& operator=(const OwnedFolder&) = delete;
    ~OwnedFolder() {
        if (!path_.is_valid()) return;
        try {
            nb::module_::import_("shutil").attr("rmtree")(path_, nb::arg("ignore_errors") = true);
        } catch (nb::python_error& error) {
            error.discard_as_unraisable("removing an abandoned install folder");
        }
    }
    void keep() noexcept { path_.reset(); }

  private:
    nb::object path_;
};

nb::object start_pip(nb::handle loop, const PipRun& run) {
    nb::object program_and_arguments = rt::steal_or_throw(PySequence_Tuple(run.command.ptr()));
    nb::object arguments = rt::steal_or_throw(
        PySequence_Concat(nb::make_tuple(pip_output_type()).ptr(), program_and_arguments.ptr()));
    nb::object pipe = rt::asyncio_module().attr("subprocess").attr("PIPE");
    nb::dict options;
    options["stdin"] = nb::none();
    options["stdout"] = pipe;
    options["stderr"] = pipe;
    options["env"] = run.env;
    return rt::steal_or_throw(
        PyObject_Call(loop.attr("subprocess_exec").ptr(), arguments.ptr(), options.ptr()));
}

// Terminates the child, kills it if it outlives the grace period, waits until the event loop
// has reaped it and closes the transport. A cancellation that arrives meanwhile only hurries
// the kill: it is raised once the child is gone. `child` lives in the awaiting frame.
rt::Task stop_child(PipChild* child) {
    PipOutput& output = child->output();
    nb::object loop = child->loop();
    std::exception_ptr cancelled;
    if (!output.exited()) {
        child->signal(SIGTERM);
        nb::object wait_for = rt::asyncio_module().attr("wait_for");
        double deadline = nb::cast<double>(loop.attr("time")()) + termination_grace_seconds;
        while (!output.exited() && !cancelled) {
            double left = deadline - nb::cast<double>(loop.attr("time")());
            if (left <= 0) break;
            bool timed_out = false;
            try {
                co_await rt::awaited(wait_for(output.next_event(loop), left));
            } catch (nb::python_error& error) {
                if (error.matches(PyExc_TimeoutError)) {
                    timed_out = true;
                } else if (rt::is_ordinary(error)) {
                    throw;
                } else {
                    cancelled = std::current_exception();
                }
            }
            if (timed_out) break;
        }
    }
    while (!output.exited()) {
        child->signal(SIGKILL);
        try {
            co_await rt::awaited(output.next_event(loop));
        } catch (nb::python_error& error) {
            if (rt::is_ordinary(error)) throw;
            if (!cancelled) cancelled = std::current_exception();
        }
    }
    child->close();
    if (cancelled) std::rethrow_exception(cancelled);
    co_return nb::none();
}

nb::object failure_item(nb::handle error, const PipRun& run) {
    if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_FileNotFoundError)) {
        return output_item("error", nb::str("Python executable not found"));
    }
    if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_PermissionError)) {
        return output_item(
            "error", nb::str("Permission denied when installing to {}").format(run.target_dir));
    }
    nb::str text = nb::str(error);
    host::log_error("Failed to install package " + rt::utf8_text(run.package_spec) + ": " +
                    rt::utf8_text(text));
    return output_item("error", nb::str("Installation failed: {}").format(text));
}

rt::AsyncGenerator run_install(std::function<InstallPlan()> plan_install) {
    InstallPlan plan = plan_install();
    if (!plan.answer.empty()) {
        for (nb::object& item : plan.answer) co_yield std::move(item);
        co_return;
    }
    PipRun run = std::move(plan.run);
    nb::object owned;
    if (run.owns_target_dir) owned = run.target_dir;
    OwnedFolder folder(std::move(owned));
    // Declared after the folder so that it is destroyed first: the folder goes once the
    // child can no longer write into it.
    std::optional<PipChild> child;
    std::exception_ptr failure;
    try {
        nb::object loop = rt::event_loop();
        nb::object started = co_await rt::awaited(start_pip(loop, run));
        child.emplace(loop, started[0], started[1]);
        PipOutput& output = child->output();
        for (;;) {
            nb::object item = output.take_item();
            if (item.is_valid()) {
                co_yield std::move(item);
                continue;
            }
            if (output.output_ended()) break;
            co_await rt::awaited(output.next_event(loop));
        }
        output.raise_pipe_error();
        while (!output.exited()) co_await rt::awaited(output.next_event(loop));
        nb::object returncode = child->close();
        folder.keep();
        if (returncode.equal(nb::int_(0))) {
            if (run.record) run.record();
            co_yield output_item("success", run.success_message);
            co_yield output_item("path", run.target_dir);
        } else {
            co_yield output_item(
                "error", nb::str("pip install failed with return code {}").format(returncode));
        }
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    nb::object error = rt::exception_object(failure);
    // Cancellation and GeneratorExit mean the consumer has gone: no item, the child goes too.
    bool consumer_left = !PyErr_GivenExceptionMatches(error.ptr(), PyExc_Exception);
    nb::object item;
    if (!consumer_left) {
        folder.keep();
        item = failure_item(error, run);
    }
    if (child && !child->closed()) co_await stop_child(&*child);
    if (consumer_left) std::rethrow_exception(failure);
    co_yield std::move(item);
}

}  // namespace

nb::object output_item(const char* output_type, nb::handle content) {
    return nb::make_tuple(nb::str(output_type), content);
}

nb::object stream_install(std::function<InstallPlan()> plan, const char* qualname) {
    return run_install(std::move(plan)).into_python(qualname);
}

}  // namespace quenlet::manager
