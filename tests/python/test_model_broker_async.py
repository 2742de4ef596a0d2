"""ModelBroker's asynchronous call path: the semaphore, the rate limiter, failures, cancellation."""

import asyncio
import logging
import time

import pytest

from support.broker_fakes import (AsyncScriptedCompletions, client_with, log_entries, make_broker,  # noqa: F401
                                  response, usage)
from tovrane_core.model_broker import RubricResponse

MESSAGES = [{"role": "system", "content": "s"}, {"role": "user", "content": "u"}]
real_sleep = asyncio.sleep


def call(broker, task_name="generate_rubric"):
    return broker._make_api_call_async(task_name=task_name, messages=MESSAGES, response_format=RubricResponse)


class Clock:
    """time.time and asyncio.sleep for the rate limiter: sleeping moves the clock."""

    def __init__(self, monkeypatch, now=1_000_000.0):
        self.now = now
        self.sleeps = []
        monkeypatch.setattr(time, "time", lambda: self.now)
        monkeypatch.setattr(asyncio, "sleep", self.sleep)

    async def sleep(self, seconds):
        self.sleeps.append(seconds)
        await real_sleep(0)  # lets other coroutines run, as a real sleep would
        self.now += seconds


# ---- The call -----------------------------------------------------------------------------

async def test_async_call_is_a_coroutine_recording_the_service_usage(make_broker, tmp_path):
    broker = make_broker(enable_logging=True)
    answer = response(content="{}", usage=usage(40, 2))
    completions = AsyncScriptedCompletions(answer)
    broker.async_client = client_with(completions)
    coro = broker._make_api_call_async(task_name="evaluate_answer", messages=MESSAGES,
                                       response_format=RubricResponse, additional_info="q2")
    assert asyncio.iscoroutine(coro)
    assert await coro is answer
    assert completions.calls == [{"model": broker.model, "messages": MESSAGES, "response_format": RubricResponse}]
    assert log_entries(tmp_path / "usage.log")[1].endswith("COST: $0.000007 | INFO: q2\n")
    assert (broker.total_input_tokens, broker.total_output_tokens) == (40, 2)


async def test_async_call_without_usage_estimates(make_broker):
    broker = make_broker()
    broker.async_client = client_with(AsyncScriptedCompletions(response(content=None)), beta=False)
    await call(broker)
    assert (broker.total_input_tokens, broker.total_output_tokens) == (broker._count_message_tokens(MESSAGES), 0)


async def test_async_failure_is_recorded_and_reraised_and_the_permit_returned(make_broker, tmp_path):
    broker = make_broker(enable_logging=True, max_concurrent_requests=1)
    error = ConnectionError("reset by peer")
    broker.async_client = client_with(AsyncScriptedCompletions(error, response(usage=usage(1, 1))))
    with pytest.raises(ConnectionError) as caught:
        await call(broker, "parse_answersheet")
    assert caught.value is error
    entry = log_entries(tmp_path / "usage.log")[1]
    assert "TASK: parse_answersheet_FAILED | \n" in entry and "OUTPUT_TOKENS: 0 | \n" in entry
    assert entry.endswith(" | INFO: Error: reset by peer\n")
    await asyncio.wait_for(call(broker), 5)  # the only permit came back
    assert not broker._request_semaphore.locked()


# ---- The semaphore ------------------------------------------------------------------------

async def test_one_permit_keeps_the_second_call_out_of_the_rate_limiter(make_broker):
    broker = make_broker(max_concurrent_requests=1)
    events = []

    async def limiter():
        events.append("limit")

    class Completions(AsyncScriptedCompletions):
        async def parse(self, **kwargs):
            events.append("parse")
            await real_sleep(0.01)
            return await super().parse(**kwargs)

    broker._enforce_rate_limit = limiter
    broker.async_client = client_with(Completions(RuntimeError("first fails"), response(usage=usage(1, 1))))

    async def run():
        try:
            await call(broker)
        except RuntimeError:
            pass
        events.append("returned")

    await asyncio.gather(run(), run())
    assert events == ["limit", "parse", "returned", "limit", "parse", "returned"]


async def test_permits_bound_calls_in_flight(make_broker):
    broker = make_broker(max_concurrent_requests=2)
    gate = asyncio.Event()
    completions = AsyncScriptedCompletions(*[response(usage=usage(1, 1))] * 5, gate=gate)
    broker.async_client = client_with(completions)
    tasks = [asyncio.create_task(call(broker)) for _ in range(5)]
    await real_sleep(0.05)
    assert completions.in_flight == 2
    gate.set()
    await asyncio.gather(*tasks)
    assert completions.max_in_flight == 2 and broker.total_input_tokens == 5


