"""ModelBroker: marks the model produces are checked, unmatched answers are counted, interrupted
batches hand over what finished, model requests are bounded in time. Driven through the
official client against the loopback fake service."""

import asyncio
import signal
import threading
import time

import pytest

from support.broker_fakes import after_calls, make_broker, raise_interrupt  # noqa: F401  (fixture)
from tovrane_core.datastructures import Criterion, Question, QuestionPaper, Rubric

SLOW = 30  # seconds a held-back reply would take; nothing here may wait for it


@pytest.fixture
def broker(make_broker):
    # No client retries: a failing reply is one request.
    return make_broker(max_retries=0)


def rubric(*marks):
    return Rubric([Criterion(statement=f"Point {i}", mark=m) for i, m in enumerate(marks)])


def paper(*q_ids):
    qp = QuestionPaper(subject="Science", language="English", class_level="8")
    for q_id in q_ids:
        qp.add_question(Question(q_id=q_id, text=f"Question {q_id}?", max_marks=2))
    return qp


def user_text(request):
    return request.messages[-1]["content"]


# ---- Marks the model produces ---------------------------------------------------------------

QUESTION = {"q_id": "Q1", "question_text": "Name a gas."}
PAGES = ({1: "page"}, "Science", "English", "8")
RUBRIC_ARGS = ("Name a gas.", 2, "8", "Science")
WORK = [{"q_id": q, "question": f"Item {q}.", "max_marks": 1, "class_level": "8", "subject": "Science"}
        for q in "ABCD"]


@pytest.mark.parametrize("operation, content, message", [
    (lambda b: b.parseQuestionPaper(*PAGES), {"questions": [dict(QUESTION, max_marks=-5)]},
     "Failed to parse question paper: max_marks of question Q1 must be a number from 0 to 1000, not -5.0"),
    (lambda b: asyncio.run(b.parseQuestionPaper_async(*PAGES)), '{"questions": [{"q_id": "Q1", "question_text": "t", "max_marks": 1e999}]}',
     "Failed to parse question paper: max_marks of question Q1 must be a number from 0 to 1000, not inf"),
    (lambda b: b.parseQuestionPaper(*PAGES), {"questions": [dict(QUESTION, max_marks=1e308)]},
     "Failed to parse question paper: max_marks of question Q1 must be a number from 0 to 1000, not 1e+308"),
    (lambda b: b.generateRubric(*RUBRIC_ARGS), {"criteria": [{"statement": "a", "mark": 1000.5}]},
     "Failed to generate rubric: Criterion 0 mark must be a number from 0 to 1000, not 1000.5"),
    (lambda b: b.generateRubric(*RUBRIC_ARGS), {"criteria": [{"statement": "a", "mark": 2}, {"statement": "b", "mark": -1}]},
     "Failed to generate rubric: Criterion 1 mark must be a number from 0 to 1000, not -1.0"),
    (lambda b: asyncio.run(b.generateRubric_async(*RUBRIC_ARGS)), '{"criteria": [{"statement": "a", "mark": NaN}]}',
     "Failed to generate rubric: Criterion 0 mark must be a number from 0 to 1000, not nan"),
])
def test_invalid_marks_fail_the_operation(fake_openai, broker, operation, content, message):
    fake_openai.enqueue(content=content)
    with pytest.raises(RuntimeError) as err:
        operation(broker)
    assert str(err.value) == message


def test_marks_the_checks_allow_pass_unchanged(fake_openai, broker):
    # No marks printed (0) stays a question of 0 marks, as the paper's validation reports it;
    # a rubric that does not add up to the question is the paper validation's to warn about.
    fake_openai.enqueue(content={"questions": [dict(QUESTION, max_marks=0), dict(QUESTION, q_id="Q2", max_marks=1)]})
    fake_openai.enqueue(content={"criteria": [{"statement": "a", "mark": 0}, {"statement": "b", "mark": 9}]})
    qp = broker.parseQuestionPaper(*PAGES)
    assert [qp.get_question(q).max_marks for q in ("Q1", "Q2")] == [0.0, 1.0]
    assert [c.mark for c in broker.generateRubric("Name a gas.", 1, "8", "Science").criteria] == [0.0, 9.0]


