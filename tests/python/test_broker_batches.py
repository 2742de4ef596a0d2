"""ModelBroker batches: the thread-pool runner and batches, the async batches, the sync wrappers."""

import asyncio
import threading
import time

import pytest

from support.broker_fakes import make_broker  # noqa: F401  (fixture)
from tovrane_core.model_broker import EvaluationResponse

WAIT = 10  # seconds; only a broken run ever waits this long

RUBRIC = {"question": "Q", "max_marks": 4, "class_level": "10", "subject": "Maths",
          "reference_answer": "R"}
REF = {"question": "Q", "rubric": "RUBRIC", "class_level": "10", "subject": "Maths"}
EVAL = {"student_answer": "A", "question": "Q", "rubric": "RUBRIC", "reference_answer": "R"}

# (thread-pool batch, blocking operation, input record, positional arguments it receives)
THREAD_POOL = [
    ("generate_rubrics_batch", "generateRubric", RUBRIC, ("Q", 4, "10", "Maths", "R")),
    ("generate_ref_answers_batch", "generateRefAnswer", REF, ("Q", "RUBRIC", "10", "Maths")),
    ("evaluate_answers_batch", "evaluateAnswer", EVAL, ("A", "Q", "RUBRIC", "R")),
]


@pytest.fixture
def broker(make_broker):
    return make_broker()


def recorder(calls, result=lambda *args: args):
    """A blocking operation that records its arguments."""
    def op(*args):
        calls.append(args)
        return result(*args)
    return op


# ---- run_concurrent_tasks -------------------------------------------------------------------

def test_results_keep_task_order_when_later_tasks_finish_first(broker):
    last_done = threading.Event()

    def first():
        assert last_done.wait(WAIT), "the last task never ran beside the first"
        return "first"

    def last():
        last_done.set()
        return "last"

    tasks = [{"func": first, "args": []}] + [{"func": str, "args": (i,)} for i in (1, 2, 3)]
    tasks.append({"func": last, "args": ()})
    assert broker.run_concurrent_tasks(tasks) == ["first", "1", "2", "3", "last"]


def test_a_failing_task_becomes_its_error_text_and_the_others_run(broker):
    def op(i):
        if i == 2:
            raise KeyError("missing")
        return i * 10

    tasks = [{"func": op, "args": (i,)} for i in range(5)]
    assert broker.run_concurrent_tasks(tasks, 2) == [0, 10, "Error in task 2: 'missing'", 30, 40]


def test_worker_count_defaults_to_max_concurrent_requests(make_broker):
    broker = make_broker(max_concurrent_requests=3)
    # Three tasks meet at a three-party barrier only when three workers run them at once.
    barrier = threading.Barrier(3, timeout=WAIT)
    tasks = [{"func": barrier.wait, "args": ()} for _ in range(3)]
    assert sorted(broker.run_concurrent_tasks(tasks)) == [0, 1, 2]


def test_never_more_calls_at_once_than_workers(broker):
    lock = threading.Lock()
    state = {"now": 0, "peak": 0}

    def op():
        with lock:
            state["now"] += 1
            state["peak"] = max(state["peak"], state["now"])
        time.sleep(0.01)
        with lock:
            state["now"] -= 1

    broker.run_concurrent_tasks([{"func": op, "args": ()} for _ in range(8)], 2)
    assert state["peak"] <= 2


@pytest.mark.parametrize("bad, missing", [({"args": ()}, "func"), ({"func": str}, "args"),
                                          ({}, "func")])