async def test_permit_goes_back_to_the_semaphore_taken_at_the_start(make_broker):
    broker = make_broker(max_concurrent_requests=1)
    gate = asyncio.Event()
    broker.async_client = client_with(AsyncScriptedCompletions(response(usage=usage(1, 1)), gate=gate))
    first = broker._request_semaphore
    task = asyncio.create_task(call(broker))
    await real_sleep(0.01)
    assert first.locked()
    replacement = broker._request_semaphore = asyncio.Semaphore(1)
    gate.set()
    await task
    assert not first.locked() and not replacement.locked()
    await asyncio.wait_for(replacement.acquire(), 1)
    assert replacement.locked()  # it had exactly its one permit: nothing was released into it


@pytest.mark.parametrize("where", ["in the call", "waiting for a permit"])
async def test_cancellation_returns_permits_and_records_nothing(make_broker, where):
    broker = make_broker(max_concurrent_requests=1)
    gate = asyncio.Event()
    completions = AsyncScriptedCompletions(*[response(usage=usage(1, 1))] * 2, gate=gate)
    broker.async_client = client_with(completions)
    first = asyncio.create_task(call(broker))
    second = asyncio.create_task(call(broker))
    await real_sleep(0.01)
    victim = first if where == "in the call" else second
    victim.cancel()
    with pytest.raises(asyncio.CancelledError):
        await victim
    gate.set()
    survivor = second if victim is first else first
    await asyncio.wait_for(survivor, 5)
    assert broker.total_input_tokens == 1  # only the survivor was recorded
    assert not broker._request_semaphore.locked()


# ---- The rate limiter ---------------------------------------------------------------------

async def test_full_window_sleeps_until_the_oldest_leaves_and_appends_the_start_time(make_broker, monkeypatch):
    broker = make_broker(requests_per_minute=2)
    clock = Clock(monkeypatch)
    start = clock.now
    broker._rate_limit_timestamps = [start - 10, start - 10]
    await broker._enforce_rate_limit()
    assert clock.sleeps == [pytest.approx(50)]
    assert broker._rate_limit_timestamps == [start - 10, start - 10, start]


@pytest.mark.parametrize("stamps, kept, rpm", [
    ([-60.0, -10.0], [-10.0], 2),                  # exactly 60 s old: pruned, so no wait
    ([-70.0, -59.5, -60.0, -1.0], [-59.5, -1.0], 3),  # order kept, >= 60 s dropped
    ([-5.0, -1.0], [-5.0, -1.0], 3),
])
async def test_prune_without_sleep(make_broker, monkeypatch, stamps, kept, rpm):
    broker = make_broker(requests_per_minute=rpm)
    clock = Clock(monkeypatch)
    old = [clock.now + s for s in stamps]
    broker._rate_limit_timestamps = old
    await broker._enforce_rate_limit()
    assert clock.sleeps == []
    assert broker._rate_limit_timestamps == [clock.now + s for s in kept] + [clock.now]
    assert broker._rate_limit_timestamps is not old  # replaced, not edited


async def test_waiting_coroutines_all_proceed_and_each_appends_its_time(make_broker, monkeypatch):
    broker = make_broker(requests_per_minute=1)
    clock = Clock(monkeypatch)
    start = clock.now
    broker._rate_limit_timestamps = [start - 30]
    await asyncio.gather(broker._enforce_rate_limit(), broker._enforce_rate_limit())
    assert clock.sleeps == [pytest.approx(30), pytest.approx(30)]
    assert broker._rate_limit_timestamps == [start - 30, start, start]


async def test_async_calls_go_through_the_window(make_broker, monkeypatch):
    broker = make_broker(requests_per_minute=2)
    clock = Clock(monkeypatch)
    broker.async_client = client_with(AsyncScriptedCompletions(*[response(usage=usage(1, 1))] * 3))
    await call(broker)
    clock.now += 20
    await call(broker)
    await call(broker)
    assert clock.sleeps == [pytest.approx(40)]
    assert len(broker._rate_limit_timestamps) == 3


@pytest.mark.parametrize("age, logged", [(10.0, True), (59.5, False)])
async def test_a_wait_longer_than_a_second_is_logged(make_broker, monkeypatch, caplog, age, logged):
    broker = make_broker(requests_per_minute=2)
    clock = Clock(monkeypatch)
    broker._rate_limit_timestamps = [clock.now - age, clock.now - age]
    caplog.set_level(logging.INFO, logger="tovrane_core.model_broker")
    await broker._enforce_rate_limit()
    assert clock.sleeps == [pytest.approx(60 - age)]
    expected = "Rate limit of 2 requests per minute reached: waiting 50.0 s before the next request"
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == (
        [("tovrane_core.model_broker", logging.INFO, expected)] if logged else [])
