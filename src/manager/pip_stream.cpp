#include "manager/pip_stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <optional>
#include <string>

#include "host_interfaces/logger.h"
#include "manager/manager.h"
#include "manager/pip_output.h"
#include "runtime/async_generator.h"
#include "runtime/coroutine.h"
#include "runtime/errors.h"
#include "runtime/imports.h"
#include "runtime/text.h"

namespace quenlet::manager {

using namespace nb::literals;

namespace {

// How long pip's process group may take to end on SIGTERM before it is killed, and then to end
// after SIGKILL before it is given up on.
constexpr double termination_grace_seconds = 1.0;
constexpr double kill_grace_seconds = 1.0;
// How often the group is looked at while it ends: apart from pip its members are not our
// children, so nothing tells us when they go.
constexpr double group_poll_seconds = 0.01;

// Whether a process of `group` still runs. One that has ended but waits for its parent to
// collect it (init, for pip's orphaned children, may take seconds) is a zombie: it does nothing
// more. Reads only the process table, so it may run without the interpreter.
bool group_running(pid_t group) {
    if (::kill(-group, 0) < 0) return errno == EPERM;  // a member out of our reach still runs
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) return true;
    bool running = false;
    for (dirent* entry = nullptr; !running && (entry = ::readdir(processes)) != nullptr;) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::string path = std::string("/proc/") + entry->d_name + "/stat";
        int stat = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (stat < 0) continue;  // it ended while we looked
        char text[1024];
        ssize_t size = ::read(stat, text, sizeof text - 1);
        ::close(stat);
        if (size <= 0) continue;
        text[size] = '\0';
        // The command name, in parentheses, may hold anything: the fields follow its last ')'.
        const char* fields = std::strrchr(text, ')');
        char state = 0;
        int parent = 0;
        int process_group = 0;
        running = fields != nullptr &&
                  std::sscanf(fields + 1, " %c %d %d", &state, &parent, &process_group) == 3 &&
                  process_group == group && state != 'Z' && state != 'X';
    }
    ::closedir(processes);
    return running;
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
    int traverse(visitproc visit, void* arg) const noexcept {
        return rt::visit_owned(path_, visit, arg);
    }

  private:
    nb::object path_;
};

// The running pip child: its subprocess transport and our protocol on it. pip runs in a session,
// and so a process group, of its own, which it shares with what it starts (build back ends), so
// that a stop reaches them all. Whatever way the run ends, pip is reaped and the transport closed:
// normally by the generator, which waits for the exit on the event loop; failing that (the frame
// destroyed with no loop to run on), synchronously here. Either way the folder pip writes into
// outlives the group, and is kept if the group outlives SIGKILL.
class PipChild {
  public:
    // `started`: what the loop's subprocess_exec gave, (transport, protocol).
    PipChild(nb::object loop, nb::handle started, OwnedFolder& folder)
        : loop_(std::move(loop)), transport_(started[0]), protocol_(started[1]), folder_(folder) {
        pid_ = static_cast<pid_t>(nb::cast<long>(transport_.attr("get_pid")()));
    }
    PipChild(const PipChild&) = delete;
    PipChild& operator=(const PipChild&) = delete;
    ~PipChild();

    PipOutput& output() const { return pip_output(protocol_); }
    const nb::object& loop() const noexcept { return loop_; }
    bool loop_running() const { return nb::cast<bool>(loop_.attr("is_running")()); }
    bool closed() const noexcept { return closed_; }

    // Whether the event loop has collected pip's exit status.
    bool reaped() const { return !transport_.attr("get_returncode")().is_none(); }
    // Whether pip, or a process of its group, still runs. Until pip is reaped its pid, which is
    // the group's id, cannot be reused; after that the id stays reserved while a member lives.
    bool running() const { return !reaped() || group_running(pid_); }
    void signal(int number) const {
        if (running()) ::kill(-pid_, number);
    }

