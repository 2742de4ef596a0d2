"""ModelBroker batches: the thread-pool runner and batches, the async batches, the sync wrappers."""

import asyncio
import threading
import time

import pytest

from support.broker_fakes import make_broker  # noqa: F401  (fixture)
from tovrane_core.datastructures import Criterion, Rubric

WAIT = 10  # seconds; only a broken run ever waits this long

RUBRIC = {"question": "Q", "max_marks": 4, "class_level": "10", "subject": "Maths", "reference_answer": "R"}
REF = {"question": "Q", "rubric": "RUBRIC", "class_level": "10", "subject": "Maths"}
EVAL = {"student_answer": "A", "question": "Q", "rubric": "RUBRIC", "reference_answer": "R"}

# Per kind: the three batches, the blocking operation, the result key, an input record.
KINDS = [
    ("generate_rubrics_batch", "generateRubric", "rubric", RUBRIC),
    ("generate_ref_answers_batch", "generateRefAnswer", "ref_answer", REF),
    ("evaluate_answers_batch", "evaluateAnswer", "evaluation", EVAL),
]


@pytest.fixture
def broker(make_broker):
    return make_broker()


def recorder(calls):
    """A blocking operation that records and returns its arguments."""
    return lambda *args: calls.append(args) or args


def async_recorder(calls, fail_on=None):
    """An async operation that records its keywords, returns the question and fails for one."""
    async def op(**kwargs):
        calls.append(kwargs)
        await asyncio.sleep(0)
        if kwargs["question"] == fail_on:
            raise RuntimeError(f"failed {fail_on}")
        return f"done {kwargs['question']}"
    return op


def numbered(record, count):
    return [dict(record, q_id=f"q{i}", question=f"Q{i}") for i in range(count)]


# ---- run_concurrent_tasks -------------------------------------------------------------------

def test_results_keep_task_order_when_later_tasks_finish_first(broker):
    last_done = threading.Event()

    def first():
        assert last_done.wait(WAIT), "the last task never ran beside the first"
        return "first"

    tasks = [{"func": first, "args": []}] + [{"func": str, "args": (i,)} for i in (1, 2, 3)]
    tasks.append({"func": lambda: last_done.set() or "last", "args": ()})
    assert broker.run_concurrent_tasks(tasks) == ["first", "1", "2", "3", "last"]


def test_a_failing_task_becomes_its_error_text_and_the_others_run(broker):
    def op(i):
        if i == 2:
            raise KeyError("missing")
        return i * 10

    tasks = [{"func": op, "args": (i,)} for i in range(5)]
    assert broker.run_concurrent_tasks(tasks, 2) == [0, 10, "Error in task 2: 'missing'", 30, 40]


def test_worker_count_defaults_to_max_concurrent_requests(make_broker):
    # Three tasks meet at a three-party barrier only when three workers run them at once.
    barrier = threading.Barrier(3, timeout=WAIT)
    tasks = [{"func": barrier.wait, "args": ()} for _ in range(3)]
    assert sorted(make_broker(max_concurrent_requests=3).run_concurrent_tasks(tasks)) == [0, 1, 2]


@pytest.mark.parametrize("bad, missing", [({"args": ()}, "func"), ({"func": str}, "args"), ({}, "func")])
def test_a_description_without_func_or_args_fails_the_run(broker, bad, missing):
    ran = []
    tasks = [{"func": ran.append, "args": ("before",)}, bad, {"func": ran.append, "args": ("after",)}]
    with pytest.raises(KeyError) as err:
        broker.run_concurrent_tasks(tasks)
    assert err.value.args == (missing,)
    assert ran == ["before"]  # finished before the error is raised; nothing after it ran


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_are_raised_not_turned_into_error_texts(broker, error):
    def interrupt():
        raise error()

    ran = []
    tasks = [{"func": interrupt, "args": ()}] + [{"func": ran.append, "args": (i,)} for i in range(20)]
    with pytest.raises(error):
        broker.run_concurrent_tasks(tasks, 1)
    assert ran == []  # one worker: nothing after the interrupt started


# ---- Thread-pool batches --------------------------------------------------------------------

@pytest.mark.parametrize("batch, op, key, record", KINDS)
def test_thread_pool_batch_hands_descriptions_to_the_runner(broker, batch, op, key, record):
    seen = []
    setattr(broker, op, recorder([]))
    broker.run_concurrent_tasks = lambda tasks, max_workers: seen.append((tasks, max_workers)) or "ran"
    assert getattr(broker, batch)([record], max_workers=7) == "ran"
    [([description], max_workers)] = seen
    assert max_workers == 7 and list(description) == ["func", "args"]
    assert description["func"] == getattr(broker, op)
    assert tuple(description["args"]) == tuple(record.values())  # the records list keys in order


