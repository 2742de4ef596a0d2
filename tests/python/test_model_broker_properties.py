"""The broker's result building under any answer that fits the response schemas: marks at
every float edge, indices of any size, any Unicode text with lone surrogates. Each
operation returns exactly what the answer says, or fails with its own error text."""

import asyncio
import json

import pytest
from hypothesis import example, given, settings, strategies as st

from support.broker_fakes import AsyncScriptedCompletions, ScriptedCompletions, client_with, make_broker  # noqa: F401
from support.broker_fakes import response, usage
from support.properties import any_float, any_int, any_text, has_surrogate
from tovrane_core import model_broker as mb
from tovrane_core.datastructures import Criterion, QuestionPaper, Question, Rubric


@pytest.fixture
def broker(make_broker, capsys):
    b = make_broker(requests_per_minute=10**9)  # examples come faster than any real window
    yield b
    capsys.readouterr()


def answer(model, **fields):
    return response(content="{}", usage=usage(3, 4), parsed=getattr(mb, model).model_validate(fields))


def run(broker, route, operation, parsed, *args):
    """The operation's result on the blocking or the coroutine route, answered with `parsed`."""
    if route == "blocking":
        broker.client = client_with(ScriptedCompletions(parsed))
        return getattr(broker, operation)(*args)
    broker.async_client = client_with(AsyncScriptedCompletions(parsed))
    return asyncio.run(getattr(broker, operation + "_async")(*args))


def valid_mark(m):
    return m == m and 0 <= m <= 1000


routes = pytest.mark.parametrize("route", ["blocking", "coroutine"])


@routes
@given(criteria=st.lists(st.tuples(any_text, any_float), max_size=5))
@example(criteria=[("ok", 1.0), ("\ud800", 2.0)])
@example(criteria=[("a", 0.0), ("b", -0.0), ("c", 1000.0)])
@example(criteria=[("a", 5e-324), ("b", 1000.0000000000001)])
@example(criteria=[("a", float("nan"))])
def test_rubric_is_the_answers_criteria_or_names_the_first_bad_mark(broker, route, criteria):
    parsed = answer("RubricResponse", criteria=[{"statement": s, "mark": m} for s, m in criteria])
    try:
        rubric = run(broker, route, "generateRubric", parsed, "Q?", 4.0, "8", "Science", "")
    except RuntimeError as err:
        text = str(err)
        assert text.startswith("Failed to generate rubric: ")
        bad = [i for i, (s, m) in enumerate(criteria) if not valid_mark(m)]
        if any(has_surrogate(s) for s, _ in criteria):
            return  # a statement that cannot be held as text is refused, whatever its mark
        assert bad, f"refused a valid answer: {text}"
        i = bad[0]
        assert text == f"Failed to generate rubric: Criterion {i} mark must be a number from 0 to 1000, not {criteria[i][1]}"
        return
    assert not any(has_surrogate(s) for s, _ in criteria)
    assert all(valid_mark(m) for _, m in criteria)
    assert [(c.statement, c.mark) for c in rubric.criteria] == criteria


@routes
@given(marks=st.lists(st.floats(0, 1000), max_size=5), fulfilled=st.lists(any_int, max_size=8),
       awarded=any_float, feedback=any_text)
@example(marks=[1.0, 2.0], fulfilled=[1, 1, 1, -1, 2**64, 2**63 - 1], awarded=float("inf"), feedback="\udc00")
@example(marks=[1000.0] * 5, fulfilled=list(range(5)), awarded=-1.0, feedback="")
@example(marks=[0.1, 0.2, 0.3], fulfilled=[2, 0, 1], awarded=0.6, feedback="ok")
def test_evaluation_awards_exactly_the_marks_of_the_listed_criteria(broker, route, marks, fulfilled, awarded, feedback):
    rubric = Rubric([Criterion(statement=f"c{i}", mark=m) for i, m in enumerate(marks)])
    parsed = answer("EvaluationResponse", fulfilled_criteria=fulfilled, awarded_marks=awarded, feedback=feedback)
    record = run(broker, route, "evaluateAnswer", parsed, "my answer", "Q?", rubric, "ref")
    chosen = set(fulfilled)
    assert [c.is_fulfilled for c in record["rubric"].criteria] == [i in chosen for i in range(len(marks))]
    assert record["awarded_marks"] == sum(m for i, m in enumerate(marks) if i in chosen)
    assert record["feedback"] == feedback
    assert not any(c.is_fulfilled for c in rubric.criteria)  # the caller's rubric stays as it was
    if route == "coroutine":
        assert record["total_marks"] == sum(marks)
        assert record["fulfilled_criteria_indices"] == fulfilled


