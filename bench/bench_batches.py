"""Batch throughput of the model broker against the loopback fake service.

    PYTHONPATH=build/python python3 bench/bench_batches.py [--skip-rate-limit]

1. 100 evaluations through `evaluate_answers_batch_sync`, 200 ms latency, 5 permits, a
   rate limit that does not bind. Ideal 100 / 5 x 0.2 s = 4.0 s; target <= 4.2 s.
2. The same 100 through the thread-pool `evaluate_answers_batch` with 5 workers; target
   <= 4.2 s.
   Each is set beside an anchor run in the same process: the same requests made with the
   bare official client (asyncio.gather under a Semaphore(5), resp. a ThreadPoolExecutor
   with 5 workers), so the ratio is the cost of our layers alone.
3. `requests_per_minute` 30, 40 items: the batch must not finish before the first start
   plus 60 s, and the server must not see more than 30 starts in any 60 s window, plus at
   most `max_concurrent_requests` - 1 started together by waiters woken at once (the
   overshoot the limiter allows). Takes a little over a minute.
4. The batch layers alone: 2,000 items with an operation that returns at once, through
   the sync wrapper and the thread-pool batch, against the same written in plain Python
   (asyncio.gather on a new loop, resp. ThreadPoolExecutor with as_completed). Then the
   fixed cost per wrapper call of the connection pool of its own that a wrapper gives the
   official client: a one-item wrapper run with that client against one with a stand-in.

CPU time is the whole process's (the fake server runs in it too), per item; compare it
with the anchor's.
"""

from __future__ import annotations

import argparse
import asyncio
import bisect
import concurrent.futures
import contextlib
import io
import os
import pathlib
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from support.fake_openai import FakeOpenAIServer  # noqa: E402

import openai  # noqa: E402

LATENCY = 0.2
ITEMS = 100
PERMITS = 5
TARGET = 4.2
EVALUATION = {"fulfilled_criteria": [0], "awarded_marks": 2.0, "feedback": "You explained it well."}
MESSAGES = [{"role": "system", "content": "You grade."}, {"role": "user", "content": "Grade this."}]


def rubric():
    """A one-criterion rubric of the document model."""
    from tovrane_core.datastructures import Criterion, Rubric
    return Rubric([Criterion(statement="Names the process", mark=2.0)])


def records(count: int) -> list[dict]:
    shared = rubric()
    return [{"q_id": f"Q{i}", "student_answer": f"Answer {i}", "question": "Explain osmosis.",
             "rubric": shared, "reference_answer": "Water moves across a membrane."}
            for i in range(count)]


def measure(run) -> tuple[float, float, object]:
    """Wall and process CPU seconds of run(); the broker's per-call lines are kept off the
    console (still written, to a buffer)."""
    with contextlib.redirect_stdout(io.StringIO()):
        wall, cpu = time.perf_counter(), time.process_time()
        result = run()
        return time.perf_counter() - wall, time.process_time() - cpu, result


def report(name: str, wall: float, cpu: float, anchor_wall: float, anchor_cpu: float) -> None:
    verdict = "ok" if wall <= TARGET else "OVER TARGET"
    print(f"{name}: {wall:.3f} s (ideal {ITEMS / PERMITS * LATENCY:.1f} s, target {TARGET} s: {verdict}); "
          f"anchor {anchor_wall:.3f} s, ratio {wall / anchor_wall:.3f}; "
          f"CPU {cpu / ITEMS * 1e3:.2f} ms/item (anchor {anchor_cpu / ITEMS * 1e3:.2f} ms/item)")


def anchor_async(server: FakeOpenAIServer, response_format) -> None:
    async def main():
        client = openai.AsyncOpenAI(api_key="bench")
        semaphore = asyncio.Semaphore(PERMITS)

        async def one():
            async with semaphore:
                await client.chat.completions.parse(model="gpt-5-mini-2025-08-07", messages=MESSAGES,
                                                    response_format=response_format)
        await asyncio.gather(*(one() for _ in range(ITEMS)))
        await client.close()
    asyncio.run(main())


