#include "manager/pip_output.h"

#include <cstring>

#include "runtime/errors.h"
#include "runtime/module_state.h"

namespace quenlet::manager {

namespace {

// Kept in the module's state.
nb::handle stream_names[2];
nb::handle protocol_type;

// The most of one line that one item carries. pip never writes such lines, but a build back end
// may, and without a bound a line that never ends would hold all of it in memory at once.
constexpr std::size_t max_piece_bytes = std::size_t{1} << 20;

// ASCII whitespace as str.isspace() sees it. Stripping these bytes before decoding gives the
// same text as decoding first: an ASCII byte never belongs to a multi-byte sequence.
bool is_ascii_space(unsigned char c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
}

nb::object decode(const char* begin, std::size_t size) {
    return rt::steal_or_throw(
        PyUnicode_DecodeUTF8(begin, static_cast<Py_ssize_t>(size), "replace"));
}

nb::object decode_line(const char* begin, std::size_t size) {
    while (size > 0 && is_ascii_space(static_cast<unsigned char>(begin[size - 1]))) --size;
    nb::object text = decode(begin, size);
    PyObject* raw = text.ptr();
    Py_ssize_t end = PyUnicode_GET_LENGTH(raw);
    if (end == 0) return text;
    int kind = PyUnicode_KIND(raw);
    const void* data = PyUnicode_DATA(raw);
    while (end > 0 && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    if (end == PyUnicode_GET_LENGTH(raw)) return text;
    return rt::steal_or_throw(PyUnicode_Substring(raw, 0, end));
}

bool is_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The size of the next piece of a line longer than max_piece_bytes that starts at `text`:
// max_piece_bytes, less the start of a character that the cut would split. Bytes that are no
// valid UTF-8 anyway are cut where they fall.
std::size_t piece_size(const char* text) {
    std::size_t cut = max_piece_bytes;
    for (int back = 0; back < 3 && is_continuation(text[cut]); ++back) --cut;
    return is_continuation(text[cut]) ? max_piece_bytes : cut;
}

int pipe_index(int fd) {
    if (fd != 1 && fd != 2) rt::throw_error(PyExc_ValueError, "pip output arrives on fd 1 or 2");
    return fd - 1;
}

int traverse_protocol(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<PipOutput>(self)->traverse(visit, arg);
}

int clear_protocol(PyObject* self) {
    if (nb::inst_ready(self)) nb::inst_ptr<PipOutput>(self)->clear();
    return 0;
}

PyType_Slot protocol_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_protocol)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_protocol)},
    {0, nullptr},
};

}  // namespace

void PipOutput::pipe_data_received(int fd, nb::handle data) {
    int index = pipe_index(fd);
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &bytes, &size) < 0) rt::throw_pending();
    std::size_t queued = items_.size();
    split_lines(index, bytes, static_cast<std::size_t>(size));
    if (items_.size() != queued) notify();
}

void PipOutput::split_lines(int index, const char* data, std::size_t size) {
    std::string& partial = partial_[index];
    const char* end = data + size;
    while (data < end) {
        const char* newline = static_cast<const char*>(std::memchr(data, '\n', end - data));
        if (newline == nullptr) {
            // The transport reads a bounded chunk at a time, so the unfinished line stays
            // within one piece and one chunk.
            partial.append(data, end);
            partial.erase(0, queue_pieces(index, partial.data(), partial.size()));
            return;
        }
        if (partial.empty()) {
            end_line(index, data, newline - data);
        } else {
            partial.append(data, newline);
            end_line(index, partial.data(), partial.size());
            partial.clear();
        }
        data = newline + 1;
    }
}

std::size_t PipOutput::queue_pieces(int index, const char* text, std::size_t size) {
    std::size_t taken = 0;
    while (size - taken > max_piece_bytes) {
        std::size_t piece = piece_size(text + taken);
        // Not stripped: what ends a piece is the middle of its line.
        items_.push_back(nb::make_tuple(stream_names[index], decode(text + taken, piece)));
        taken += piece;
        line_split_[index] = true;
    }
    return taken;
}

void PipOutput::end_line(int index, const char* text, std::size_t size) {
    std::size_t taken = queue_pieces(index, text, size);
    nb::object rest = decode_line(text + taken, size - taken);
    // A line already passed on in pieces gets no empty item for the whitespace that ended it.
    if (!line_split_[index] || PyUnicode_GET_LENGTH(rest.ptr()) > 0) {
        items_.push_back(nb::make_tuple(stream_names[index], std::move(rest)));
    }
    line_split_[index] = false;
}

void PipOutput::pipe_connection_lost(int fd, nb::handle error) {
    int index = pipe_index(fd);
    std::string& partial = partial_[index];
    if (!partial.empty()) {
        // What readline() returns at the end of a stream: the rest, without a line feed.
        end_line(index, partial.data(), partial.size());
        partial.clear();
        partial.shrink_to_fit();
    }
    open_[index] = false;
    if (!error.is_none() && !pipe_error_.is_valid()) pipe_error_ = nb::borrow(error);
    notify();
}

void PipOutput::process_exited() {
    exited_ = true;
    notify();
}

nb::object PipOutput::take_item() {
    if (items_.empty()) return nb::object();
    nb::object item = std::move(items_.front());
    items_.pop_front();
    return item;
}

void PipOutput::raise_pipe_error() const {
    if (pipe_error_.is_valid()) rt::throw_exception(pipe_error_);
}

nb::object PipOutput::next_event(nb::handle loop) {
    waiter_ = loop.attr("create_future")();
    return waiter_;
}

void PipOutput::notify() {
    // Taken out first: resolving the future may run code that asks for the next event.
    nb::object waiter = std::move(waiter_);
    if (waiter.is_valid() && !nb::cast<bool>(waiter.attr("done")())) {
        waiter.attr("set_result")(nb::none());
    }
}

int PipOutput::traverse(visitproc visit, void* arg) {
    for (const nb::object& item : items_) Py_VISIT(item.ptr());
    Py_VISIT(pipe_error_.ptr());
    Py_VISIT(waiter_.ptr());
    return 0;
}

void PipOutput::clear() {
    std::deque<nb::object> items = std::move(items_);
    nb::object pipe_error = std::move(pipe_error_);
    nb::object waiter = std::move(waiter_);
}

void bind_pip_output(nb::module_& module) {
    stream_names[0] = rt::keep(nb::str("stdout"));
    stream_names[1] = rt::keep(nb::str("stderr"));
    nb::class_<PipOutput> type(module, "_PipOutputProtocol", nb::type_slots(protocol_slots));
    type.def(nb::init<>())
        .def(
            "connection_made", [](PipOutput&, nb::handle) {}, nb::arg("transport"))
        .def("pipe_data_received", &PipOutput::pipe_data_received, nb::arg("fd"), nb::arg("data"))
        .def("pipe_connection_lost", &PipOutput::pipe_connection_lost, nb::arg("fd"),
             nb::arg("exc").none())
        .def("process_exited", &PipOutput::process_exited)
        .def("connection_lost", [](PipOutput&, nb::handle) {}, nb::arg("exc").none());
    protocol_type = rt::keep(type);
}

nb::handle pip_output_type() {
    return protocol_type;
}

PipOutput& pip_output(nb::handle protocol) {
    return *nb::inst_ptr<PipOutput>(protocol);
}

}  // namespace quenlet::manager
