// The subprocess protocol that collects pip's output: asyncio hands it the raw chunks of both
// pipes in arrival order, and it turns them into ("stdout"|"stderr", line) items on one queue.
// Each line is what StreamReader.readline() would return, decoded as UTF-8 with replacement
// characters and stripped of trailing whitespace like str.rstrip(). A line longer than 1 MiB is
// passed on in pieces of at most 1 MiB, each an item of its own, cut between characters; only
// its last piece is stripped.
#pragma once

#include <deque>
#include <string>

#include "runtime/python.h"

namespace quenlet::manager {

class PipOutput {
  public:
    // asyncio.SubprocessProtocol, called by the subprocess transport.
    void pipe_data_received(int fd, nb::handle data);
    void pipe_connection_lost(int fd, nb::handle error);
    void process_exited();

    // The oldest item not yet taken, or an invalid object when there is none.
    nb::object take_item();
    // Both pipes have reached their end (their last lines are queued by then).
    bool output_ended() const noexcept { return !open_[0] && !open_[1]; }
    bool exited() const noexcept { return exited_; }
    // Raises the error that ended a pipe, if one did.
    void raise_pipe_error() const;
    // A future of `loop` that the next item, pipe end or process exit resolves.
    nb::object next_event(nb::handle loop);

    int traverse(visitproc visit, void* arg);
    void clear();

  private:
    void split_lines(int index, const char* data, std::size_t size);
    // Queues the leading pieces of a line while more than one piece of it remains; returns how
    // many bytes they took.
    std::size_t queue_pieces(int index, const char* text, std::size_t size);
    // Queues the rest of a line whose end has come (`text` without its line feed).
    void end_line(int index, const char* text, std::size_t size);
    void notify();

    std::deque<nb::object> items_;
    std::string partial_[2];  // an unfinished line per pipe, index 0 = stdout, 1 = stderr
    bool line_split_[2] = {false, false};  // pieces of the unfinished line have been queued
    bool open_[2] = {true, true};
    bool exited_ = false;
    nb::object pipe_error_;
    nb::object waiter_;
};

// Registers the protocol's Python type in the module (as a private name).
void bind_pip_output(nb::module_& module);

// The protocol's Python type: a protocol factory for loop.subprocess_exec().
nb::handle pip_output_type();

PipOutput& pip_output(nb::handle protocol);

}  // namespace quenlet::manager