def test_a_description_without_func_or_args_fails_the_run(broker, bad, missing):
    ran = []
    tasks = [{"func": ran.append, "args": ("submitted before",)}, bad,
             {"func": ran.append, "args": ("after",)}]
    with pytest.raises(KeyError) as err:
        broker.run_concurrent_tasks(tasks)
    assert err.value.args == (missing,)
    # The call submitted before the bad description has finished; nothing after it ran.
    assert ran == ["submitted before"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_are_raised_not_turned_into_error_texts(broker, error):
    def interrupt():
        raise error()

    ran = []
    tasks = [{"func": interrupt, "args": ()}] + [{"func": ran.append, "args": (i,)} for i in range(20)]
    with pytest.raises(error):
        broker.run_concurrent_tasks(tasks, 1)
    assert ran == []  # one worker: nothing after the interrupt started


@pytest.mark.parametrize("max_workers, error", [(0, ValueError), (-1, ValueError), (2.0, TypeError)])
def test_invalid_worker_counts(broker, max_workers, error):
    with pytest.raises(error):
        broker.run_concurrent_tasks([{"func": str, "args": ()}], max_workers)


# ---- Thread-pool batches --------------------------------------------------------------------

@pytest.mark.parametrize("batch, op, record, args", THREAD_POOL)
def test_thread_pool_batch_calls_the_operation_per_record(broker, batch, op, record, args):
    calls = []
    setattr(broker, op, recorder(calls, lambda *a: f"result {a[0]}"))
    first = next(iter(record))  # the key of the first argument
    records = [dict(record, **{first: f"X{i}"}) for i in range(3)]
    assert getattr(broker, batch)(records) == ["result X0", "result X1", "result X2"]
    assert sorted(calls) == [(f"X{i}",) + args[1:] for i in range(3)]


@pytest.mark.parametrize("batch, op, record, args", THREAD_POOL)
def test_thread_pool_batch_hands_descriptions_to_the_runner(broker, batch, op, record, args):
    seen = []
    setattr(broker, op, recorder([]))
    broker.run_concurrent_tasks = lambda tasks, max_workers: seen.append((tasks, max_workers)) or "ran"
    assert getattr(broker, batch)([record], max_workers=7) == "ran"
    [(tasks, max_workers)] = seen
    assert max_workers == 7 and len(tasks) == 1 and list(tasks[0]) == ["func", "args"]
    assert tasks[0]["func"] == getattr(broker, op) and tuple(tasks[0]["args"]) == args


def test_thread_pool_batch_third_item_failing(broker):
    def op(student_answer, *_):
        if student_answer == "A2":
            raise RuntimeError("service down")
        return {"answer": student_answer}

    broker.evaluateAnswer = op
    records = [dict(EVAL, student_answer=f"A{i}") for i in range(5)]
    results = broker.evaluate_answers_batch(records)
    assert results[2] == "Error in task 2: service down"
    assert [r for i, r in enumerate(results) if i != 2] == [{"answer": f"A{i}"} for i in (0, 1, 3, 4)]


def test_rubric_record_without_reference_answer_uses_empty_text(broker):
    calls = []
    broker.generateRubric = recorder(calls)
    record = {k: v for k, v in RUBRIC.items() if k != "reference_answer"}
    broker.generate_rubrics_batch([record])
    assert calls == [("Q", 4, "10", "Maths", "")]


@pytest.mark.parametrize("batch, op, record, args", THREAD_POOL)
def test_thread_pool_batch_with_a_missing_key_fails_before_any_call(broker, batch, op, record, args):
    calls = []
    setattr(broker, op, recorder(calls))
    incomplete = {k: v for k, v in record.items() if k != "question"}
    with pytest.raises(KeyError):
        getattr(broker, batch)([record, incomplete])
    assert calls == []


# ---- Async batches --------------------------------------------------------------------------

# (async batch, sync wrapper, async operation, result key, input record, keywords it receives)
ASYNC = [
    ("generate_rubrics_batch_async", "generate_rubrics_batch_sync", "generateRubric_async", "rubric",
     RUBRIC, dict(RUBRIC)),
    ("generate_ref_answers_batch_async", "generate_ref_answers_batch_sync", "generateRefAnswer_async",
     "ref_answer", REF, dict(REF)),
    ("evaluate_answers_batch_async", "evaluate_answers_batch_sync", "evaluateAnswer_async", "evaluation",
     EVAL, dict(EVAL)),
]


def async_recorder(calls, result=lambda **kw: kw, fail_on=None):
    """An async operation that records its keywords and fails for one question."""
    async def op(**kwargs):
        calls.append(kwargs)
        await asyncio.sleep(0)
        if fail_on is not None and kwargs["question"] == fail_on:
            raise RuntimeError(f"failed {fail_on}")
        return result(**kwargs)
    return op


def numbered(record, count):
    return [dict(record, q_id=f"q{i}", question=f"Q{i}") for i in range(count)]


@pytest.mark.parametrize("batch, wrapper, op, key, record, kwargs", ASYNC)
def test_async_batch_records_success_and_failure(broker, batch, wrapper, op, key, record, kwargs):
    calls = []
    setattr(broker, op, async_recorder(calls, lambda **kw: f"done {kw['question']}", fail_on="Q2"))
    results = asyncio.run(getattr(broker, batch)(numbered(record, 5)))
    expected = [{"q_id": f"q{i}", "success": True, key: f"done Q{i}"} for i in range(5)]
    expected[2] = {"q_id": "q2", "success": False, "error": "failed Q2"}
    assert results == expected
    assert [list(r) for r in results] == [list(e) for e in expected]  # key order too
    assert sorted(calls, key=lambda c: c["question"]) == [dict(kwargs, question=f"Q{i}") for i in range(5)]


def test_async_batch_keeps_order_when_later_items_finish_first(broker):
    async def main():
        last_done = asyncio.Event()

        async def op(**kwargs):
            if kwargs["question"] == "Q0":
                await asyncio.wait_for(last_done.wait(), WAIT)
            elif kwargs["question"] == "Q3":
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
    assert results[1] == {"q_id": "b", "success": False, "error": "'rubric'"}
    assert results[0]["success"] is True


@pytest.mark.parametrize("fail", [False, True])
def test_async_record_without_q_id_fails_the_batch_once_all_items_are_done(broker, fail):
    finished = []

    async def op(**kwargs):
        await asyncio.sleep(0.05 if kwargs["question"] == "slow" else 0)
        finished.append(kwargs["question"])
        if fail:
            raise RuntimeError("service down")
        return "ok"

    broker.generateRubric_async = op
    data = [dict(RUBRIC, q_id="a", question="slow"), dict(RUBRIC, question="no id")]
    with pytest.raises(KeyError) as err:
        asyncio.run(broker.generate_rubrics_batch_async(data))
    assert err.value.args == ("q_id",)
    assert sorted(finished) == ["no id", "slow"]


def test_async_rubric_record_without_reference_answer_uses_empty_text(broker):
    calls = []
    broker.generateRubric_async = async_recorder(calls)
    record = {k: v for k, v in RUBRIC.items() if k != "reference_answer"}
    asyncio.run(broker.generate_rubrics_batch_async([dict(record, q_id="a")]))
    assert calls == [dict(RUBRIC, reference_answer="")]


def test_async_batch_uses_the_brokers_own_semaphore(broker):
    seen = []

    async def op(**kwargs):
        seen.append(broker._request_semaphore)
        return "ok"

    original = broker._request_semaphore
    broker.evaluateAnswer_async = op
    asyncio.run(broker.evaluate_answers_batch_async([dict(EVAL, q_id="a")]))
    assert seen == [original]


def test_cancelling_an_item_is_not_a_failure_record(broker):
    async def op(**kwargs):
        raise asyncio.CancelledError()

    broker.evaluateAnswer_async = op
    with pytest.raises(asyncio.CancelledError):
        asyncio.run(broker.evaluate_answers_batch_async([dict(EVAL, q_id="a")]))


@pytest.mark.parametrize("batch, wrapper, op, key, record, kwargs", ASYNC)
def test_empty_input_gives_empty_results_without_calls(broker, batch, wrapper, op, key, record, kwargs):
    calls = []
    setattr(broker, op, async_recorder(calls))
    setattr(broker, op.removesuffix("_async"), recorder(calls))
    pool_batch = batch.removesuffix("_async")
    assert asyncio.run(getattr(broker, batch)([])) == []
    assert getattr(broker, wrapper)([]) == []
    assert getattr(broker, pool_batch)([]) == []
    assert broker.run_concurrent_tasks([]) == []
    assert calls == []


# ---- Sync wrappers --------------------------------------------------------------------------

@pytest.mark.parametrize("batch, wrapper, op, key, record, kwargs", ASYNC)
def test_wrapper_runs_the_async_batch_under_a_fresh_semaphore(make_broker, batch, wrapper, op, key,
                                                             record, kwargs):
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

    setattr(broker, op, op_fn)
    results = getattr(broker, wrapper)(numbered(record, 2))
    assert results == [{"q_id": f"q{i}", "success": True, key: True} for i in range(2)]
    assert len(seen) == 2 and seen[0] is seen[1] and seen[0] is not original
    assert broker._request_semaphore is original


@pytest.mark.parametrize("batch, wrapper, op, key, record, kwargs", ASYNC)
def test_wrapper_inside_a_running_loop_refuses(broker, batch, wrapper, op, key, record, kwargs):
    calls = []
    setattr(broker, op, async_recorder(calls))
    original = broker._request_semaphore

    async def main():
        return getattr(broker, wrapper)(numbered(record, 2))

    results = asyncio.run(main())
    error = (f"Sync wrapper error: Cannot call {wrapper} from within an async context. "
             f"Use {batch} instead.")
    assert results == [{"q_id": "q0", "success": False, "error": error},
                       {"q_id": "q1", "success": False, "error": error}]
    assert calls == [] and broker._request_semaphore is original


def test_wrapper_failure_becomes_records_and_restores_the_semaphore(broker):
    original = broker._request_semaphore

    async def broken(data):
        raise ValueError("batch broke")

    broker.evaluate_answers_batch_async = broken
    results = broker.evaluate_answers_batch_sync(numbered(EVAL, 2))
    assert results == [{"q_id": f"q{i}", "success": False, "error": "Sync wrapper error: batch broke"}
                       for i in range(2)]
    assert broker._request_semaphore is original


def test_wrapper_item_failures_stay_item_records(broker):
    broker.generateRefAnswer_async = async_recorder([], lambda **kw: "ref", fail_on="Q1")
    results = broker.generate_ref_answers_batch_sync(numbered(REF, 2))
    assert results == [{"q_id": "q0", "success": True, "ref_answer": "ref"},
                       {"q_id": "q1", "success": False, "error": "failed Q1"}]


def test_wrapper_fails_only_for_a_record_without_q_id(broker):
    original = broker._request_semaphore
    broker.generateRubric_async = async_recorder([])
    with pytest.raises(KeyError):
        broker.generate_rubrics_batch_sync([dict(RUBRIC, q_id="a"), RUBRIC])
    assert broker._request_semaphore is original


def test_wrapper_lets_cancellation_through_and_restores_the_semaphore(broker):
    original = broker._request_semaphore

    async def op(**kwargs):
        raise asyncio.CancelledError()

    broker.evaluateAnswer_async = op
    with pytest.raises(asyncio.CancelledError):
        broker.evaluate_answers_batch_sync(numbered(EVAL, 1))
    assert broker._request_semaphore is original


def test_wrapper_leaves_no_event_loop_behind(broker):
    broker.evaluateAnswer_async = async_recorder([])
    outcome = {}

    def in_thread():
        outcome["results"] = broker.evaluate_answers_batch_sync(numbered(EVAL, 1))
        try:
            asyncio.get_event_loop()
            outcome["loop"] = "left set"
        except RuntimeError:
            outcome["loop"] = None

    thread = threading.Thread(target=in_thread)
    thread.start()
    thread.join(WAIT)
    assert outcome["results"][0]["success"] is True and outcome["loop"] is None


# ---- Concurrency on the network -------------------------------------------------------------

EVALUATION = {"fulfilled_criteria": [1], "awarded_marks": 2.0, "feedback": "Good."}
MESSAGES = [{"role": "system", "content": "You grade."}, {"role": "user", "content": "Grade."}]


def test_thread_pool_calls_overlap_on_the_network(fake_openai, make_broker):
    latency = 0.3
    fake_openai.script("EvaluationResponse", content=EVALUATION)
    broker = make_broker(max_concurrent_requests=5)

    def evaluate(*_):
        response = broker._make_api_call(task_name="evaluate_answer", messages=MESSAGES,
                                          response_format=EvaluationResponse)
        return response.choices[0].message.parsed.feedback

    broker.evaluateAnswer = evaluate
    broker.evaluate_answers_batch([EVAL])  # connection set-up out of the way
    fake_openai.latency = latency
    start = time.monotonic()
    assert broker.evaluate_answers_batch([EVAL] * 5) == ["Good."] * 5
    elapsed = time.monotonic() - start
    times = fake_openai.request_times[-5:]
    # All five requests arrive while the first is still being answered: about one
    # latency in all, not five.
    assert max(times) - min(times) < latency
    assert elapsed < 3 * latency


def test_wrappers_work_again_and_again_with_the_official_client(fake_openai, make_broker):
    fake_openai.script("EvaluationResponse", content=EVALUATION)
    broker = make_broker()
    original = broker.async_client

    async def evaluate(**kwargs):
        response = await broker.async_client.chat.completions.parse(
            model=broker.model, messages=MESSAGES, response_format=EvaluationResponse)
        return response.choices[0].message.parsed.feedback

    broker.evaluateAnswer_async = evaluate
    # Each run has its own loop; connections pooled by an earlier, closed loop must not
    # be reused by a later one.
    for _ in range(3):
        results = broker.evaluate_answers_batch_sync(numbered(EVAL, 3))
        assert [r.get("evaluation", r.get("error")) for r in results] == ["Good."] * 3
        assert broker.async_client is original
