// The structured response models: pydantic models whose strict JSON schemas the service fills.
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string_view>
#include <utility>

#include "broker/broker.hpp"
#include "engine/text/broker_texts.hpp"

namespace tovrane::broker {

namespace texts = tovrane::text::broker;

namespace {

constexpr const char* kModelsModule = "tovrane_core.model_broker";

using Field = std::pair<const char*, py::object>;

/// A pydantic model as a class statement would declare it: the docstring becomes the
/// schema's description, the fields keep their order and are all required.
py::object make_model(py::module_& m, const char* name, std::string_view doc,
                      std::initializer_list<Field> fields) {
    py::module_ pydantic = py::module_::import("pydantic");
    py::dict spec;
    spec["__base__"] = pydantic.attr("BaseModel");
    spec["__doc__"] = py::str(doc.data(), doc.size());
    spec["__module__"] = kModelsModule;
    for (const auto& [field, type] : fields) spec[field] = py::make_tuple(type, py::ellipsis());
    py::object model = pydantic.attr("create_model")(name, **spec);
    m.attr(name) = model;
    return model;
}

}  // namespace

void add_response_models(py::module_& m) {
    py::module_ builtins = py::module_::import("builtins");
    py::object str = builtins.attr("str");
    py::object number = builtins.attr("float");
    py::object list = builtins.attr("list");
    py::object int_list = list[builtins.attr("int")];

    py::object criterion = make_model(m, "CriterionModel", texts::kCriterionModelDoc,
                                      {{"statement", str}, {"mark", number}});
    make_model(m, "RubricResponse", texts::kRubricResponseDoc, {{"criteria", list[criterion]}});
    make_model(m, "ReferenceAnswerResponse", texts::kReferenceAnswerResponseDoc, {{"reference_answer", str}});
    make_model(m, "EvaluationResponse", texts::kEvaluationResponseDoc,
               {{"fulfilled_criteria", int_list}, {"awarded_marks", number}, {"feedback", str}});
    py::object question = make_model(m, "QuestionModel", texts::kQuestionModelDoc,
                                     {{"q_id", str}, {"question_text", str}, {"max_marks", number}});
    make_model(m, "QuestionPaperResponse", texts::kQuestionPaperResponseDoc, {{"questions", list[question]}});
    py::object reference = make_model(m, "ReferenceAnswerModel", texts::kReferenceAnswerModelDoc,
                                      {{"q_id", str}, {"reference_answer", str}});
    make_model(m, "ReferenceAnswerKeysResponse", texts::kReferenceAnswerKeysResponseDoc,
               {{"reference_answers", list[reference]}});
    py::object answer = make_model(m, "StudentAnswerModel", texts::kStudentAnswerModelDoc,
                                   {{"q_id", str}, {"answer_text", str}, {"page_numbers", int_list}});
    make_model(m, "AnswersheetResponse", texts::kAnswersheetResponseDoc, {{"answers", list[answer]}});
}

}  // namespace tovrane::broker
