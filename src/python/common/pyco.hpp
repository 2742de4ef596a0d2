// C++20 coroutines as Python awaitables: the asyncio bridge of every module.
//
//   pyco::Task op(py::object self, py::object x) {
//       py::object r = co_await self.attr("other_async")(x);  // any Python awaitable
//       co_return r;                                          // anything py::cast-able
//   }
//   cls.def("op_async", &op);  // Python sees a coroutine object
//
// The Python event loop drives the frame: values the awaited object yields go out to
// the loop, what the loop sends or throws goes back in, exactly like `yield from`.
// Cancellation arrives as py::error_already_set (CancelledError) at the co_await, so
// destructors and catch blocks run. close() and garbage collection destroy a
// suspended frame, which runs the destructors of its locals.
//
// Rules for coroutine functions:
// - Take parameters by value (py::object, std::string, ...): references dangle once the
//   caller returns, the frame outlives the call. A free function with `py::object self`
//   as first parameter keeps self alive; a member function's `this` does not.
// - No lambdas with captures (the closure dies before the frame runs).
// - Everything runs with the GIL held, on the thread of the event loop.
// - The cycle collector sees what a suspended frame awaits, not its locals and
//   parameters: a reference cycle through those is only freed once the frame ends.
//   `co_await std::move(param)` lets go of an awaitable passed in.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <exception>
#include <source_location>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace tovrane::pyco {

namespace py = pybind11;

class Task;
class VoidTask;

/// Hands the frame over to a new Python coroutine object (consumes the task).
py::object to_python(Task&& task);
py::object to_python(VoidTask&& task);

/// The Python type of our coroutine objects, shared by every module of the process.
py::type coroutine_type();

namespace detail {

/// State shared by the frame and the Python object that drives it (pyco.cpp).
/// Its layout is part of the cross-module contract: every module links its own copy
/// of this code, and an object created by one copy may be driven by another.
struct PromiseBase {
    // Promises default `where` to their construction site, which GCC reports as the
    // coroutine function itself: its name becomes the Python object's __qualname__.
    explicit PromiseBase(std::source_location where) noexcept
        : function_(where.function_name()) {}
    PromiseBase(const PromiseBase&) = delete;
    PromiseBase& operator=(const PromiseBase&) = delete;
    ~PromiseBase() {
        Py_XDECREF(delegate_);
        Py_XDECREF(value_);
    }

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error_ = std::current_exception(); }

    template <class T>
    auto await_transform(T&& awaitable);

    const char* function_;          ///< signature of the coroutine function (static storage)
    PyObject* delegate_ = nullptr;  ///< iterator of the pending await (owned)
    PyObject* value_ = nullptr;     ///< in transit: yielded out, sent in or returned (owned)
    std::exception_ptr error_;      ///< thrown in at the co_await, or escaped the body
};

/// One `co_await` of a Python awaitable. Lives in the frame, so an await allocates
/// nothing of ours.
class PyAwaiter {
  public:
    PyAwaiter(PromiseBase& promise, py::object awaitable)
        : promise_(promise), awaitable_(std::move(awaitable)) {}

    /// Starts the awaitable; true when it finished without yielding.
    bool await_ready();
    void await_suspend(std::coroutine_handle<>) noexcept {}
    py::object await_resume();

  private:
    PromiseBase& promise_;
    py::object awaitable_;
};

/// Wraps a not yet started frame in a Python coroutine object; destroys the frame
/// when that fails.
py::object wrap_frame(std::coroutine_handle<> frame, PromiseBase& promise);

/// Owns a frame until it is handed to Python.
template <class Promise>
class FrameOwner {
  public:
    using promise_type = Promise;

