// Pieces the question paper pipeline's own files share; not bound to Python.
#pragma once

#include <pybind11/pybind11.h>

#include "common/errors.hpp"
#include "engine/text/paper_pipeline_texts.hpp"

namespace tovrane::paper_pipeline {

namespace py = pybind11;

/// ValueError unless a question paper was given.
inline void require_paper(py::handle question_paper) {
    if (question_paper.is_none()) py_util::raise(PyExc_ValueError, text::paper_pipeline::kNoPaper);
}

/// True when a rubric is present and has at least one criterion.
inline bool has_criteria(py::handle rubric) {
    return !rubric.is_none() && py::len(rubric.attr("criteria")) > 0;
}

}  // namespace tovrane::paper_pipeline
