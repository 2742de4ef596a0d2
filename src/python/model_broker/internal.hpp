// Pieces the model broker's own files share; not bound to Python.
#pragma once

#include <pybind11/pybind11.h>

namespace tovrane::model_broker {

namespace py = pybind11;

/// tiktoken's encoding for `model`, else the fallback encoding. Makes the rank files that
/// ship with the package available to tiktoken first, so no download is attempted
/// (tokenizer.cpp).
py::object choose_encoding(py::handle model);

}  // namespace tovrane::model_broker
