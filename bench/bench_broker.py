"""Model broker benchmarks, each against an anchor measured in the same run.

1. Per-call overhead of ``_make_api_call`` beyond the bare
   ``client.beta.chat.completions.parse`` call, two messages of 6 KB in all, against the
   zero-latency fake service on loopback; target <= 150 us.
2. Cold ``ModelBroker()`` construction in a fresh process, tokenizer load included;
   target <= 60 ms. The anchor is the dependency work alone (both clients and tiktoken's
   encoding) in another fresh process.

    python3 bench/bench_broker.py [--calls N] [--processes N]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
from types import SimpleNamespace

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "python"
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != ROOT]
if "PYTHONPATH" not in os.environ:
    sys.path.insert(0, str(BUILD))
sys.path.insert(0, str(ROOT / "tests"))

CALL_TARGET_US = 150.0
CONSTRUCT_TARGET_MS = 60.0

RUBRIC = {"criteria": [{"statement": "Names the process", "mark": 1},
                       {"statement": "Explains the role of light", "mark": 2}]}


def six_kb_messages() -> list[dict]:
    sentence = ("The student explains how plants turn light, water and carbon dioxide into "
                "glucose and oxygen, naming chlorophyll and the chloroplast. ")
    system = ("You are an examiner. Write a marking rubric as JSON with criteria and marks. " * 13)[:1024]
    user = (sentence * 40)[:5120]
    return [{"role": "system", "content": system}, {"role": "user", "content": user}]


# The fake service runs in its own process: in ours its handler threads would compete for
# the GIL with the calls being timed.
SERVER = r"""
import json, sys
from support.fake_openai import FakeOpenAIServer
server = FakeOpenAIServer().start()
server.script("RubricResponse", content=json.loads(sys.argv[1]), prompt_tokens=1500, completion_tokens=40)
print(server.base_url, flush=True)
sys.stdin.read()
server.stop()
"""


@contextlib.contextmanager
def fake_service():
    env = dict(os.environ, PYTHONPATH=str(ROOT / "tests"))
    proc = subprocess.Popen([sys.executable, "-c", SERVER, json.dumps(RUBRIC)], env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        yield proc.stdout.readline().strip()
    finally:
        proc.stdin.close()
        proc.wait(timeout=10)


def per_call(calls: int) -> None:
    from tovrane_core.model_broker import ModelBroker, RubricResponse

    messages = six_kb_messages()
    with fake_service() as base_url, tempfile.TemporaryDirectory() as tmp:
        os.environ["OPENAI_BASE_URL"] = base_url
        os.environ.setdefault("OPENAI_API_KEY", "sk-bench")
        broker = ModelBroker(token_log_file=os.path.join(tmp, "usage.log"), enable_logging=True)
        parse = broker.client.beta.chat.completions.parse
        encode = broker.encoding.encode

        def bare():
            parse(model=broker.model, messages=messages, response_format=RubricResponse)

        def brokered():
            broker._make_api_call(task_name="generate_rubric", messages=messages,
                                  response_format=RubricResponse)

        def count_only():
            for m in messages:
                encode(m["content"])

        # The same call with a client that answers at once: the broker's own work, free of
        # the transfer's noise.
        canned = parse(model=broker.model, messages=messages, response_format=RubricResponse)
        offline = ModelBroker(token_log_file=os.path.join(tmp, "usage.log"), enable_logging=True)
        offline.client = SimpleNamespace(beta=SimpleNamespace(chat=SimpleNamespace(
            completions=SimpleNamespace(parse=lambda **kwargs: canned))))

        def brokered_canned():
            offline._make_api_call(task_name="generate_rubric", messages=messages,
                                   response_format=RubricResponse)

        timings = {bare: [], brokered: [], count_only: [], brokered_canned: []}
        sink = io.StringIO()
        with contextlib.redirect_stdout(sink):
            for f in timings:  # warm connections, caches and the tokenizer
                for _ in range(20):
                    f()
            # Interleaved in small blocks, so drift of the shared machine hits all alike.
            for _ in range(calls // 10):
                for f, samples in timings.items():
                    for _ in range(10):
                        start = time.perf_counter()
                        f()
                        samples.append(time.perf_counter() - start)
                sink.seek(0)
                sink.truncate()

    bare_us, broker_us, count_us, canned_us = (statistics.median(s) * 1e6 for s in timings.values())
    overhead = broker_us - bare_us
    print(f"per call, median of {len(timings[bare])} (6 KB prompt, two messages, fake service):")
    print(f"  bare client parse        {bare_us:9.1f} us")
    print(f"  _make_api_call           {broker_us:9.1f} us   ratio {broker_us / bare_us:.3f}")
    print(f"  overhead                 {overhead:9.1f} us   target <= {CALL_TARGET_US:.0f} us "
          f"({'met' if overhead <= CALL_TARGET_US else 'MISSED'})")
    print(f"    of which tiktoken's encode of the prompt (required estimate) {count_us:.1f} us")
    print(f"    the rest (record, log, console line, lookups) {overhead - count_us:.1f} us")
    print(f"  with a client answering at once: {canned_us:.1f} us a call, "
          f"{canned_us - count_us:.1f} us beyond the encode")


CONSTRUCT = r"""
import json, sys, time, tempfile, os
t0 = time.perf_counter()
from tovrane_core.model_broker import ModelBroker
t1 = time.perf_counter()
log = os.path.join(tempfile.mkdtemp(), "usage.log")
ModelBroker(token_log_file=log)
t2 = time.perf_counter()
ModelBroker(token_log_file=log)
t3 = time.perf_counter()
print(json.dumps({"import": t1 - t0, "cold": t2 - t1, "warm": t3 - t2}))
"""

ANCHOR = r"""
import json, time
import openai, tiktoken, pydantic
t0 = time.perf_counter()
openai.OpenAI(api_key="sk-bench"); openai.AsyncOpenAI(api_key="sk-bench")
t1 = time.perf_counter()
tiktoken.encoding_for_model("gpt-5-mini-2025-08-07")
t2 = time.perf_counter()
print(json.dumps({"clients": t1 - t0, "tokenizer": t2 - t1}))
"""


def fresh(script: str) -> dict:
    env = dict(os.environ, OPENAI_API_KEY="sk-bench")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.environ.get("PYTHONPATH"), str(BUILD)) if p)
    out = subprocess.run([sys.executable, "-c", script], env=env, cwd=tempfile.gettempdir(),
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def construction(processes: int) -> None:
    fresh(CONSTRUCT)  # seeds tiktoken's cache once, as the first run on a machine does
    runs, anchors = [], []
    for _ in range(processes):
        runs.append(fresh(CONSTRUCT))
        anchors.append(fresh(ANCHOR))

    def ms(rows, key):
        return statistics.median(r[key] for r in rows) * 1e3

    cold, warm = ms(runs, "cold"), ms(runs, "warm")
    clients, tokenizer = ms(anchors, "clients"), ms(anchors, "tokenizer")
    print(f"construction, median of {processes} fresh processes:")
    print(f"  import tovrane_core.model_broker {ms(runs, 'import'):8.1f} ms")
    print(f"  cold ModelBroker()               {cold:8.1f} ms   target <= {CONSTRUCT_TARGET_MS:.0f} ms "
          f"({'met' if cold <= CONSTRUCT_TARGET_MS else 'MISSED'})")
    print(f"  second ModelBroker()             {warm:8.1f} ms")
    print(f"  anchor: both clients {clients:.1f} ms + tiktoken load {tokenizer:.1f} ms "
          f"= {clients + tokenizer:.1f} ms; ratio cold/anchor {cold / (clients + tokenizer):.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--processes", type=int, default=5)
    args = parser.parse_args()
    per_call(args.calls)
    construction(args.processes)


if __name__ == "__main__":
    main()
