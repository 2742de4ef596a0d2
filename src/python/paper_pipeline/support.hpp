// Helpers shared by the question paper pipeline's operations: messages, errors, lookups.
#pragma once

#include <pybind11/pybind11.h>
#include <fmt/format.h>

#include <optional>
#include <string>

#include "common/pyutil.hpp"

namespace tovrane::paper::detail {

namespace py = pybind11;

/// Fills one of the message templates with named arguments.
template <typename... Args>
std::string fill(const char* tmpl, const Args&... args) {
    return fmt::format(fmt::runtime(tmpl), args...);
}

/// Prints a filled template as one line on sys.stdout.
template <typename... Args>
void say(const char* tmpl, const Args&... args) {
    py_util::print_line(fill(tmpl, args...));
}

using py_util::raise;

/// str(obj).
inline std::string text(py::handle obj) { return py_util::str(obj); }

using py_util::truthy;

/// str(len(obj)): counts as Python counts (code points for text).
std::string len_text(py::handle obj);

using py_util::contains;

/// getattr(obj, name, None): the document model's optional members may be missing on
/// hand-made objects; missing counts as absent.
py::object optional_attr(py::handle obj, const char* name);

/// True when a rubric is present and has at least one criterion.
bool has_criteria(py::handle rubric);

/// The module's `ExtractorClient` / `ModelBroker`, looked up now so a patched module is seen.
py::object extractor_client_class();
py::object model_broker_class();

using py_util::guarded;
using py_util::ordinary_error;

}  // namespace tovrane::paper::detail