def test_an_evaluation_against_invalid_marks_fails_before_any_call(fake_openai, broker):
    with pytest.raises(RuntimeError) as err:
        asyncio.run(broker.evaluateAnswer_async("Oxygen.", "Name a gas.", rubric(2, -1), "Oxygen"))
    assert str(err.value) == "Failed to evaluate answer: Criterion 1 mark must be a number from 0 to 1000, not -1.0"
    assert fake_openai.request_count == 0


def test_a_batch_item_with_invalid_marks_is_a_failure_record(fake_openai, broker):
    def reply(request):
        mark = -1 if "Item B." in user_text(request) else 1
        return {"content": {"criteria": [{"statement": "s", "mark": mark}]}}

    fake_openai.script("RubricResponse", reply)
    results = broker.generate_rubrics_batch_sync(WORK[:3])
    assert [(r["q_id"], r["success"]) for r in results] == [("A", True), ("B", False), ("C", True)]
    assert results[1] == {"q_id": "B", "success": False,
                          "error": "Failed to generate rubric: Criterion 0 mark must be a number from 0 to 1000, not -1.0"}


# ---- Answers the model could not match ------------------------------------------------------

def test_unmatched_answers_are_dropped_but_counted_and_repeats_are_merged(fake_openai, broker):
    fake_openai.enqueue(content={"answers": [
        {"q_id": "Q1", "answer_text": "Plants make food", "page_numbers": [1]},
        {"q_id": "Unknown", "answer_text": "Name: Riya", "page_numbers": [1]},
        {"q_id": "Q1", "answer_text": "using sunlight.", "page_numbers": [2, 1]},
        {"q_id": "Q9", "answer_text": "stray", "page_numbers": [3]},
    ]})
    sheet = broker.parseAnswersheet({1: "p1", 2: "p2"}, paper("Q1", "Q2"))
    assert sheet.get_question_ids() == ["Q1"]
    answer = sheet.get_answer("Q1")
    assert (answer.text, answer.pages) == ("Plants make food\n\nusing sunlight.", [1, 2])
    assert sheet.unmatched_answers == ["Unknown", "Q9"]


# ---- Interrupted batches keep what finished -------------------------------------------------

def slow_for(*questions):
    """Rubric replies: at once, except for the named questions, which are held back."""
    def reply(request):
        held = any(f"Item {q}." in user_text(request) for q in questions)
        return {"content": {"criteria": [{"statement": "s", "mark": 1}]}, "delay": SLOW if held else 0}
    return reply


def test_interrupted_sync_batch_carries_the_finished_records(fake_openai, broker):
    fake_openai.script("RubricResponse", slow_for("B", "D"))
    after_calls(broker, 2, raise_interrupt)
    kept = broker._request_semaphore
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt) as err:
        broker.generate_rubrics_batch_sync(WORK)
    assert time.monotonic() - started < SLOW / 3  # did not wait for the held-back replies
    finished = err.value.partial_results
    assert [(r["q_id"], r["success"]) for r in finished] == [("A", True), ("C", True)]
    assert [c.mark for c in finished[0]["rubric"].criteria] == [1.0]
    assert broker._request_semaphore is kept


