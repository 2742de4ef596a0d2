"""What the broker opens it closes: connections when their event loop ends, the usage log
when nobody writes to it any more, nothing left behind by a thousand batches."""

import asyncio
import contextlib
import gc
import logging
import os
import subprocess
import sys
import textwrap
import time
import warnings

import pytest

from support.broker_fakes import close_token_logger, make_broker  # noqa: F401  (fixture)
from tovrane_core import model_broker

RUBRIC = {"criteria": [{"statement": "Names the cause", "mark": 1.0}]}
MESSAGES = [{"role": "user", "content": "Why is the sky blue?"}]
WORK = [{"q_id": "Q1", "question": "Why is the sky blue?", "max_marks": 2, "class_level": "7",
         "subject": "Science"}]


@contextlib.contextmanager
def no_resource_warnings():
    """Fails when anything opened inside is found unclosed once garbage is collected."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        yield
        gc.collect()
    unclosed = [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)]
    assert unclosed == []


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def settled_fds(limit: int, seconds: float = 5.0) -> int:
    """The descriptor count once it is at most `limit`, or after `seconds`: the fake
    server's threads close their ends of the connections a moment after the client."""
    deadline = time.monotonic() + seconds
    count = open_fds()
    while count > limit and time.monotonic() < deadline:
        time.sleep(0.05)
        gc.collect()
        count = open_fds()
    return count


async def one_call(broker):
    response = await broker._make_api_call_async(task_name="generate_rubric", messages=MESSAGES,
                                                 response_format=model_broker.RubricResponse)
    return response.choices[0].message.parsed.criteria[0].mark


def test_one_broker_serves_event_loop_after_event_loop(fake_openai, make_broker):
    fake_openai.script("RubricResponse", content=RUBRIC)
    broker = make_broker(max_retries=0)
    with no_resource_warnings():
        # Pooled connections of a finished loop are neither reused ("Event loop is closed")
        # nor left open.
        assert [asyncio.run(one_call(broker)) for _ in range(3)] == [1.0, 1.0, 1.0]
        assert broker.generate_rubrics_batch_sync(WORK)[0]["success"] is True
        assert asyncio.run(one_call(broker)) == 1.0
    assert fake_openai.request_count == 5
    # Within one loop the connection is kept and reused.
    connections = len(fake_openai.connections)

    async def twice():
        return [await one_call(broker), await one_call(broker)]

    with no_resource_warnings():
        assert asyncio.run(twice()) == [1.0, 1.0]
    assert len(fake_openai.connections) == connections + 1


def test_a_broker_gone_before_its_loop_still_has_its_connections_closed(fake_openai, make_broker):
    fake_openai.script("RubricResponse", content=RUBRIC)

    async def main():
        broker = make_broker(max_retries=0)
        mark = await one_call(broker)
        del broker
        gc.collect()
        return mark

    with no_resource_warnings():
        assert asyncio.run(main()) == 1.0


def test_a_stand_in_async_client_is_used_as_it_is(make_broker):
    from support.broker_fakes import AsyncScriptedCompletions, client_with, response, usage

    broker = make_broker()
    completions = AsyncScriptedCompletions(response(usage=usage(1, 1)))
    broker.async_client = client_with(completions)
    asyncio.run(broker._make_api_call_async(task_name="t", messages=MESSAGES, response_format=dict))
    assert len(completions.calls) == 1


def handler_of(broker_log):
    return next(h for h in logging.getLogger("token_usage").handlers if h.baseFilename == str(broker_log))


@pytest.mark.parametrize("order", ["gone_after_detached", "gone_while_attached"])
def test_usage_log_of_a_gone_broker_is_closed_once_detached(make_broker, tmp_path, order):
    first = make_broker(enable_logging=True, token_log_file=str(tmp_path / "first.log"))
    handler = handler_of(tmp_path / "first.log")
    if order == "gone_after_detached":
        second = make_broker(token_log_file=str(tmp_path / "second.log"))
        assert handler.stream is not None  # its broker may still hold it
        del first
        gc.collect()
    else:
        del first
        gc.collect()
        assert handler.stream is not None  # still the logger's: other brokers write through it
        second = make_broker(token_log_file=str(tmp_path / "second.log"))
    assert handler.stream is None
    assert logging.getLogger("token_usage").handlers == [handler_of(tmp_path / "second.log")]
    second._log_token_usage("t", 1, 1, "m")


