// Helpers shared by the answersheet pipeline's operations: printing, raising, guarding.
#pragma once

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "common/pyutil.hpp"

namespace tovrane::sheet_pipeline::detail {

namespace py = pybind11;

/// Prints one formatted line to Python's stdout.
template <typename... Args>
void say(fmt::format_string<Args...> format, Args&&... args) {
    py_util::print_line(fmt::format(format, std::forward<Args>(args)...));
}

/// str(obj): how every value appears in a line.
inline std::string render(py::handle obj) { return py_util::str(obj); }

using py_util::truthy;

using py_util::contains;

/// Raises a Python exception of `type` with `message`.
[[noreturn]] void raise(PyObject* type, const std::string& message);

/// Raises ValueError when either input fails the truth test.
void require_inputs(py::handle answersheet, py::handle question_paper);

/// Raises RuntimeError(message) chained to the Python error being handled.
[[noreturn]] void raise_runtime_from(py::error_already_set& err, const std::string& message);

/// Runs `body`; an error of an ordinary kind becomes a RuntimeError whose message is
/// `message(error text)`. Cancellation and interrupts pass through untouched.
template <typename Body, typename Message>
auto guarded(Body&& body, Message&& message) -> decltype(body()) {
    try {
        return body();
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
        raise_runtime_from(err, message(py_util::error_text(err)));
    } catch (const std::exception& err) {
        raise(PyExc_RuntimeError, message(std::string(err.what())));
    }
}

}  // namespace tovrane::sheet_pipeline::detail
