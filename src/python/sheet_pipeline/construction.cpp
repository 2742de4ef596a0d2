// SheetPipeline construction: the collaborators become instance attributes.
#include "sheet_pipeline/operations.hpp"

namespace tovrane::sheet_pipeline {

void init(py::object self, py::object extractor_client, py::object model_broker) {
    self.attr("extractor_client") = std::move(extractor_client);
    self.attr("model_broker") = std::move(model_broker);
    self.attr("extracted_texts") = py::none();
}

}  // namespace tovrane::sheet_pipeline
