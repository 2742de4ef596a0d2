// The structured response models: pydantic models whose strict JSON schemas the service fills.
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

#include "common/names.hpp"
#include "model_broker/operations.hpp"

namespace tovrane::model_broker {

namespace {

using Field = std::pair<const char*, py::object>;

/// A pydantic model as a class statement would declare it: the docstring becomes the
/// schema's description, the fields keep their order and are all required.
py::object make_model(py::module_& m, const char* name, const char* doc, std::initializer_list<Field> fields) {
    py::module_ pydantic = py::module_::import("pydantic");
    py::dict spec;
    spec["__base__"] = pydantic.attr("BaseModel");
    spec["__doc__"] = doc;
    spec["__module__"] = names::kModelBrokerModule;
    for (const auto& [field, type] : fields) spec[field] = py::make_tuple(type, py::ellipsis());
    py::object model = pydantic.attr("create_model")(name, **spec);
    m.attr(name) = model;
    return model;
}

}  // namespace

// The docstrings are part of what the service sees: they become the schemas' descriptions.
void add_response_models(py::module_& m) {
    py::module_ builtins = py::module_::import("builtins");
    py::object str = builtins.attr("str");
    py::object number = builtins.attr("float");
    py::object list = builtins.attr("list");
    py::object int_list = list[builtins.attr("int")];

    py::object criterion = make_model(m, "CriterionModel", "Model for a single criterion",
                                      {{"statement", str}, {"mark", number}});
    make_model(m, "RubricResponse", "Structured response for rubric generation", {{"criteria", list[criterion]}});
    make_model(m, "ReferenceAnswerResponse", "Structured response for reference answer generation", {{"reference_answer", str}});
    make_model(m, "EvaluationResponse", "Structured response for answer evaluation",
               {{"fulfilled_criteria", int_list}, {"awarded_marks", number}, {"feedback", str}});
    py::object question = make_model(m, "QuestionModel", "Model for a single question",
                                     {{"q_id", str}, {"question_text", str}, {"max_marks", number}});
    make_model(m, "QuestionPaperResponse", "Structured response for question paper parsing", {{"questions", list[question]}});
    py::object reference = make_model(m, "ReferenceAnswerModel", "Model for a single reference answer",
                                      {{"q_id", str}, {"reference_answer", str}});
    make_model(m, "ReferenceAnswerKeysResponse", "Structured response for reference answer generation",
               {{"reference_answers", list[reference]}});
    py::object answer = make_model(m, "StudentAnswerModel", "Model for a single student answer",
                                   {{"q_id", str}, {"answer_text", str}, {"page_numbers", int_list}});
    make_model(m, "AnswersheetResponse", "Structured response for answersheet parsing", {{"answers", list[answer]}});
}

}  // namespace tovrane::model_broker
