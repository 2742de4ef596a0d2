// Test-only coroutines for the asyncio bridge (tests/python/test_pyco_bridge.py, bench/).
#include <pybind11/pybind11.h>

#include <new>
#include <stdexcept>
#include <string>

#include "common/errors.hpp"
#include "common/pyco.hpp"

namespace py = pybind11;
namespace pyco = tovrane::pyco;

namespace {

struct Counters {
    long alive = 0;     // guards constructed and not yet destroyed
    long released = 0;  // guards destroyed
    long caught = 0;    // errors seen by a catch block in a frame
    std::string last_caught;
};
Counters g_counters;

// Lets tests see that destructors run on every way out of a frame.
struct Guard {
    Guard() { ++g_counters.alive; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
        --g_counters.alive;
        ++g_counters.released;
    }
};

// Gives a permit back however the frame ends, as the broker's callers do.
struct Permit {
    py::object semaphore;
    ~Permit() {
        try {
            semaphore.attr("release")();
        } catch (py::error_already_set& err) {
            err.discard_as_unraisable("Permit release");
        }
    }
};

pyco::Task await_value(py::object awaitable) {
    py::object result = co_await awaitable;
    co_return result;
}

pyco::Task await_nested(py::object awaitable, int depth) {
    if (depth == 0) {
        co_return co_await std::move(awaitable);
    }
    co_return co_await await_nested(std::move(awaitable), depth - 1);
}

pyco::Task await_each(py::list awaitables) {
    py::list results;
    for (py::handle awaitable : awaitables) {
        results.append(co_await awaitable);
    }
    co_return results;
}

pyco::Task guarded_await(py::object awaitable) {
    Guard guard;
    try {
        co_return co_await std::move(awaitable);
    } catch (py::error_already_set& err) {
        ++g_counters.caught;
        g_counters.last_caught = py::type::handle_of(err.value()).attr("__name__").cast<std::string>();
        throw;
    }
}

// Turns errors of an ordinary kind into a result, as batch operations do; anything
// else (cancellation, interrupts) passes through.
pyco::Task ordinary_to_text(py::object awaitable) {
    try {
        co_return co_await std::move(awaitable);
    } catch (py::error_already_set& err) {
        if (!tovrane::py_util::is_ordinary(err)) {
            throw;
        }
        co_return "caught: " + tovrane::py_util::error_text(err);
    }
}

pyco::Task with_permit(py::object semaphore, py::object awaitable) {
    co_await semaphore.attr("acquire")();
    Permit permit{semaphore};
    co_return co_await std::move(awaitable);
}

pyco::VoidTask await_void(py::object awaitable) { co_await std::move(awaitable); }

pyco::Task return_given(py::object value) { co_return value; }

pyco::Task raise_cpp(std::string kind, std::string message, bool suspend_first) {
    if (suspend_first) {
        co_await py::module_::import("asyncio").attr("sleep")(0);
    }
    if (kind == "runtime_error") throw std::runtime_error(message);
    if (kind == "invalid_argument") throw std::invalid_argument(message);
    if (kind == "out_of_range") throw std::out_of_range(message);
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "key_error") throw py::key_error(message);
    if (kind == "stop_iteration") throw py::stop_iteration(message);
    co_return kind;
}

// A method bound from a free function: self lives in the frame, the callee is looked up
// on the instance when the frame runs.
pyco::Task call_other(py::object self, py::object arg) {
    co_return co_await self.attr("other_async")(arg);
}

// Bench loops: the same awaitable n times, or a fresh one from factory() n times.
pyco::Task await_repeat(py::object awaitable, long n) {
    py::object result;
    for (long i = 0; i < n; ++i) {
        result = co_await awaitable;
    }
    co_return result;
}

pyco::Task await_calls(py::object factory, long n) {
    py::object result;
    for (long i = 0; i < n; ++i) {
        result = co_await factory();
    }
    co_return result;
}

py::dict counters() {
    py::dict out;
    out["alive"] = g_counters.alive;
    out["released"] = g_counters.released;
    out["caught"] = g_counters.caught;
    out["last_caught"] = g_counters.last_caught;
    return out;
}

void reset_counters() { g_counters = Counters{}; }

struct Holder {};

}  // namespace

PYBIND11_MODULE(bridge_testmod, m) {
    m.def("await_value", &await_value);
    m.def("await_nested", &await_nested);
    m.def("await_each", &await_each);
    m.def("guarded_await", &guarded_await);
    m.def("ordinary_to_text", &ordinary_to_text);
    m.def("with_permit", &with_permit);
    m.def("await_void", &await_void);
    m.def("return_given", &return_given);
    m.def("raise_cpp", &raise_cpp);
    m.def("await_repeat", &await_repeat);
    m.def("await_calls", &await_calls);
    m.def("counters", &counters);
    m.def("reset_counters", &reset_counters);
    m.def("coroutine_type", &pyco::coroutine_type);
    py::class_<Holder>(m, "Holder", py::dynamic_attr())
        .def(py::init<>())
        .def("call_other", &call_other);
}
