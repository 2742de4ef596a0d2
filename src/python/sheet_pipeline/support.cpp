// Helpers shared by the answersheet pipeline's operations.
#include "sheet_pipeline/support.hpp"

#include "engine/text/sheet_texts.hpp"

namespace tovrane::sheet_pipeline::detail {



void require_inputs(py::handle answersheet, py::handle question_paper) {
    if (!truthy(answersheet) || !truthy(question_paper)) {
        raise(PyExc_ValueError, std::string(text::sheet::kNoneInputs));
    }
}

}  // namespace tovrane::sheet_pipeline::detail