@routes
@given(questions=st.lists(st.tuples(st.sampled_from(["Q1", "Q2", "1a"]) | any_text, any_text, any_float), max_size=5))
@example(questions=[("Q1", "first", 2.0), ("Q2", "second", 3.0), ("Q1", "again", 4.0)])
@example(questions=[("Q1", "t", 0.0), ("Q2", "t", 1e308)])
@example(questions=[("", "", 1.0)])
def test_question_paper_holds_the_answers_questions_or_fails_cleanly(broker, route, questions):
    parsed = answer("QuestionPaperResponse",
                    questions=[{"q_id": q, "question_text": t, "max_marks": m} for q, t, m in questions])
    try:
        paper = run(broker, route, "parseQuestionPaper", parsed, {1: "page"}, "Science", "English", "8")
    except RuntimeError as err:
        assert str(err).startswith("Failed to parse question paper: ")
        assert any(has_surrogate(q) or has_surrogate(t) or not valid_mark(m) for q, t, m in questions), str(err)
        return
    # Identifiers the answer repeats keep their first place and take the last question given.
    expected = {}
    for q, t, m in questions:
        expected[q] = (t, m)
    assert paper.get_question_ids() == list(expected)
    assert [(paper.get_question(q).text, paper.get_question(q).max_marks) for q in expected] == list(expected.values())


@routes
@given(answers=st.lists(st.tuples(st.sampled_from(["Q1", "Q2", "Unknown", "Q9"]) | any_text, any_text,
                                  st.lists(any_int, max_size=3)), max_size=6))
@example(answers=[("Q1", "part one", [1, 2]), ("Q1", "part two", [2, 3]), ("Unknown", "?", [])])
@example(answers=[("Q2", "x", [2**70, -5])])
@example(answers=[("Q1", "a\ud800b", [1])])
def test_answersheet_keeps_every_matched_answer_and_names_the_rest(broker, route, answers):
    paper = QuestionPaper(subject="Science", language="English", class_level="8")
    for q_id in ("Q1", "Q2"):
        paper.add_question(Question(q_id=q_id, text=f"{q_id}?", max_marks=2.0))
    parsed = answer("AnswersheetResponse",
                    answers=[{"q_id": q, "answer_text": t, "page_numbers": p} for q, t, p in answers])
    try:
        sheet = run(broker, route, "parseAnswersheet", parsed, {1: "page"}, paper)
    except RuntimeError as err:
        assert str(err).startswith("Failed to parse answersheet: ")
        assert any(q in ("Q1", "Q2") and (has_surrogate(t) or any(abs(p) >= 2**63 for p in ps))
                   for q, t, ps in answers), str(err)
        return
    # A repeated identifier adds to the answer held: texts joined by a blank line (blank
    # ones left out), pages merged in order without repeats.
    texts, pages = {}, {}
    for q, t, ps in answers:
        if q not in ("Q1", "Q2"):
            continue
        if q not in texts:
            texts[q], pages[q] = t, list(ps)
            continue
        if not texts[q].strip():
            texts[q] = t
        elif t.strip():
            texts[q] += "\n\n" + t
        merged = []
        for p in pages[q] + list(ps):
            if p not in merged:
                merged.append(p)
        pages[q] = merged
    assert sheet.get_question_ids() == list(texts)
    for q in texts:
        assert sheet.get_answer(q).text == texts[q]
        assert list(sheet.get_answer(q).pages) == pages[q]
    assert sheet.unmatched_answers == [q for q, _, _ in answers if q not in ("Q1", "Q2")]


@routes
@given(text=any_text)
@example(text="\ud800\udc00 joined by hand, \udfff alone")
def test_reference_answer_is_the_answers_text_unchanged(broker, route, text):
    parsed = answer("ReferenceAnswerResponse", reference_answer=text)
    rubric = Rubric([Criterion(statement="s", mark=1.0)])
    assert run(broker, route, "generateRefAnswer", parsed, "Q?", rubric, "8", "Science") == text


# ---- The same answers as the service sends them, through the official client ---------------

@pytest.fixture
def wire_broker(fake_openai, make_broker):
    # One broker for all examples of the test: each broker opens a usage log.
    return make_broker(max_retries=0)


@settings(max_examples=max(10, settings.default.max_examples // 4))  # a loopback round trip each
@given(marks=st.lists(any_float, min_size=1, max_size=3), statement=any_text)
@example(marks=[1.0], statement="\ud800")
@example(marks=[float("inf")], statement="x")
def test_rubric_over_the_wire(fake_openai, wire_broker, capsys, marks, statement):
    broker = wire_broker
    before = fake_openai.request_count
    # json.dumps writes lone surrogates as \\ud800 escapes and NaN/Infinity bare, as a
    # careless server would.
    fake_openai.enqueue(content=json.dumps({"criteria": [{"statement": statement, "mark": m} for m in marks]}))
    try:
        rubric = broker.generateRubric("Q?", 4.0, "8", "Science", "")
    except RuntimeError as err:
        assert str(err).startswith("Failed to generate rubric: ")
    else:
        assert [(c.statement, c.mark) for c in rubric.criteria] == [(statement, m) for m in marks]
        assert all(valid_mark(m) for m in marks) and not has_surrogate(statement)
    assert fake_openai.request_count == before + 1
    capsys.readouterr()
