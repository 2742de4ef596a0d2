"""SheetPipeline: an answer that was not evaluated is recorded and reported as such, never
passed off as a zero; interrupted evaluations keep the marks already given. The real broker
and document model, the official client against the loopback fake service."""

import pytest

from support.broker_fakes import make_broker, run_cut_short  # noqa: F401  (fixture)
from tovrane_core.datastructures import Answer, Answersheet, Criterion, Question, QuestionPaper, Rubric
from tovrane_core.sheet_pipeline import SheetPipeline

SLOW = 30  # seconds a held-back reply would take; nothing here may wait for it
EXPORT_KEYS = ["qid", "question", "ref_answer", "student_answer", "answer_pages", "rubric", "max_marks",
             "obtained_marks", "feedback"]
EVALUATED = {"fulfilled_criteria": [0], "awarded_marks": 2, "feedback": "Good."}


def paper():
    qp = QuestionPaper(subject="Science", language="English", class_level="8")
    for q_id, rubric, reference in [("q1", True, True), ("q2", True, True), ("q3", False, True),
                                    ("q4", True, False), ("q5", True, True)]:
        q = Question(q_id=q_id, text=f"Question {q_id}?", max_marks=3)
        if rubric:
            q.set_rubric(Rubric([Criterion(statement="Main point", mark=2), Criterion(statement="Detail", mark=1)]))
        if reference:
            q.set_reference_answer(f"Reference for {q_id}.")
        qp.add_question(q)
    return qp


def sheet(*q_ids):
    s = Answersheet(subject="Science", language="English", class_level="8")
    for q_id in q_ids:
        s.add_answer(q_id, Answer(q_id=q_id, text=f"Answer {q_id} in full.", pages=[1]))
    return s


def answering(failing=(), held=()):
    """Evaluation replies by the student answer in the prompt: 500 for `failing`, late for `held`."""
    def reply(request):
        text = request.messages[-1]["content"]
        if any(f"Answer {q} in full." in text for q in failing):
            return {"status": 500, "error": "upstream down"}
        late = any(f"Answer {q} in full." in text for q in held)
        return {"content": EVALUATED, "delay": SLOW if late else 0}
    return reply


@pytest.fixture
def pipeline(make_broker):
    return SheetPipeline(None, make_broker(max_retries=0))


def test_failed_and_skipped_answers_are_recorded_not_zeroed(fake_openai, pipeline, capsys):
    fake_openai.script("EvaluationResponse", answering(failing=["q2"]))
    qp, s = paper(), sheet("q1", "q2", "q3", "q4")

    records = pipeline.evaluate_all_answers(s, qp)

    out = capsys.readouterr().out.splitlines()
    assert "[SheetPipeline]:   Skipping q3 - no rubric available" in out
    assert "[SheetPipeline]:   Skipping q4 - no reference answer available" in out
    assert list(records) == ["q1"]
    assert records["q1"]["awarded_marks"] == 2.0
    assert (records["q1"]["evaluated"], records["q1"]["evaluation_error"]) == (True, None)

    failed = s.get_answer("q2").evaluation_error
    assert failed.startswith("Failed to evaluate answer: Error code: 500") and "upstream down" in failed
    states = {q: (s.get_answer(q).evaluated, s.get_answer(q).evaluation_error) for q in s.get_question_ids()}
    assert states == {"q1": (True, None), "q2": (False, failed), "q3": (False, "no rubric"),
                      "q4": (False, "no reference answer")}

    entries = pipeline.get_answersheet_format(s, qp)
    assert [list(e) for e in entries] == [EXPORT_KEYS + ["attempted", "evaluated", "evaluation_error"]] * 5
    by_id = {e["qid"]: e for e in entries}
    # The nine keys keep their values; the added ones tell a zero from no verdict.
    assert [by_id["q2"][k] for k in ("rubric", "obtained_marks", "feedback")] == [[], 0, ""]
    assert [by_id[q]["obtained_marks"] for q in ("q1", "q2", "q3", "q4", "q5")] == [2.0, 0, 0, 0, 0]
    assert [(by_id[q]["attempted"], by_id[q]["evaluated"], by_id[q]["evaluation_error"])
            for q in ("q1", "q2", "q3", "q4", "q5")] == [
        (True, True, None), (True, False, failed), (True, False, "no rubric"),
        (True, False, "no reference answer"), (False, False, None)]

    validation = pipeline.validate_processing(s, qp)
    assert validation["valid"] is True
    assert validation["warnings"] == [
        f"Answer for q2 was not evaluated: {failed}",
        "Answer for q3 was not evaluated: no rubric",
        "Answer for q4 was not evaluated: no reference answer",
    ]

    s.unmatched_answers = ["Unknown"]  # as the broker's parsing leaves them
    summary = pipeline.get_summary(s, qp)
    assert list(summary)[:6] == ["total_questions", "attempted_questions", "total_marks", "obtained_marks",
                                 "unattempted_questions", "attempted_details"]
    assert (summary["attempted_questions"], summary["obtained_marks"]) == (4, 2.0)
    assert [summary[k] for k in ("evaluated_answers", "not_evaluated_answers", "unmatched_answers")] == [1, 3, 1]


def test_single_answer_failure_is_noted_and_a_later_success_clears_it(fake_openai, pipeline):
    qp, s = paper(), sheet("q1", "q3")
    fake_openai.enqueue(status=500, error="upstream down")
    with pytest.raises(RuntimeError, match="^Failed to evaluate answer for question q1: Failed to evaluate answer: "):
        pipeline.evaluate_answer_by_qid("q1", s, qp)
    answer = s.get_answer("q1")
    assert answer.evaluated is False and "upstream down" in answer.evaluation_error

    fake_openai.enqueue(content=EVALUATED)
    result = pipeline.evaluate_answer_by_qid("q1", s, qp)
    assert (result["evaluated"], answer.evaluated, answer.evaluation_error) == (True, True, None)

    skip = pipeline.evaluate_answer_by_qid("q3", s, qp)
    assert skip == {"qid": "q3", "status": "skipped", "reason": "no rubric"}
    assert s.get_answer("q3").evaluation_error == "no rubric"


@pytest.mark.parametrize("route", ["sync", "async"])
def test_interrupted_evaluation_keeps_the_marks_already_given(fake_openai, pipeline, route):
    fake_openai.script("EvaluationResponse", answering(held=["q2", "q5"]))
    qp, s = paper(), sheet("q1", "q2", "q5")
    took = run_cut_short(pipeline.model_broker, 1, route, lambda: pipeline.evaluate_all_answers(s, qp),
                         lambda: pipeline.evaluate_all_answers_async(s, qp))
    assert took < SLOW / 3  # did not wait for the held-back replies
    q1 = s.get_answer("q1")
    assert (q1.evaluated, q1.feedback, q1.eval_rubric.get_awarded_marks()) == (True, "Good.", 2.0)
    assert [s.get_answer(q).eval_rubric for q in ("q2", "q5")] == [None, None]
    assert pipeline.get_summary(s, qp)["evaluated_answers"] == 1
