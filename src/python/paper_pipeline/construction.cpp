// PaperPipeline construction and its collaborator setters.
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/text/paper_pipeline_texts.hpp"
#include "paper_pipeline/operations.hpp"

namespace tovrane::paper_pipeline {

namespace texts = tovrane::text::paper_pipeline;
using namespace py_util;

void init(py::object self, py::object extractor_client, py::object model_broker) {
    load_dotenv();
    self.attr("extractor_client") = extractor_client;
    self.attr("model_broker") = model_broker;
    self.attr("extracted_texts") = py::none();
    self.attr("processed_subject") = py::none();
    self.attr("processed_language") = py::none();
    self.attr("processed_class_level") = py::none();
}

void set_extractor_client(py::object self, py::object extractor_client) {
    if (!is_instance(extractor_client, names::extractor_client_class())) raise(PyExc_TypeError, texts::kBadExtractor);
    self.attr("extractor_client") = extractor_client;
}

void set_model_broker(py::object self, py::object model_broker) {
    if (!is_instance(model_broker, names::model_broker_class())) raise(PyExc_TypeError, texts::kBadBroker);
    self.attr("model_broker") = model_broker;
}

}  // namespace tovrane::paper_pipeline
