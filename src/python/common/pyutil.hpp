// Python-semantics helpers shared by every extension module.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace tovrane::py_util {

namespace py = pybind11;

/// True for errors of an ordinary kind (instances of Exception). CancelledError,
/// KeyboardInterrupt, SystemExit and GeneratorExit are not and must pass through.
bool is_ordinary(const py::error_already_set& err);

/// str(err) of the Python exception, as Python code would print it.
std::string error_text(const py::error_already_set& err);

/// str(obj).
std::string str(py::handle obj);

/// Python's truth test; an error raised by __bool__ or __len__ propagates.
bool truthy(py::handle obj);

/// Python's `item in container`, falling back to iteration as the operator does.
bool contains(py::handle container, py::handle item);

/// Prints one line through Python's print(), so sys.stdout redirection applies.
void print_line(std::string_view text);

/// Imports `module` and returns its attribute `name`, looked up now (never cached),
/// so that monkeypatching the module is seen.
py::object module_attr(const char* module, const char* name);

}  // namespace tovrane::py_util
