// What every native coroutine frame shares, whatever Python object runs it: the protocol
// between C++ awaiters inside the frame and the driver (driver.cpp) outside it, and what the
// frame owns, for the garbage collector.
//
// A frame never blocks. When its code awaits a Python awaitable, the awaiter stores the
// awaitable's iterator in `delegate` and the frame suspends; the driver then feeds that
// iterator exactly as `yield from` would, passing whatever it yields (a future) up to the event
// loop, and resumes the frame with the iterator's return value or exception.
//
// When its code awaits another native Task, the awaiter links the Task's frame below it as its
// `child` and the frame suspends; the driver then runs the chain's innermost frame as if it were
// the outermost one, and resumes the awaiting frame once the child has ended. A chain of native
// calls thus costs one Python object, not one per call, and a value sent from the event loop
// reaches the frame that waits without passing through every frame above it.
//
// The Python object that runs a frame reports to the collector every reference the frame owns
// while it is suspended, as a Python frame's locals are reported, so that a cycle through a
// suspended operation (an object that keeps its own install stream, say) is collected like one
// through a Python coroutine. A frame owns: its parameters (each nb::object parameter, and each
// parameter of a type with a traverse() member), the locals it declares as Kept<T>, and the
// driver's hand-off slots below. A parameter or local of any other type must hold no Python
// reference that outlives a suspension.
#pragma once

#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/errors.h"
#include "runtime/python.h"

namespace quenlet::rt {

// A type that reports the Python references it owns, as tp_traverse does.
template <class T>
concept Traversable = requires(const T& value, visitproc visit, void* arg) {
    { value.traverse(visit, arg) } -> std::same_as<int>;
};

// Whether T is made from the class template `Template` (is_a<T, std::optional>).
template <class T, template <class...> class Template>
inline constexpr bool is_a = false;
template <template <class...> class Template, class... Arguments>
inline constexpr bool is_a<Template<Arguments...>, Template> = true;

// The exception object a caught exception carries, when it is a Python error.
int visit_exception(const std::exception_ptr& failure, visitproc visit, void* arg) noexcept;

// Visits the references a value of one of the kinds a frame may own holds.
template <class T>
int visit_owned(const T& value, visitproc visit, void* arg) noexcept {
    if constexpr (std::is_base_of_v<nb::handle, T>) {
        static_assert(!std::is_same_v<T, nb::handle>, "a frame owns its references: nb::object");
        Py_VISIT(value.ptr());
        return 0;
    } else if constexpr (std::is_same_v<T, std::exception_ptr>) {
        return visit_exception(value, visit, arg);
    } else if constexpr (Traversable<T>) {
        return value.traverse(visit, arg);
    } else if constexpr (is_a<T, std::optional>) {
        return value.has_value() ? visit_owned(*value, visit, arg) : 0;
    } else if constexpr (is_a<T, std::vector>) {
        for (const auto& item : value) {
            if (int status = visit_owned(item, visit, arg)) return status;
        }
        return 0;
    } else {
        static_assert(!sizeof(T), "not a kind of value whose references a frame can report");
    }
}

class FramePromise;

// A local that a frame keeps across its suspensions and reports to the collector:
//     rt::Kept<std::optional<PipChild>> child(co_await rt::this_frame());
template <class T>
class Kept;

class KeptBase {
  public:
    KeptBase(const KeptBase&) = delete;
    KeptBase& operator=(const KeptBase&) = delete;

  protected:
    explicit KeptBase(FramePromise& frame) noexcept;
    ~KeptBase();

  private:
    friend class FramePromise;
    virtual int traverse(visitproc visit, void* arg) const noexcept = 0;

    FramePromise& frame_;
    KeptBase* below_;
};

class FramePromise {
  public:
    // User-declared so that the promise is never an aggregate: otherwise C++20 may build it
    // from the coroutine's own arguments. Given the frame's copies of the coroutine's
    // parameters, it remembers those that own Python references.
    template <class... Parameters>
    explicit FramePromise(Parameters&... parameters) noexcept {
        static_assert(sizeof...(Parameters) <= max_parameters, "too many parameters");
        (remember_parameter(parameters), ...);
    }

    // Frames come from the interpreter's allocator: most frames are small blocks, which it serves
    // faster than the C library does. Every frame is made and destroyed on a thread attached to
    // the interpreter, as that allocator requires.
    static void* operator new(std::size_t size) {
        void* frame = PyMem_Malloc(size);
        if (frame == nullptr) throw std::bad_alloc();
        return frame;
    }
    static void operator delete(void* frame) noexcept { PyMem_Free(frame); }

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { failure = std::current_exception(); }

    // The value or exception handed back to the frame where it suspended; an exception is
    // re-raised inside the frame as nb::python_error.
    nb::object take_sent() {
        if (sent_error.is_valid()) {
            nb::object error = std::move(sent_error);
            sent_value.reset();
            throw_exception(error);
        }
        if (!sent_value.is_valid()) return nb::none();
        return std::move(sent_value);
    }

