// Helpers shared by the question paper pipeline's operations: messages, errors, lookups.
#pragma once

#include <pybind11/pybind11.h>
#include <fmt/format.h>

#include <optional>
#include <string>

#include "common/pyutil.hpp"

namespace tovrane::paper::detail {

namespace py = pybind11;

using py_util::legacy::fill;
using py_util::legacy::say;

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