    FrameOwner() = default;
    explicit FrameOwner(std::coroutine_handle<Promise> frame) noexcept : frame_(frame) {}
    FrameOwner(FrameOwner&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    FrameOwner& operator=(FrameOwner&& other) noexcept {
        if (this != &other) {
            reset();
            frame_ = std::exchange(other.frame_, {});
        }
        return *this;
    }
    ~FrameOwner() { reset(); }

    py::object release_to_python() {
        if (!frame_) {
            throw std::logic_error("pyco task was already handed over");
        }
        auto frame = std::exchange(frame_, {});
        return wrap_frame(frame, frame.promise());
    }

  private:
    void reset() noexcept {
        if (frame_) {
            std::exchange(frame_, {}).destroy();
        }
    }

    std::coroutine_handle<Promise> frame_;
};

struct ValuePromise : PromiseBase {
    explicit ValuePromise(std::source_location where = std::source_location::current()) noexcept
        : PromiseBase(where) {}
    Task get_return_object() noexcept;

    template <class T>
    void return_value(T&& value) {
        using U = std::remove_cvref_t<T>;
        if constexpr (std::is_base_of_v<py::object, U>) {
            value_ = py::object(std::forward<T>(value)).release().ptr();
        } else if constexpr (std::is_base_of_v<py::handle, U>) {
            value_ = py::reinterpret_borrow<py::object>(value).release().ptr();
        } else {
            value_ = py::cast(std::forward<T>(value)).release().ptr();
        }
    }
};

struct VoidPromise : PromiseBase {
    explicit VoidPromise(std::source_location where = std::source_location::current()) noexcept
        : PromiseBase(where) {}
    VoidTask get_return_object() noexcept;
    void return_void() noexcept {}  // no value_ reads as None
};

}  // namespace detail

/// A coroutine whose `co_return v` gives the awaiter py::cast(v).
class Task : public detail::FrameOwner<detail::ValuePromise> {
    using FrameOwner::FrameOwner;
};

/// A coroutine without a value (`co_return;` or falling off the end): the awaiter gets None.
class VoidTask : public detail::FrameOwner<detail::VoidPromise> {
    using FrameOwner::FrameOwner;
};

inline py::object to_python(Task&& task) { return task.release_to_python(); }
inline py::object to_python(VoidTask&& task) { return task.release_to_python(); }

namespace detail {

inline Task ValuePromise::get_return_object() noexcept {
    return Task(std::coroutine_handle<ValuePromise>::from_promise(*this));
}

inline VoidTask VoidPromise::get_return_object() noexcept {
    return VoidTask(std::coroutine_handle<VoidPromise>::from_promise(*this));
}

template <class T>
auto PromiseBase::await_transform(T&& awaitable) {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, Task> || std::is_same_v<U, VoidTask>) {
        return PyAwaiter(*this, to_python(std::move(awaitable)));
    } else if constexpr (std::is_base_of_v<py::handle, U> && !std::is_base_of_v<py::object, U>) {
        return PyAwaiter(*this, py::reinterpret_borrow<py::object>(awaitable));
    } else {  // py::object moves in, so `co_await std::move(x)` lets go of x
        static_assert(std::is_convertible_v<T, py::object>,
                      "co_await in a pyco coroutine takes a Python awaitable or a pyco task");
        return PyAwaiter(*this, py::object(std::forward<T>(awaitable)));
    }
}

}  // namespace detail
}  // namespace tovrane::pyco

namespace pybind11::detail {

// Functions returning a pyco task return the Python coroutine object.
template <class TaskType>
struct pyco_task_caster {
    static constexpr auto name = const_name("collections.abc.Coroutine");
    static handle cast(TaskType&& task, return_value_policy, handle) {
        return tovrane::pyco::to_python(std::move(task)).release();
    }
};

template <>
struct type_caster<tovrane::pyco::Task> : pyco_task_caster<tovrane::pyco::Task> {};
template <>
struct type_caster<tovrane::pyco::VoidTask> : pyco_task_caster<tovrane::pyco::VoidTask> {};

}  // namespace pybind11::detail
