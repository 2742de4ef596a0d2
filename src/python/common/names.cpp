// The package's Python modules and the classes the modules look up from each other.
#include "common/names.hpp"

#include "common/python.hpp"

namespace tovrane::names {

using py_util::module_attr;

py::object model_broker_class() { return module_attr(kModelBrokerModule, "ModelBroker"); }
py::object response_model(const char* name) { return module_attr(kModelBrokerModule, name); }
py::object paper_pipeline_class() { return module_attr(kPaperPipelineModule, "PaperPipeline"); }
py::object sheet_pipeline_class() { return module_attr(kSheetPipelineModule, "SheetPipeline"); }
py::object config_class() { return module_attr(kFacadeModule, "TovraneConfig"); }
py::object tovrane_class() { return module_attr(kFacadeModule, "Tovrane"); }
py::object question_paper_class() { return module_attr(kQuestionPaperModule, "QuestionPaper"); }
py::object question_class() { return module_attr(kQuestionPaperModule, "Question"); }
py::object rubric_class() { return module_attr(kRubricModule, "Rubric"); }
py::object criterion_class() { return module_attr(kRubricModule, "Criterion"); }
py::object answersheet_class() { return module_attr(kAnswersheetModule, "Answersheet"); }
py::object answer_class() { return module_attr(kAnswersheetModule, "Answer"); }
py::object extractor_client_class() { return module_attr(kExtractorClientModule, "ExtractorClient"); }

}  // namespace tovrane::names
