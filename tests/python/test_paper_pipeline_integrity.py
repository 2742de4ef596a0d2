"""PaperPipeline: failed generation stays visible on the questions and in the paper's
validation, rubrics that do not add up are flagged, interrupted batches keep what finished.
The real broker and document model against the loopback fake service."""

import pytest

from support.broker_fakes import make_broker, run_cut_short  # noqa: F401  (fixture)
from tovrane_core.datastructures import Criterion, Question, QuestionPaper, Rubric
from tovrane_core.paper_pipeline import PaperPipeline

SLOW = 30  # seconds a held-back reply would take; nothing here may wait for it


def paper(*q_ids, marks=1.0):
    qp = QuestionPaper(subject="Science", language="English", class_level="8")
    for q_id in q_ids:
        qp.add_question(Question(q_id=q_id, text=f"Explain item {q_id}.", max_marks=marks))
    return qp


def replies(content, failing=(), held=()):
    """Replies keyed on the question text in the prompt: 500 for `failing`, late for `held`."""
    def reply(request):
        text = request.messages[-1]["content"]
        if any(f"item {q}." in text for q in failing):
            return {"status": 500, "error": f"no answer for {failing}"}
        return {"content": content, "delay": SLOW if any(f"item {q}." in text for q in held) else 0}
    return reply


RUBRIC = {"criteria": [{"statement": "Names it", "mark": 1}]}
ANSWER = {"reference_answer": "A model answer."}


@pytest.fixture
def pipeline(make_broker):
    return PaperPipeline(None, make_broker(max_retries=0))


def test_failed_generation_is_noted_and_warned_until_it_succeeds(fake_openai, pipeline):
    qp = paper("Q1", "Q2", "Q3")
    fake_openai.script("RubricResponse", replies(RUBRIC, failing=["Q2"]))
    fake_openai.script("ReferenceAnswerResponse", replies(ANSWER, failing=["Q3"]))

    assert list(pipeline.generate_rubrics_for_all_questions(qp)) == ["Q1", "Q3"]
    assert list(pipeline.generate_reference_answers_for_all_questions(qp)) == ["Q1"]

    q2, q3 = qp.get_question("Q2"), qp.get_question("Q3")
    assert q2.rubric is None and q2.rubric_error.startswith("Failed to generate rubric: Error code: 500")
    assert q2.reference_answer_error is None  # skipped for want of a rubric, not failed
    assert q3.reference_answer is None and "Error code: 500" in q3.reference_answer_error
    validation = pipeline.validate_processing(qp)
    assert validation["valid"] is True
    assert validation["warnings"] == [f"Question Q2 has no rubric: {q2.rubric_error}",
                                      f"Question Q3 has no reference answer: {q3.reference_answer_error}"]

    # The next run finds the same questions missing, and success clears the notes.
    fake_openai.script("RubricResponse", replies(RUBRIC))
    fake_openai.script("ReferenceAnswerResponse", replies(ANSWER))
    assert list(pipeline.generate_rubrics_for_all_questions(qp)) == ["Q2"]
    assert list(pipeline.generate_reference_answers_for_all_questions(qp)) == ["Q2", "Q3"]
    assert (q2.rubric_error, q3.reference_answer_error) == (None, None)
    assert pipeline.validate_processing(qp)["warnings"] == []


def test_single_question_failure_is_noted(fake_openai, pipeline):
    qp = paper("Q1")
    fake_openai.enqueue(content={"criteria": [{"statement": "s", "mark": -2}]})
    with pytest.raises(RuntimeError) as err:
        pipeline.generate_rubric_for_question(qp, "Q1")
    reason = "Failed to generate rubric: Criterion 0 mark must be a number from 0 to 1000, not -2.0"
    assert str(err.value) == "Failed to generate rubric for question Q1: " + reason
    assert qp.get_question("Q1").rubric_error == reason
    assert pipeline.validate_processing(qp)["warnings"] == ["Question Q1 has no rubric: " + reason]


@pytest.mark.parametrize("marks, warned", [((9,), True), ((0.1, 0.2), False), ((0.5,), True), ((), False)])
def test_a_rubric_that_does_not_add_up_is_a_warning(marks, warned):
    qp = paper("Q1", marks=0.3)
    qp.get_question("Q1").set_rubric(Rubric([Criterion(statement="s", mark=m) for m in marks]))
    validation = PaperPipeline(None, None).validate_processing(qp)
    total = qp.get_question("Q1").rubric.total_marks()
    assert validation["warnings"] == ([f"Question Q1 has a rubric worth {total} marks for 0.3 marks"] if warned else [])
    assert validation["valid"] is True and validation["issues"] == []


@pytest.mark.parametrize("route", ["sync", "async"])
def test_interrupted_generation_keeps_the_rubrics_already_made(fake_openai, pipeline, route):
    qp = paper("Q1", "Q2", "Q3", "Q4")
    fake_openai.script("RubricResponse", replies(RUBRIC, held=["Q2", "Q4"]))
    took = run_cut_short(pipeline.model_broker, 2, route, lambda: pipeline.generate_rubrics_for_all_questions(qp),
                         lambda: pipeline.generate_rubrics_for_all_questions_async(qp))
    assert took < SLOW / 3  # did not wait for the held-back replies
    assert [qp.get_question(q).rubric is not None for q in ("Q1", "Q2", "Q3", "Q4")] == [True, False, True, False]
    assert [c.mark for c in qp.get_question("Q3").rubric.criteria] == [1.0]
