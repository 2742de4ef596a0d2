// Pieces the answersheet pipeline's own files share; not bound to Python.
#pragma once

#include <pybind11/pybind11.h>

#include "common/errors.hpp"
#include "common/python.hpp"
#include "engine/text/sheet_pipeline_texts.hpp"

namespace tovrane::sheet_pipeline {

namespace py = pybind11;

/// Both inputs present (Python's truth test on each).
inline bool has_inputs(py::handle answersheet, py::handle question_paper) {
    return py_util::truthy(answersheet) && py_util::truthy(question_paper);
}

/// ValueError unless both inputs are present.
inline void require_inputs(py::handle answersheet, py::handle question_paper) {
    if (!has_inputs(answersheet, question_paper)) {
        py_util::raise(PyExc_ValueError, text::sheet_pipeline::kNoneInputs);
    }
}

}  // namespace tovrane::sheet_pipeline
