"""A child process that runs a batch or a PDF extraction and is sent a real SIGINT while the
work is under way; it reports when KeyboardInterrupt arrived and how many threads it had
before and after."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data"
BUILD = pathlib.Path(os.environ.get("TOVRANE_BUILD_DIR") or ROOT / "build") / "python"

CHILD = textwrap.dedent("""
    import asyncio, json, os, sys, threading, time
    route, log = sys.argv[1], sys.argv[2]

    def threads():
        return len(os.listdir("/proc/self/task"))

    if route == "pdf":
        from tovrane_core.ocr_extractor.extractor_client import ExtractorClient
        extractor = ExtractorClient(extractor_type="local", use_text_layer=False)
        work = lambda: extractor.process_pdf(sys.argv[3], None)
    else:
        from tovrane_core.model_broker import ModelBroker
        broker = ModelBroker(token_log_file=log, max_concurrent_requests=4, enable_logging=True)
        records = [{"q_id": f"Q{i}", "question": "Explain.", "max_marks": 2, "class_level": "8",
                    "subject": "Science"} for i in range(12)]
        work = {
            "thread_pool": lambda: broker.generate_rubrics_batch(records),
            "sync_wrapper": lambda: broker.generate_rubrics_batch_sync(records),
            "async_batch": lambda: asyncio.run(broker.generate_rubrics_batch_async(records)),
        }[route]
    before = (threads(), threading.active_count())
    print("started", flush=True)
    try:
        work()
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "interrupted"
    at = time.monotonic()
    # Threads that were told to end are given a moment to be gone from /proc.
    while threads() > before[0] and time.monotonic() < at + 2:
        time.sleep(0.01)
    after = (threads(), threading.active_count())
    # The broker still works: connections cut short are not reused.
    if route != "pdf":
        from tovrane_core.datastructures import Criterion, Rubric
        rubric = Rubric([Criterion(statement="s", mark=2.0)])
    usable = route == "pdf" or broker.generateRefAnswer("Explain.", rubric, "8", "Science") == "still here"
    print(json.dumps({"outcome": outcome, "at": at, "before": before, "after": after, "usable": usable}),
          flush=True)
""")


def child_env(base_url=None, retries=0):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT / "tests")]),
               OPENAI_API_KEY="sk-test-interrupts", TOVRANE_MAX_RETRIES=str(retries))
    if base_url:
        env["OPENAI_BASE_URL"] = base_url
    return env


def interrupt(args, env, ready):
    """Starts the child, waits until `ready()` says the work is under way, sends SIGINT and
    returns (seconds from the signal to KeyboardInterrupt, the child's report)."""
    # Run away from the checkout, whose tovrane_core holds no compiled modules.
    process = subprocess.Popen([sys.executable, "-c", CHILD, *args], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, cwd=pathlib.Path(args[1]).parent)
    try:
        assert process.stdout.readline().strip() == "started", process.stderr.read()
        deadline = time.monotonic() + 30
        while not ready() and time.monotonic() < deadline:
            time.sleep(0.02)
        assert ready(), "the work never got under way"
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    report = json.loads(stdout.strip().splitlines()[-1])
    assert process.returncode == 0, stderr
    return report["at"] - sent, report