def test_cancelled_async_batch_carries_the_finished_records(fake_openai, broker):
    fake_openai.script("RubricResponse", slow_for("A"))

    async def main():
        task = asyncio.ensure_future(broker.generate_rubrics_batch_async(WORK))
        after_calls(broker, 3, task.cancel)
        with pytest.raises(asyncio.CancelledError) as err:
            await task
        return err.value

    error = asyncio.run(main())
    assert [r["q_id"] for r in error.partial_results] == ["B", "C", "D"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupted_thread_pool_carries_the_finished_results(broker, error):
    def stop():
        raise error()

    # One worker: the tasks run in order, so the first two finish before the interrupt.
    tasks = [{"func": str, "args": (1,)}, {"func": str, "args": (2,)}, {"func": stop, "args": ()}]
    tasks += [{"func": str, "args": (i,)} for i in range(3)]
    with pytest.raises(error) as err:
        broker.run_concurrent_tasks(tasks, 1)
    assert err.value.partial_results == ["1", "2", None, None, None, None]


def test_ctrl_c_while_the_thread_pool_waits_stops_it_and_keeps_what_finished(broker):
    """A real SIGINT: the waiting caller notices it, lets the running call end, starts no more."""
    noticed = threading.Event()

    def on_sigint(signum, frame):
        noticed.set()
        raise KeyboardInterrupt("from the handler")

    def press_ctrl_c():
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        return "sent"

    def running_when_noticed():
        assert noticed.wait(SLOW)
        return "finished"

    tasks = [{"func": press_ctrl_c, "args": ()}, {"func": running_when_noticed, "args": ()}]
    tasks += [{"func": str, "args": (i,)} for i in range(40)]
    previous = signal.signal(signal.SIGINT, on_sigint)
    try:
        with pytest.raises(KeyboardInterrupt, match="from the handler") as err:
            broker.run_concurrent_tasks(tasks, 1)
    finally:
        signal.signal(signal.SIGINT, previous)
    results = err.value.partial_results
    assert results[:2] == ["sent", "finished"]
    # A worker that was just released may start one or two more before the queue is dropped.
    assert results.count(None) >= 35


# ---- Time-out and retries of model requests -------------------------------------------------

@pytest.mark.parametrize("env, kwargs, expected", [
    ({}, {}, (120.0, 2)),
    ({"TOVRANE_REQUEST_TIMEOUT": "7.5", "TOVRANE_MAX_RETRIES": " 0 "}, {}, (7.5, 0)),
    ({"TOVRANE_REQUEST_TIMEOUT": "7.5", "TOVRANE_MAX_RETRIES": "5"}, {"request_timeout": 3, "max_retries": 1}, (3.0, 1)),
    ({"TOVRANE_REQUEST_TIMEOUT": "", "TOVRANE_MAX_RETRIES": ""}, {}, (120.0, 2)),
])
def test_time_out_and_retries_from_arguments_then_environment(make_broker, monkeypatch, env, kwargs, expected):
    for name in ("TOVRANE_REQUEST_TIMEOUT", "TOVRANE_MAX_RETRIES"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    b = make_broker(**kwargs)
    assert (b.request_timeout, b.max_retries) == expected
    for client in (b.client, b.async_client):
        assert (client.timeout, client.max_retries) == expected


@pytest.mark.parametrize("env, kwargs, message", [
    ({"TOVRANE_REQUEST_TIMEOUT": "soon"}, {}, "TOVRANE_REQUEST_TIMEOUT must be a positive number of seconds, got 'soon'"),
    ({"TOVRANE_REQUEST_TIMEOUT": "0"}, {}, "TOVRANE_REQUEST_TIMEOUT must be a positive number of seconds, got '0'"),
    ({"TOVRANE_MAX_RETRIES": "1.5"}, {}, "TOVRANE_MAX_RETRIES must be a whole number, 0 or more, got '1.5'"),
    ({"TOVRANE_MAX_RETRIES": "-1"}, {}, "TOVRANE_MAX_RETRIES must be a whole number, 0 or more, got '-1'"),
    ({}, {"request_timeout": float("inf")}, "request_timeout must be a positive number of seconds, got inf"),
    ({}, {"max_retries": True}, "max_retries must be a whole number, 0 or more, got True"),
])
def test_bad_time_out_or_retries_are_refused_naming_their_source(make_broker, monkeypatch, env, kwargs, message):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(ValueError) as err:
        make_broker(**kwargs)
    assert str(err.value) == message


def test_a_silent_service_times_out(fake_openai, make_broker):
    b = make_broker(request_timeout=0.3, max_retries=0)
    fake_openai.enqueue(content={"criteria": []}, delay=SLOW)
    started = time.monotonic()
    with pytest.raises(RuntimeError, match="^Failed to generate rubric: Request timed out"):
        b.generateRubric("Name a gas.", 2, "8", "Science")
    assert time.monotonic() - started < SLOW / 3


def test_the_sync_wrappers_own_client_keeps_time_out_and_retries(make_broker):
    b = make_broker(request_timeout=9, max_retries=1)
    seen = []

    async def op(**kwargs):
        seen.append((b.async_client.timeout, b.async_client.max_retries))
        return "rubric"

    b.generateRubric_async = op
    assert b.generate_rubrics_batch_sync(WORK[:1])[0]["success"] is True
    assert seen == [(9.0, 1)]
