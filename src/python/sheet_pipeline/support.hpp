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

using py_util::raise;

/// Raises ValueError when either input fails the truth test.
void require_inputs(py::handle answersheet, py::handle question_paper);

using py_util::guarded;

}  // namespace tovrane::sheet_pipeline::detail
