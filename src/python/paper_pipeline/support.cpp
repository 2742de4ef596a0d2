// Helpers shared by the question paper pipeline's operations.
#include "paper_pipeline/support.hpp"

namespace tovrane::paper::detail {


std::string len_text(py::handle obj) {
    return std::to_string(py::len(obj));
}


py::object optional_attr(py::handle obj, const char* name) {
    return py::getattr(obj, name, py::none());
}

bool has_criteria(py::handle rubric) {
    return !rubric.is_none() && py::len(rubric.attr("criteria")) > 0;
}

py::object extractor_client_class() {
    return py_util::module_attr("tovrane_core.ocr_extractor.extractor_client", "ExtractorClient");
}

py::object model_broker_class() {
    return py_util::module_attr("tovrane_core.model_broker", "ModelBroker");
}

}  // namespace tovrane::paper::detail
