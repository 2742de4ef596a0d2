"""One configured facade per command: the environment it needs, the model service, the page reader.

Everything here is set up before any work and found wrong early: a missing key, a page
reader this build lacks and conflicting options are usage errors (exit status 2).
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import threading
from pathlib import Path
from typing import Any, Callable, Iterator, Optional

import click

from .console import Console

KEY_VARIABLE = "OPENAI_API_KEY"
BASE_URL_VARIABLE = "OPENAI_BASE_URL"
READER_VARIABLE = "TOVRANE_EXTRACTOR"

# A key for servers that take any: the rehearsal model and the estimate's stand-in client.
PLACEHOLDER_KEY = "tovrane-no-key-needed"
# The rehearsal model has no quota to protect: its requests are not rate limited.
UNLIMITED_RPM = 1_000_000


@dataclasses.dataclass(frozen=True)
class RunSettings:
    """The options every command shares."""

    base_url: Optional[str] = None
    concurrency: Optional[int] = None
    rpm: Optional[int] = None
    token_log: Optional[Path] = None
    extractor: Optional[str] = None
    dpi: Optional[int] = None
    offline: bool = False
    quiet: bool = False

    def check(self) -> None:
        """Conflicting options, refused before any work."""
        if self.offline and self.base_url:
            raise click.UsageError("--offline uses the built-in rehearsal model; drop --base-url (or --offline).")
        if self.offline and self.extractor and self.extractor != "local":
            raise click.UsageError(
                f"--offline reads pages on this machine; drop --extractor {self.extractor} (or --offline).")
        if self.token_log and not self.token_log.resolve().parent.is_dir():
            raise click.BadParameter(f"folder {str(self.token_log.parent)!r} does not exist", param_hint="--token-log")


class UsageMeter:
    """Counts the model calls of a broker, per task, as its usage records are written."""

    def __init__(self, broker: Any, on_call: Optional[Callable[[str], None]] = None) -> None:
        self.calls = 0
        self.by_task: dict[str, dict[str, float]] = {}
        self._broker = broker
        self.on_call = on_call
        self._lock = threading.Lock()
        original = broker._log_token_usage

        def counted(task_name, input_tokens, output_tokens, model, additional_info=""):
            before = broker.total_cost
            result = original(task_name, input_tokens, output_tokens, model, additional_info)
            cost = broker.total_cost - before
            with self._lock:
                self.calls += 1
                tally = self.by_task.setdefault(task_name, {"calls": 0, "input": 0, "output": 0, "cost": 0.0})
                tally["calls"] += 1
                tally["input"] += int(input_tokens)
                tally["output"] += int(output_tokens)
                tally["cost"] += cost
            if self.on_call is not None:
                self.on_call(task_name)
            return result

        # An instance attribute shadows the method: the broker looks it up at every call.
        broker._log_token_usage = counted

    def summary(self) -> str:
        usage = self._broker.get_total_usage()
        return f"{self.calls} calls · {usage['total_tokens']:,} tokens · ${usage['total_cost']:.4f}"


@dataclasses.dataclass
class Session:
    facade: Any
    broker: Any
    reader: str
    rehearsal: bool
    settings: RunSettings
    console: Console
    meter: UsageMeter


def _set_environment(values: dict[str, Optional[str]]) -> None:
    for name, value in values.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


@contextlib.contextmanager
def environment(changes: dict[str, Optional[str]]) -> Iterator[None]:
    """Sets (or, for None, removes) variables while inside; puts the old values back after."""
    saved = {name: os.environ.get(name) for name in changes}
    try:
        _set_environment(changes)
        yield
    finally:
        _set_environment(saved)


def _loopback_no_proxy() -> str:
    current = os.environ.get("NO_PROXY") or os.environ.get("no_proxy") or ""
    hosts = [h for h in current.split(",") if h.strip()]
    return ",".join(hosts + [h for h in ("127.0.0.1", "localhost") if h not in hosts])


def _check_reader(reader: str) -> None:
    """Refuses, before any work, a page reader that lacks its SDK or its credentials here."""
    from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

    try:
        ExtractorClient(extractor_type=reader).check_reader()
    except (RuntimeError, ValueError) as err:
        raise click.UsageError(f"{err} (choose one with --extractor)") from None


def _reader_line(reader: str) -> str:
    from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

    if reader == "local":
        languages = os.environ.get("TOVRANE_OCR_LANG") or "eng"
        return f"Page reader: local (each page's text layer, else Tesseract OCR on this machine, languages {languages})"
    if reader == "openai":
        model = ExtractorClient(extractor_type="openai").ocr_model
        return (f"Page reader: openai (each page's text layer, else the vision model {model}: "
                "every page without a text layer is sent to the service)")
    return f"Page reader: {reader}"


def _config(settings: RunSettings, reader: str) -> Any:
    from tovrane_core.tovrane import TovraneConfig

    fields: dict[str, Any] = {
        "extractor_type": reader,
        # Without --token-log nothing is logged, and no empty log file is left behind.
        "token_log_file": str(settings.token_log) if settings.token_log else os.devnull,
        "enable_llm_token_logging": settings.token_log is not None,
    }
    if settings.dpi is not None:
        fields["dpi"] = settings.dpi
    if settings.concurrency is not None:
        fields["max_concurrent_requests"] = settings.concurrency
    rpm = settings.rpm if settings.rpm is not None else (UNLIMITED_RPM if settings.offline else None)
    if rpm is not None:
        fields["requests_per_minute"] = rpm
    return TovraneConfig(**fields)


@contextlib.contextmanager
def open_session(settings: RunSettings, console: Console, subject: str, *,
                 dry_run: bool = False) -> Iterator[Session]:
    """Configures the facade for one command and prints which reader and model it uses.

    `dry_run` (the estimate) needs no key and reads pages on this machine: its model client
    is replaced before any call, so nothing reaches a service.
    """
    settings.check()
    # Importing the facade loads a .env file, which may hold the key.
    from tovrane_core.tovrane import Tovrane

    if not (settings.offline or dry_run) and not os.environ.get(KEY_VARIABLE):
        raise click.UsageError(
            f"{KEY_VARIABLE} is not set. Set it to your OpenAI API key (any value for a local server "
            "given with --base-url), or pass --offline to rehearse the run with the built-in stand-in model.")

    with contextlib.ExitStack() as stack:
        changes: dict[str, Optional[str]] = {}
        server = None
        if settings.offline:
            from tovrane_core.rehearsal import RehearsalServer

            server = stack.enter_context(RehearsalServer())
            changes.update({BASE_URL_VARIABLE: server.base_url, KEY_VARIABLE: PLACEHOLDER_KEY,
                            READER_VARIABLE: "local", "NO_PROXY": _loopback_no_proxy()})
            changes["no_proxy"] = changes["NO_PROXY"]
        else:
            if settings.base_url:
                changes[BASE_URL_VARIABLE] = settings.base_url
            if dry_run:
                changes[READER_VARIABLE] = "local"
                if not os.environ.get(KEY_VARIABLE):
                    changes[KEY_VARIABLE] = PLACEHOLDER_KEY
            elif settings.extractor:
                changes[READER_VARIABLE] = settings.extractor
        stack.enter_context(environment(changes))

        from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

        reader = ExtractorClient.get_recommended_extractor_for_subject(subject)
        _check_reader(reader)

        facade = Tovrane()
        with console.held_lines() as held:
            try:
                facade.configure(_config(settings, reader))
            except Exception as err:
                raise click.ClickException(str(err)) from None
        broker = facade.model_broker

        if server is not None:
            from tovrane_core.rehearsal import REHEARSAL_NOTICE

            console.say(REHEARSAL_NOTICE, always=True)
        console.say(_reader_line(reader))
        if server is not None:
            console.say(f"Language model: none; the rehearsal stand-in answers at {server.base_url}")
        elif dry_run:
            console.say(f"Language model: {broker.model} (not called: tokens are counted on this machine)")
        else:
            console.say(f"Language model: {broker.model} at {broker.client.base_url}")
        if settings.token_log:
            console.say(f"Usage log: {settings.token_log}")
        console.replay(held)

        yield Session(facade=facade, broker=broker, reader=reader, rehearsal=server is not None,
                      settings=settings, console=console, meter=UsageMeter(broker))