def test_thread_pool_batch_third_item_failing(broker):
    def op(student_answer, *_):
        if student_answer == "A2":
            raise RuntimeError("service down")
        return {"answer": student_answer}

    broker.evaluateAnswer = op
    results = broker.evaluate_answers_batch([dict(EVAL, student_answer=f"A{i}") for i in range(5)])
    assert results == [{"answer": "A0"}, {"answer": "A1"}, "Error in task 2: service down",
                       {"answer": "A3"}, {"answer": "A4"}]


@pytest.mark.parametrize("batch, op, key, record", KINDS)
def test_thread_pool_batch_with_a_missing_key_fails_before_any_call(broker, batch, op, key, record):
    calls = []
    setattr(broker, op, recorder(calls))
    with pytest.raises(KeyError):
        getattr(broker, batch)([record, {k: v for k, v in record.items() if k != "question"}])
    assert calls == []


def test_rubric_record_without_reference_answer_uses_empty_text(broker):
    calls, async_calls = [], []
    broker.generateRubric = recorder(calls)
    broker.generateRubric_async = async_recorder(async_calls)
    record = {k: v for k, v in RUBRIC.items() if k != "reference_answer"}
    broker.generate_rubrics_batch([record])
    broker.generate_rubrics_batch_sync([dict(record, q_id="a")])
    assert calls == [("Q", 4, "10", "Maths", "")]
    assert async_calls == [dict(RUBRIC, reference_answer="")]


# ---- Async batches --------------------------------------------------------------------------

@pytest.mark.parametrize("batch, op, key, record", KINDS)
def test_async_batch_records_success_and_failure(broker, batch, op, key, record):
    calls = []
    setattr(broker, op + "_async", async_recorder(calls, fail_on="Q2"))
    results = asyncio.run(getattr(broker, batch + "_async")(numbered(record, 5)))
    expected = [{"q_id": f"q{i}", "success": True, key: f"done Q{i}"} for i in range(5)]
    expected[2] = {"q_id": "q2", "success": False, "error": "failed Q2"}
    assert results == expected
    assert [list(r) for r in results] == [list(e) for e in expected]  # key order too
    assert sorted(calls, key=lambda c: c["question"]) == [dict(record, question=f"Q{i}") for i in range(5)]


def test_async_batch_keeps_order_when_later_items_finish_first(broker):
    async def main():
        last_done = asyncio.Event()

        async def op(**kwargs):
            if kwargs["question"] == "Q0":
                await asyncio.wait_for(last_done.wait(), WAIT)
            last_done.set()
            return kwargs["question"]

        broker.generateRefAnswer_async = op
        return await broker.generate_ref_answers_batch_async(numbered(REF, 4))

    results = asyncio.run(main())
    assert [(r["q_id"], r["ref_answer"]) for r in results] == [(f"q{i}", f"Q{i}") for i in range(4)]


def test_async_item_missing_an_input_key_fails_alone(broker):
    broker.evaluateAnswer_async = async_recorder([])
    incomplete = {k: v for k, v in EVAL.items() if k != "rubric"}
    results = asyncio.run(broker.evaluate_answers_batch_async([dict(EVAL, q_id="a"), dict(incomplete, q_id="b")]))
    assert results == [{"q_id": "a", "success": True, "evaluation": "done Q"},
                       {"q_id": "b", "success": False, "error": "'rubric'"}]


@pytest.mark.parametrize("fail", [False, True])
@pytest.mark.parametrize("wrapper", [False, True])
def test_record_without_q_id_fails_the_batch_once_all_items_are_done(broker, fail, wrapper):
    finished = []
    original = broker._request_semaphore

    async def op(**kwargs):
        await asyncio.sleep(0.05 if kwargs["question"] == "slow" else 0)
        finished.append(kwargs["question"])
        if fail:
            raise RuntimeError("service down")
        return "ok"

    broker.generateRubric_async = op
    data = [dict(RUBRIC, q_id="a", question="slow"), dict(RUBRIC, question="no id")]
    with pytest.raises(KeyError) as err:
        if wrapper:
            broker.generate_rubrics_batch_sync(data)
        else:
            asyncio.run(broker.generate_rubrics_batch_async(data))
    assert err.value.args == ("q_id",)
    assert sorted(finished) == ["no id", "slow"]
    assert broker._request_semaphore is original


@pytest.mark.parametrize("batch, op, key, record", KINDS)
def test_empty_input_gives_empty_results_without_calls(broker, batch, op, key, record):
    calls = []
    setattr(broker, op, recorder(calls))
    setattr(broker, op + "_async", async_recorder(calls))
    assert asyncio.run(getattr(broker, batch + "_async")([])) == []
    assert getattr(broker, batch + "_sync")([]) == []
    assert getattr(broker, batch)([]) == []
    assert calls == []


