"""The structured response models and the strict schemas the official client sends for them."""

import pydantic
import pytest
from openai.lib._parsing._completions import type_to_response_format_param

from tovrane_core import model_broker

# name: (description, [(field, annotation)])
MODELS = {
    "CriterionModel": ("Model for a single criterion", [("statement", str), ("mark", float)]),
    "RubricResponse": ("Structured response for rubric generation",
                       [("criteria", list[model_broker.CriterionModel])]),
    "ReferenceAnswerResponse": ("Structured response for reference answer generation",
                                [("reference_answer", str)]),
    "EvaluationResponse": ("Structured response for answer evaluation",
                           [("fulfilled_criteria", list[int]), ("awarded_marks", float), ("feedback", str)]),
    "QuestionModel": ("Model for a single question",
                      [("q_id", str), ("question_text", str), ("max_marks", float)]),
    "QuestionPaperResponse": ("Structured response for question paper parsing",
                              [("questions", list[model_broker.QuestionModel])]),
    "ReferenceAnswerModel": ("Model for a single reference answer", [("q_id", str), ("reference_answer", str)]),
    "ReferenceAnswerKeysResponse": ("Structured response for reference answer generation",
                                    [("reference_answers", list[model_broker.ReferenceAnswerModel])]),
    "StudentAnswerModel": ("Model for a single student answer",
                           [("q_id", str), ("answer_text", str), ("page_numbers", list[int])]),
    "AnswersheetResponse": ("Structured response for answersheet parsing",
                            [("answers", list[model_broker.StudentAnswerModel])]),
}


@pytest.mark.parametrize("name", MODELS)
def test_model_declaration(name):
    description, fields = MODELS[name]
    model = getattr(model_broker, name)
    assert issubclass(model, pydantic.BaseModel)
    assert (model.__name__, model.__qualname__, model.__module__) == (name, name, "tovrane_core.model_broker")
    assert model.__doc__ == description
    assert [(f, info.annotation) for f, info in model.model_fields.items()] == fields
    assert all(info.is_required() for info in model.model_fields.values())
    assert not any(n for n in vars(model) if not n.startswith("_") and n not in ("model_config",))


def strict_object(description, title, properties):
    return {"description": description, "properties": properties, "required": list(properties),
            "title": title, "type": "object", "additionalProperties": False}


# The response_format the official client builds, pinned for two shapes.
RUBRIC_FORMAT = {"type": "json_schema", "json_schema": {"name": "RubricResponse", "strict": True, "schema": {
    "$defs": {"CriterionModel": strict_object("Model for a single criterion", "CriterionModel", {
        "statement": {"title": "Statement", "type": "string"},
        "mark": {"title": "Mark", "type": "number"}})},
    **strict_object("Structured response for rubric generation", "RubricResponse", {
        "criteria": {"items": {"$ref": "#/$defs/CriterionModel"}, "title": "Criteria", "type": "array"}})}}}
EVALUATION_FORMAT = {"type": "json_schema", "json_schema": {"name": "EvaluationResponse", "strict": True,
                                                            "schema": strict_object(
    "Structured response for answer evaluation", "EvaluationResponse", {
        "fulfilled_criteria": {"items": {"type": "integer"}, "title": "Fulfilled Criteria", "type": "array"},
        "awarded_marks": {"title": "Awarded Marks", "type": "number"},
        "feedback": {"title": "Feedback", "type": "string"}})}}


@pytest.mark.parametrize("model, expected", [
    (model_broker.RubricResponse, RUBRIC_FORMAT), (model_broker.EvaluationResponse, EVALUATION_FORMAT)])
def test_strict_schema_sent_by_the_client(model, expected):
    assert type_to_response_format_param(model) == expected


@pytest.mark.parametrize("name", MODELS)
def test_every_model_is_a_strict_schema_with_its_description(name):
    fmt = type_to_response_format_param(getattr(model_broker, name))["json_schema"]
    assert (fmt["name"], fmt["strict"]) == (name, True)
    schema = fmt["schema"]
    objects = [schema, *schema.get("$defs", {}).values()]
    for obj in objects:
        assert obj["additionalProperties"] is False and obj["required"] == list(obj["properties"])
        assert obj["description"] == MODELS[obj["title"]][0]


def test_answers_validate_as_the_service_sends_them():
    assert model_broker.RubricResponse.model_validate_json('{"criteria": []}').criteria == []
    rubric = model_broker.RubricResponse.model_validate_json('{"criteria": [{"statement": "s", "mark": 5}]}')
    assert type(rubric.criteria[0].mark) is float and rubric.criteria[0].mark == 5.0
    paper = model_broker.QuestionPaperResponse.model_validate(
        {"questions": [{"q_id": "1a", "question_text": "?", "max_marks": 2}]})
    assert isinstance(paper.questions[0], model_broker.QuestionModel) and paper.questions[0].max_marks == 2.0
    with pytest.raises(pydantic.ValidationError, match="feedback"):
        model_broker.EvaluationResponse.model_validate_json('{"fulfilled_criteria": [0], "awarded_marks": 1}')