def test_many_brokers_one_after_another_leave_one_log_open(make_broker, tmp_path):
    make_broker(token_log_file=str(tmp_path / "warm.log"))
    gc.collect()
    before = open_fds()
    with no_resource_warnings():
        for i in range(50):
            make_broker(token_log_file=str(tmp_path / f"log{i}.log"))
        gc.collect()
    assert open_fds() <= before


def test_a_thousand_sync_batches_hold_no_more_descriptors_than_the_first(fake_openai, make_broker):
    fake_openai.script("RubricResponse", content=RUBRIC)
    broker = make_broker(max_retries=0, requests_per_minute=10**6)
    assert broker.generate_rubrics_batch_sync(WORK)[0]["success"] is True
    gc.collect()
    after_first = settled_fds(10**6, 0)
    with no_resource_warnings():
        for _ in range(999):
            result = broker.generate_rubrics_batch_sync(WORK)
            assert result[0]["success"] is True, result
    assert fake_openai.request_count == 1000
    assert settled_fds(after_first) <= after_first


def test_thread_pool_and_async_batches_hold_no_more_descriptors(fake_openai, make_broker):
    fake_openai.script("RubricResponse", content=RUBRIC)
    broker = make_broker(max_retries=0, requests_per_minute=10**6)
    work = WORK * 4

    async def async_batches(count):
        for _ in range(count):
            assert all(r["success"] for r in await broker.generate_rubrics_batch_async(work))

    broker.generate_rubrics_batch(work)
    asyncio.run(async_batches(1))
    gc.collect()
    after_first = settled_fds(10**6, 0)
    with no_resource_warnings():
        for _ in range(50):
            assert all(not isinstance(r, str) for r in broker.generate_rubrics_batch(work))
        asyncio.run(async_batches(50))
    # The blocking client keeps up to one connection per worker for later batches.
    assert settled_fds(after_first + len(work)) <= after_first + len(work)


SCRIPT = textwrap.dedent("""
    import asyncio, gc, os, sys
    sys.path.insert(0, sys.argv[1])
    from support.fake_openai import FakeOpenAIServer
    from tovrane_core.model_broker import ModelBroker, RubricResponse

    MESSAGES = [{"role": "user", "content": "q"}]
    with FakeOpenAIServer() as server:
        server.script("RubricResponse", content={"criteria": [{"statement": "s", "mark": 1}]})
        os.environ["OPENAI_BASE_URL"] = server.base_url
        log = os.path.join(sys.argv[2], "usage.log")
        broker = ModelBroker(token_log_file=log, enable_logging=True, max_retries=0)
        broker.generateRubric("q", 2, "7", "Science")
        work = [{"q_id": "Q1", "question": "q", "max_marks": 2, "class_level": "7", "subject": "S"}]
        assert broker.generate_rubrics_batch(work * 3)[0].criteria
        assert broker.generate_rubrics_batch_sync(work)[0]["success"]
        async def main():
            await broker.generate_rubrics_batch_async(work * 3)
            await broker._make_api_call_async(task_name="t", messages=MESSAGES, response_format=RubricResponse)
        asyncio.run(main())
        asyncio.run(main())
        ModelBroker(token_log_file=log)  # detaches the first broker's log
        del broker
        gc.collect()
    print("done")
""")


def test_broker_routes_run_clean_under_python_dev_mode(tmp_path):
    env = dict(os.environ, PYTHONWARNINGS="error", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", SCRIPT,
                          os.path.join(os.path.dirname(__file__), ".."), str(tmp_path)],
                         capture_output=True, text=True, env=env, timeout=120, cwd=tmp_path)
    assert (run.returncode, run.stderr) == (0, ""), run.stderr
    assert run.stdout.splitlines()[-1] == "done"