@pytest.mark.parametrize("wrapper", [False, True])
def test_cancellation_is_no_failure_record(broker, wrapper):
    original = broker._request_semaphore

    async def op(**kwargs):
        raise asyncio.CancelledError()

    broker.evaluateAnswer_async = op
    with pytest.raises(asyncio.CancelledError):
        if wrapper:
            broker.evaluate_answers_batch_sync(numbered(EVAL, 1))
        else:
            asyncio.run(broker.evaluate_answers_batch_async(numbered(EVAL, 1)))
    assert broker._request_semaphore is original


# ---- Sync wrappers --------------------------------------------------------------------------

@pytest.mark.parametrize("batch, op, key, record", KINDS)
def test_wrapper_runs_the_async_batch_under_a_fresh_semaphore(make_broker, batch, op, key, record):
    broker = make_broker(max_concurrent_requests=2)
    original = broker._request_semaphore
    seen = []

    async def op_fn(**kw):
        semaphore = broker._request_semaphore
        seen.append(semaphore)
        # Two permits, and they belong to the wrapper's loop.
        await semaphore.acquire()
        await semaphore.acquire()
        locked = semaphore.locked()
        semaphore.release()
        semaphore.release()
        return locked

    setattr(broker, op + "_async", op_fn)
    results = getattr(broker, batch + "_sync")(numbered(record, 2))
    assert results == [{"q_id": f"q{i}", "success": True, key: True} for i in range(2)]
    assert len(seen) == 2 and seen[0] is seen[1] and seen[0] is not original
    assert broker._request_semaphore is original


@pytest.mark.parametrize("batch, op, key, record", KINDS)
def test_wrapper_inside_a_running_loop_refuses(broker, batch, op, key, record):
    calls = []
    setattr(broker, op + "_async", async_recorder(calls))
    original = broker._request_semaphore

    async def main():
        return getattr(broker, batch + "_sync")(numbered(record, 2))

    error = (f"Sync wrapper error: Cannot call {batch}_sync from within an async context. "
             f"Use {batch}_async instead.")
    assert asyncio.run(main()) == [{"q_id": "q0", "success": False, "error": error},
                                   {"q_id": "q1", "success": False, "error": error}]
    assert calls == [] and broker._request_semaphore is original


def test_wrapper_failure_becomes_records_and_restores_the_semaphore(broker):
    original = broker._request_semaphore

    async def broken(data):
        raise ValueError("batch broke")

    broker.evaluate_answers_batch_async = broken
    assert broker.evaluate_answers_batch_sync(numbered(EVAL, 2)) == [
        {"q_id": f"q{i}", "success": False, "error": "Sync wrapper error: batch broke"} for i in range(2)]
    assert broker._request_semaphore is original


# ---- Through the real operations and the official client -----------------------------------

EVALUATION = {"fulfilled_criteria": [0], "awarded_marks": 2.0, "feedback": "Good."}
LATENCY = 0.3


def evaluation_records(count):
    rubric = Rubric([Criterion(statement="Names the process", mark=2.0)])
    return [dict(EVAL, q_id=f"q{i}", rubric=rubric) for i in range(count)]


@pytest.fixture
def served_broker(fake_openai, make_broker):
    """A broker whose real operations reach the fake service, warmed up (imports, schema,
    connections), with every later reply LATENCY late."""
    fake_openai.script("EvaluationResponse", content=EVALUATION)
    broker = make_broker(max_concurrent_requests=5)
    broker.evaluate_answers_batch(evaluation_records(1))
    broker.evaluate_answers_batch_sync(evaluation_records(1))
    fake_openai.latency = LATENCY
    return broker


@pytest.mark.parametrize("run", [
    lambda broker: broker.evaluate_answers_batch(evaluation_records(5)),
    lambda broker: [r["evaluation"] for r in broker.evaluate_answers_batch_sync(evaluation_records(5))],
], ids=["thread-pool", "sync-wrapper"])
def test_five_calls_at_five_workers_take_about_one_latency(served_broker, fake_openai, run):
    start = time.monotonic()
    evaluations = run(served_broker)
    elapsed = time.monotonic() - start
    assert [(e["awarded_marks"], e["feedback"]) for e in evaluations] == [(2.0, "Good.")] * 5
    times = fake_openai.request_times[-5:]
    # All five requests arrive while the first is still being answered.
    assert max(times) - min(times) < LATENCY
    assert elapsed < 3 * LATENCY


def test_wrappers_work_again_and_again_with_the_official_client(served_broker):
    original = served_broker.async_client
    # Each run has its own loop; connections pooled by an earlier, closed loop must not
    # be reused by a later one.
    for _ in range(3):
        results = served_broker.evaluate_answers_batch_sync(evaluation_records(3))
        assert [r.get("evaluation", {}).get("feedback", r.get("error")) for r in results] == ["Good."] * 3
        assert served_broker.async_client is original
