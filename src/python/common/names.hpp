// The package's Python modules and the classes the modules look up from each other. They
// are looked up at call time, never cached, so a host or a test that patches a module or
// replaces a class is seen. C strings: they go to import and getattr as they are.
#pragma once

#include <pybind11/pybind11.h>

namespace tovrane::names {

namespace py = pybind11;

inline constexpr const char* kModelBrokerModule = "tovrane_core.model_broker";
inline constexpr const char* kPaperPipelineModule = "tovrane_core.paper_pipeline";
inline constexpr const char* kSheetPipelineModule = "tovrane_core.sheet_pipeline";
inline constexpr const char* kFacadeModule = "tovrane_core.tovrane";
inline constexpr const char* kQuestionPaperModule = "tovrane_core.datastructures.question_paper";
inline constexpr const char* kRubricModule = "tovrane_core.datastructures.rubric";
inline constexpr const char* kAnswersheetModule = "tovrane_core.datastructures.answersheet";
inline constexpr const char* kExtractorClientModule = "tovrane_core.ocr_extractor.extractor_client";

py::object model_broker_class();
/// One of the broker module's pydantic response models, e.g. "RubricResponse".
py::object response_model(const char* name);
py::object paper_pipeline_class();
py::object sheet_pipeline_class();
py::object config_class();
py::object tovrane_class();
py::object question_paper_class();
py::object question_class();
py::object rubric_class();
py::object criterion_class();
py::object answersheet_class();
py::object answer_class();
py::object extractor_client_class();

}  // namespace tovrane::names