    // The group outlived SIGKILL (a member out of our reach, or stuck in the kernel): what still
    // runs may write into the folder, so it stays.
    void give_up() {
        folder_.keep();
        host::log_warning("Processes started by pip (process group " + std::to_string(pid_) +
                          ") still run after SIGKILL");
    }

    // After the exit: closes the transport and gives the return code.
    nb::object close() {
        closed_ = true;
        nb::object returncode = transport_.attr("get_returncode")();
        transport_.attr("close")();
        return returncode;
    }

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(loop_.ptr());
        Py_VISIT(transport_.ptr());
        Py_VISIT(protocol_.ptr());
        return 0;
    }

  private:
    nb::object loop_, transport_, protocol_;
    OwnedFolder& folder_;
    pid_t pid_ = 0;
    bool closed_ = false;
};

// Waits, without the interpreter, until no process of `group` runs or `seconds` have passed.
bool wait_for_group_end(pid_t group, double seconds) {
    nb::gil_scoped_release unlocked;
    timespec poll{0, static_cast<long>(group_poll_seconds * 1e9)};
    for (double waited = 0; group_running(group); waited += group_poll_seconds) {
        if (waited >= seconds) return false;
        ::nanosleep(&poll, nullptr);
    }
    return true;
}

PipChild::~PipChild() {
    if (closed_) return;
    bool loop_closed = true;
    try {
        loop_closed = nb::cast<bool>(loop_.attr("is_closed")());
        if (running()) {
            bool was_reaped = reaped();
            ::kill(-pid_, SIGKILL);
            nb::gil_scoped_release unlocked;
            if (!was_reaped) {
                // Waited for (not reaped) so that it writes nothing more into its folder; a
                // closed loop's child watcher will never reap it, so then we do.
                siginfo_t info;
                while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 &&
                       errno == EINTR) {
                }
                if (loop_closed) {
                    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
                    }
                }
            }
        }
        if (!wait_for_group_end(pid_, kill_grace_seconds)) give_up();
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

nb::object start_pip(nb::handle loop, const PipRun& run) {
    nb::object pipe = rt::asyncio_module().attr("subprocess").attr("PIPE");
    // A session of its own, not only a group: a group of the host's session that read from the
    // host's terminal (pip asking for a password) would be stopped by the terminal's job control.
    return loop.attr("subprocess_exec")(pip_output_type(), *run.command, "stdin"_a = nb::none(),
                                        "stdout"_a = pipe, "stderr"_a = pipe, "env"_a = run.env,
                                        "start_new_session"_a = true);
}

// Waits until pip's run has news (output, a pipe's end, its exit) or `seconds` have passed. A
// cancellation is kept in `cancelled` rather than raised: it must not cut a stop short.
rt::Task pause(PipOutput* output, nb::object loop, double seconds, std::exception_ptr* cancelled) {
    nb::object news = output->next_event(loop);
    if (seconds >= 0) news = rt::asyncio_module().attr("wait_for")(news, seconds);
    try {
        co_await rt::awaited(std::move(news));
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_TimeoutError)) {
            if (rt::is_ordinary(error)) throw;
            if (!*cancelled) *cancelled = std::current_exception();
        }
    }
    co_return nb::none();
}

// Stops pip's process group: SIGTERM, SIGKILL once the grace period is over, then waits until
// the event loop has reaped pip and the rest of the group has ended, and closes the transport.
// A cancellation that arrives meanwhile only hurries the kill: it is raised once the group is
// gone. `child` lives in the awaiting frame.
rt::Task stop_child(PipChild* child) {
    PipOutput& output = child->output();
    const nb::object& loop = child->loop();
    rt::Kept<std::exception_ptr> cancelled(co_await rt::this_frame());
    auto now = [&loop] { return nb::cast<double>(loop.attr("time")()); };
    child->signal(SIGTERM);
    for (double deadline = now() + termination_grace_seconds; !*cancelled && child->running();) {
        double left = deadline - now();
        if (left <= 0) break;
        co_await pause(&output, loop, std::min(left, group_poll_seconds), &*cancelled);
    }
    child->signal(SIGKILL);
    while (!output.exited()) {
        child->signal(SIGKILL);
        co_await pause(&output, loop, -1, &*cancelled);
    }
    for (double deadline = now() + kill_grace_seconds; child->running();) {
        double left = deadline - now();
        if (left <= 0) {
            child->give_up();
            break;
        }
        co_await pause(&output, loop, std::min(left, group_poll_seconds), &*cancelled);
    }
    child->close();
    if (*cancelled) std::rethrow_exception(*cancelled);
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

}  // namespace