def anchor_threads(server: FakeOpenAIServer, response_format) -> None:
    client = openai.OpenAI(api_key="bench")

    def one(_):
        client.chat.completions.parse(model="gpt-5-mini-2025-08-07", messages=MESSAGES,
                                      response_format=response_format)
    with concurrent.futures.ThreadPoolExecutor(PERMITS) as pool:
        list(pool.map(one, range(ITEMS)))
    client.close()


def check_results(results: list, sync: bool) -> None:
    if sync:
        failed = [r for r in results if not r["success"]]
        assert not failed, failed[:3]
    else:
        failed = [r for r in results if isinstance(r, str)]
        assert not failed, failed[:3]


def throughput(server: FakeOpenAIServer, log_dir: str) -> None:
    from tovrane_core.model_broker import EvaluationResponse, ModelBroker

    server.script("EvaluationResponse", content=EVALUATION)
    broker = ModelBroker(token_log_file=os.path.join(log_dir, "usage.log"),
                         max_concurrent_requests=PERMITS, requests_per_minute=100_000)
    data = records(ITEMS)
    # Warm both paths (imports, schema conversion, connections) before timing anything.
    server.latency = 0.0
    measure(lambda: broker.evaluate_answers_batch_sync(data[:PERMITS]))
    measure(lambda: broker.evaluate_answers_batch(data[:PERMITS]))
    anchor_async(server, EvaluationResponse)
    anchor_threads(server, EvaluationResponse)
    server.latency = LATENCY

    a_wall, a_cpu, _ = measure(lambda: anchor_async(server, EvaluationResponse))
    wall, cpu, results = measure(lambda: broker.evaluate_answers_batch_sync(data))
    check_results(results, sync=True)
    report("evaluate_answers_batch_sync", wall, cpu, a_wall, a_cpu)

    a_wall, a_cpu, _ = measure(lambda: anchor_threads(server, EvaluationResponse))
    wall, cpu, results = measure(lambda: broker.evaluate_answers_batch(data, max_workers=PERMITS))
    check_results(results, sync=False)
    report("evaluate_answers_batch (5 workers)", wall, cpu, a_wall, a_cpu)


LAYER_ITEMS = 2000


def plain_async_batch(data, op):
    """The async batch and its wrapper as they would be written in Python."""
    async def item(record):
        try:
            result = await op(student_answer=record["student_answer"], question=record["question"],
                              rubric=record["rubric"], reference_answer=record["reference_answer"])
            return {"q_id": record["q_id"], "success": True, "evaluation": result}
        except Exception as e:
            return {"q_id": record["q_id"], "success": False, "error": str(e)}

    async def batch():
        outcomes = await asyncio.gather(*(item(r) for r in data), return_exceptions=True)
        return [{"q_id": data[i]["q_id"], "success": False, "error": str(o)} if isinstance(o, Exception) else o
                for i, o in enumerate(outcomes)]

    loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(batch())
    finally:
        loop.close()


def plain_thread_batch(data, op):
    """run_concurrent_tasks and the thread-pool batch as they would be written in Python."""
    tasks = [{"func": op, "args": (r["student_answer"], r["question"], r["rubric"], r["reference_answer"])}
             for r in data]
    results = [None] * len(tasks)
    with concurrent.futures.ThreadPoolExecutor(PERMITS) as pool:
        futures = {pool.submit(t["func"], *t["args"]): i for i, t in enumerate(tasks)}
        for future in concurrent.futures.as_completed(futures):
            i = futures[future]
            try:
                results[i] = future.result()
            except Exception as e:
                results[i] = f"Error in task {i}: {e}"
    return results