    // Visits what this frame alone owns (not the frames it awaits), for tp_traverse.
    int traverse(visitproc visit, void* arg) const noexcept;

    // The iterator of the Python awaitable the frame waits on, or null.
    nb::object delegate;
    nb::object sent_value;
    nb::object sent_error;
    // Set by co_yield in an async generator: the item for the consumer.
    nb::object yielded;
    // Set by co_return in a coroutine.
    nb::object result;
    // True while the exception the frame resumes with comes from close() (of the coroutine, or
    // of an awaitable of the async generator): the caller refuses any await that follows, as
    // CPython's do, so clean-up that cannot finish without awaiting must be done at once.
    bool closing = false;
    std::exception_ptr failure;
    // The native Task this frame awaits (its promise and frame), and the frame awaiting this one.
    FramePromise* child = nullptr;
    std::coroutine_handle<> child_frame;
    FramePromise* parent = nullptr;

  private:
    friend class KeptBase;
    static constexpr int max_parameters = 8;

    struct Parameter {
        const void* value;
        int (*traverse)(const void* value, visitproc visit, void* arg) noexcept;
    };

    template <class T>
    void remember_parameter(T& parameter) noexcept {
        static_assert(!std::is_same_v<T, nb::handle>,
                      "a native coroutine owns its references: take nb::object, not nb::handle");
        static_assert(!is_a<T, std::function>,
                      "a parameter the collector cannot see into: use a struct with traverse()");
        if constexpr (std::is_base_of_v<nb::handle, T> || Traversable<T>) {
            parameters_[parameter_count_++] = {
                &parameter, [](const void* value, visitproc visit, void* arg) noexcept {
                    return visit_owned(*static_cast<const T*>(value), visit, arg);
                }};
        }
    }

    Parameter parameters_[max_parameters];
    int parameter_count_ = 0;
    KeptBase* kept_ = nullptr;  // the innermost Kept local; each links the one declared before
};

// What a coroutine function returns: the only owner of the frame until a Python object, or the
// frame that awaits it, takes the frame over.
template <class Promise>
class FrameOwner {
  public:
    FrameOwner(FrameOwner&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    ~FrameOwner() {
        if (frame_) frame_.destroy();
    }

    // What the frame of an owner not yet run owns, for a Kept owner in the frame that holds it.
    int traverse(visitproc visit, void* arg) const noexcept {
        return frame_ ? frame_.promise().traverse(visit, arg) : 0;
    }

  protected:
    explicit FrameOwner(std::coroutine_handle<Promise> frame) noexcept : frame_(frame) {}
    std::coroutine_handle<Promise> frame_;
};

template <class T>
class Kept final : KeptBase {
  public:
    template <class... Arguments>
    explicit Kept(FramePromise& frame, Arguments&&... arguments)
        : KeptBase(frame), value_(std::forward<Arguments>(arguments)...) {}

    T& operator*() noexcept { return value_; }
    T* operator->() noexcept { return &value_; }

  private:
    int traverse(visitproc visit, void* arg) const noexcept override {
        return visit_owned(value_, visit, arg);
    }

    T value_;
};

inline KeptBase::KeptBase(FramePromise& frame) noexcept : frame_(frame), below_(frame.kept_) {
    frame.kept_ = this;
}

// Locals end in the reverse order of their declaration, also when a frame is destroyed while
// suspended, so the innermost one is always the one that ends.
inline KeptBase::~KeptBase() {
    frame_.kept_ = below_;
}

// `co_await this_frame()` gives the running frame's promise, for declaring Kept locals.
struct this_frame {
    bool await_ready() const noexcept { return false; }
    template <class Promise>
    bool await_suspend(std::coroutine_handle<Promise> frame) noexcept {
        promise_ = &frame.promise();
        return false;  // resumes at once
    }
    FramePromise& await_resume() const noexcept { return *promise_; }

    FramePromise* promise_ = nullptr;
};

// The iterator that `await awaitable` would drive (the object's __await__ result).
nb::object awaitable_iterator(nb::handle awaitable);

// co_await awaited(x) inside a native coroutine behaves like `await x` in Python.
class PythonAwaiter {
  public:
    explicit PythonAwaiter(nb::object awaitable) noexcept : awaitable_(std::move(awaitable)) {}

    bool await_ready() const noexcept { return false; }

    template <class Promise>
    void await_suspend(std::coroutine_handle<Promise> frame) {
        promise_ = &frame.promise();
        // A non-awaitable raises here; the frame then resumes with that exception at once.
        promise_->delegate = awaitable_iterator(awaitable_);
        awaitable_.reset();
    }

    nb::object await_resume() { return promise_->take_sent(); }

  private:
    nb::object awaitable_;
    FramePromise* promise_ = nullptr;
};

inline PythonAwaiter awaited(nb::object awaitable) noexcept {
    return PythonAwaiter(std::move(awaitable));
}

}  // namespace quenlet::rt