rt::AsyncGenerator stream_install(Planner planner, nb::object self, nb::object arguments) {
    rt::FramePromise& frame = co_await rt::this_frame();
    rt::Kept<InstallPlan> plan(frame, planner(self, arguments));
    if (!plan->answer.empty()) {
        for (nb::object& item : plan->answer) co_yield std::move(item);
        co_return;
    }
    const PipRun& run = plan->run;
    rt::Kept<OwnedFolder> folder(frame, run.owns_target_dir ? run.target_dir : nb::object());
    // Declared after the folder so that it is destroyed first: the folder goes once the
    // child can no longer write into it.
    rt::Kept<std::optional<PipChild>> child(frame);
    rt::Kept<std::exception_ptr> failure(frame);
    try {
        rt::Kept<nb::object> loop(frame, rt::event_loop());
        child->emplace(*loop, co_await rt::awaited(start_pip(*loop, run)), *folder);
        PipOutput& output = (*child)->output();
        for (;;) {
            nb::object item = output.take_item();
            if (item.is_valid()) {
                co_yield std::move(item);
                continue;
            }
            if (output.output_ended()) break;
            co_await rt::awaited(output.next_event(*loop));
        }
        output.raise_pipe_error();
        while (!output.exited()) co_await rt::awaited(output.next_event(*loop));
        rt::Kept<nb::object> returncode(frame, (*child)->close());
        folder->keep();
        if (returncode->equal(nb::int_(0))) {
            if (run.record) run.record->add(run.target_dir);
            co_yield output_item("success", run.success_message);
            co_yield output_item("path", run.target_dir);
        } else {
            co_yield output_item(
                "error", nb::str("pip install failed with return code {}").format(*returncode));
        }
        co_return;
    } catch (...) {
        *failure = std::current_exception();
    }
    rt::Kept<nb::object> error(frame, rt::exception_object(*failure));
    // Cancellation and GeneratorExit mean the consumer has gone: no item, the child goes too.
    bool consumer_left = !PyErr_GivenExceptionMatches(error->ptr(), PyExc_Exception);
    rt::Kept<nb::object> item(frame);
    if (!consumer_left) {
        folder->keep();
        *item = failure_item(*error, run);
    }
    if (*child && !(*child)->closed()) {
        // Stopped at once when the stream cannot wait: closed by a close() that refuses any
        // await (a consumer closed while it waited for an item), or with no loop left to wait on.
        if (!frame.closing && (*child)->loop_running()) {
            co_await stop_child(&**child);
        } else {
            child->reset();
        }
    }
    if (consumer_left) std::rethrow_exception(*failure);
    co_yield std::move(*item);
}

nb::object output_item(const char* output_type, nb::handle content) {
    return nb::make_tuple(nb::str(output_type), content);
}

int PipRun::traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(command.ptr());
    Py_VISIT(env.ptr());
    Py_VISIT(target_dir.ptr());
    Py_VISIT(package_spec.ptr());
    Py_VISIT(success_message.ptr());
    return rt::visit_owned(record, visit, arg);
}

int InstallPlan::traverse(visitproc visit, void* arg) const noexcept {
    if (int status = rt::visit_owned(answer, visit, arg)) return status;
    return run.traverse(visit, arg);
}

}  // namespace quenlet::manager
