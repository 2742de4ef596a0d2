"""Stand-ins for the model broker's collaborators, and a broker factory for tests.

The broker reaches its client, clock and logger through attributes at call time, so tests
assign these objects to a broker instead of patching modules::

    broker = make_broker()
    broker.client = client_with(ScriptedCompletions(response(content="{}", usage=usage(3, 4))))
"""

from __future__ import annotations

import asyncio
import logging
import re
import time
from types import SimpleNamespace
from typing import Any

import pytest

from support.secret_scan import SECRET_API_KEY

TEST_KEY = SECRET_API_KEY  # the recognisable key: output that shows it has leaked it

# Tests patch asyncio.sleep to fake the rate limiter's waits; the fakes keep the real one.
_real_sleep = asyncio.sleep

# One usage-log entry begins with its time stamp; the message may span several lines.
STAMP = re.compile(r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \| ", re.M)


class ScriptedCompletions:
    """`completions` whose `parse` records its keywords and answers from a script; an
    exception in the script is raised instead."""

    def __init__(self, *answers: Any) -> None:
        self.answers = list(answers)
        self.calls: list[dict] = []

    def _answer(self, kwargs: dict) -> Any:
        self.calls.append(kwargs)
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def parse(self, **kwargs: Any) -> Any:
        return self._answer(kwargs)


class AsyncScriptedCompletions(ScriptedCompletions):
    """The same for the asynchronous client. With `gate` set, each call waits for it."""

    def __init__(self, *answers: Any, gate: asyncio.Event | None = None) -> None:
        super().__init__(*answers)
        self.gate = gate
        self.in_flight = 0
        self.max_in_flight = 0

    async def parse(self, **kwargs: Any) -> Any:
        self.in_flight += 1
        self.max_in_flight = max(self.max_in_flight, self.in_flight)
        try:
            if self.gate is not None:
                await self.gate.wait()
            else:
                await _real_sleep(0)
            return self._answer(kwargs)
        finally:
            self.in_flight -= 1


def client_with(completions: Any, beta: bool = True) -> SimpleNamespace:
    """A client exposing `beta.chat.completions`, or only `chat.completions`."""
    chat = SimpleNamespace(completions=completions)
    return SimpleNamespace(beta=SimpleNamespace(chat=chat)) if beta else SimpleNamespace(chat=chat)


def usage(prompt_tokens: int, completion_tokens: int) -> SimpleNamespace:
    return SimpleNamespace(prompt_tokens=prompt_tokens, completion_tokens=completion_tokens,
                           total_tokens=prompt_tokens + completion_tokens)


def response(content: Any = "", usage: Any = None, parsed: Any = None) -> SimpleNamespace:
    message = SimpleNamespace(content=content, parsed=parsed)
    return SimpleNamespace(choices=[SimpleNamespace(message=message)], usage=usage)


def after_calls(broker: Any, count: int, action: Any) -> None:
    """Runs `action` on the broker's event loop right after its `count`th successful model
    call: Ctrl-C (`raise_interrupt`) or a cancellation landing while other calls are out."""
    original = broker._log_token_usage
    done: list[str] = []

    def counting(task_name: str, *args: Any) -> None:
        original(task_name, *args)
        if not task_name.endswith("_FAILED"):
            done.append(task_name)
            if len(done) == count:
                asyncio.get_running_loop().call_soon(action)

    broker._log_token_usage = counting


def raise_interrupt() -> None:
    raise KeyboardInterrupt


def run_cut_short(broker: Any, count: int, route: str, call: Any, make_coroutine: Any) -> float:
    """Runs `call()` (route "sync") with Ctrl-C, or awaits `make_coroutine()` (route "async")
    with a cancellation, landing after the broker's `count`th successful model call. Returns
    the seconds the run took to stop."""
    running: dict = {}
    after_calls(broker, count, raise_interrupt if route == "sync" else lambda: running["task"].cancel())
    started = time.monotonic()
    if route == "sync":
        with pytest.raises(KeyboardInterrupt):
            call()
    else:
        async def main() -> None:
            running["task"] = asyncio.ensure_future(make_coroutine())
            with pytest.raises(asyncio.CancelledError):
                await running["task"]
        asyncio.run(main())
    return time.monotonic() - started


def log_entries(path) -> list[str]:
    """The messages of a usage log, each with the line break the handler adds."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    pieces = STAMP.split(text)
    assert pieces[0] == "", f"log does not start with a time stamp: {text[:80]!r}"
    return pieces[1:]


def close_token_logger() -> None:
    logger = logging.getLogger("token_usage")
    for handler in list(logger.handlers):
        logger.removeHandler(handler)
        handler.close()


@pytest.fixture
def make_broker(monkeypatch, tmp_path):
    """Builds brokers with a test key and a log file in tmp_path; closes the log after."""
    from tovrane_core.model_broker import ModelBroker

    monkeypatch.setenv("OPENAI_API_KEY", TEST_KEY)

    def make(**kwargs: Any):
        kwargs.setdefault("token_log_file", str(tmp_path / "usage.log"))
        return ModelBroker(**kwargs)

    yield make
    close_token_logger()