def layers(log_dir: str) -> None:
    from tovrane_core.model_broker import ModelBroker

    async def instant_async(**kwargs):
        return kwargs["question"]

    def instant(*args):
        return args[1]

    broker = ModelBroker(token_log_file=os.path.join(log_dir, "usage.log"), max_concurrent_requests=PERMITS)
    official = broker.async_client
    broker.async_client = object()  # a stand-in: no pool of its own per run
    broker.evaluateAnswer_async = instant_async
    broker.evaluateAnswer = instant
    data = records(LAYER_ITEMS)
    for name, ours, plain in [
        ("sync wrapper layer", lambda: broker.evaluate_answers_batch_sync(data),
         lambda: plain_async_batch(data, instant_async)),
        ("thread-pool layer", lambda: broker.evaluate_answers_batch(data, PERMITS),
         lambda: plain_thread_batch(data, instant)),
    ]:
        ours(), plain()  # warm
        o_wall, o_cpu, o_result = measure(ours)
        p_wall, p_cpu, p_result = measure(plain)
        assert o_result == p_result, "the plain version disagrees"
        print(f"{name}, {LAYER_ITEMS} instant items: {o_wall * 1e6 / LAYER_ITEMS:.1f} us/item wall, "
              f"{o_cpu * 1e6 / LAYER_ITEMS:.1f} us/item CPU; plain Python {p_wall * 1e6 / LAYER_ITEMS:.1f} / "
              f"{p_cpu * 1e6 / LAYER_ITEMS:.1f} us/item; ratio {o_wall / p_wall:.2f}")

    one = data[:1]
    stand_in = min(measure(lambda: broker.evaluate_answers_batch_sync(one))[0] for _ in range(5))
    broker.async_client = official
    own_pool = min(measure(lambda: broker.evaluate_answers_batch_sync(one))[0] for _ in range(5))
    print(f"sync wrapper call, one item: {own_pool * 1e3:.1f} ms with the official client's own pool, "
          f"{stand_in * 1e3:.2f} ms with a stand-in client")


def worst_window(times: list[float], width: float = 60.0) -> int:
    """The most request starts within any half-open window of `width` seconds."""
    times = sorted(times)
    return max((bisect.bisect_left(times, t + width) - i for i, t in enumerate(times)), default=0)


def rate_limited(server: FakeOpenAIServer, log_dir: str) -> None:
    from tovrane_core.model_broker import ModelBroker

    rpm, items = 30, 40
    server.latency = LATENCY
    broker = ModelBroker(token_log_file=os.path.join(log_dir, "usage.log"),
                         max_concurrent_requests=PERMITS, requests_per_minute=rpm)
    before = server.request_count
    wall, cpu, results = measure(lambda: broker.evaluate_answers_batch_sync(records(items)))
    check_results(results, sync=True)
    starts = server.request_times[before:]
    span = max(starts) - min(starts)
    worst = worst_window(starts)
    allowed = rpm + PERMITS - 1
    print(f"rate limit {rpm}/min, {items} items: {wall:.2f} s (no sooner than 60 s after the first start: "
          f"{'ok' if span >= 60.0 else 'TOO SOON'}, last start at {span:.2f} s); "
          f"worst 60 s window {worst} starts (limit {rpm} + overshoot {PERMITS - 1}: "
          f"{'ok' if worst <= allowed else 'OVER'}); CPU {cpu / items * 1e3:.2f} ms/item")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skip-rate-limit", action="store_true", help="skip the one-minute rate-limit run")
    parser.add_argument("--layers-only", action="store_true", help="only the batch layers, no network")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as log_dir, FakeOpenAIServer() as server:
        os.environ["OPENAI_BASE_URL"] = server.base_url
        os.environ["OPENAI_API_KEY"] = "sk-bench"
        layers(log_dir)
        if args.layers_only:
            return
        throughput(server, log_dir)
        if not args.skip_rate_limit:
            rate_limited(server, log_dir)


if __name__ == "__main__":
    main()
