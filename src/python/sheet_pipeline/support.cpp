// Helpers shared by the answersheet pipeline's operations.
#include "sheet_pipeline/support.hpp"

#include "engine/text/sheet_texts.hpp"

namespace tovrane::sheet_pipeline::detail {



void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

void require_inputs(py::handle answersheet, py::handle question_paper) {
    if (!truthy(answersheet) || !truthy(question_paper)) {
        raise(PyExc_ValueError, std::string(text::sheet::kNoneInputs));
    }
}

void raise_runtime_from(py::error_already_set& err, const std::string& message) {
    py::raise_from(err, PyExc_RuntimeError, message.c_str());
    throw py::error_already_set();
}

}  // namespace tovrane::sheet_pipeline::detail
