"""The options every command shares, and the exit statuses."""

from __future__ import annotations

import functools
from pathlib import Path
from typing import Callable

import click

from .session import RunSettings

EXIT_OK = 0
EXIT_SOME_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130



def _readers() -> tuple[str, ...]:
    """The readers the extractor knows; whether this build carries one is checked when it is chosen."""
    from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

    return tuple(ExtractorClient.EXTRACTOR_TYPES)


READERS = _readers()


def common_options(func: Callable) -> Callable:
    """Adds the shared options and hands them to the command as one `settings` argument."""

    @click.option("--base-url", metavar="URL",
                  help="Any OpenAI-compatible server (vLLM, llama.cpp, Ollama, a gateway). "
                       "Default: OPENAI_BASE_URL, else OpenAI's service.")
    @click.option("--concurrency", type=click.IntRange(min=1), metavar="N",
                  help="Model requests in flight at once (the broker's permits; default 5).")
    @click.option("--rpm", type=click.IntRange(min=1), metavar="N",
                  help="Model requests started per minute at most (default 50; not limited with --offline).")
    @click.option("--token-log", type=click.Path(dir_okay=False, path_type=Path), metavar="FILE",
                  help="Append a usage and cost record per model call to FILE.")
    @click.option("--extractor", type=click.Choice(READERS, case_sensitive=False),
                  help="Page reader for the whole run. Default: the recommendation rule, which picks the "
                       "OpenAI vision reader whenever OPENAI_API_KEY is set.")
    @click.option("--dpi", type=click.IntRange(min=1), metavar="N",
                  help="Resolution at which pages without a text layer are read (default 150).")
    @click.option("--offline", is_flag=True,
                  help="No language model, no key, no network: a built-in stand-in answers on 127.0.0.1 "
                       "by simple text rules and pages are read on this machine. The marks are a rehearsal.")
    @click.option("--quiet", "-q", is_flag=True,
                  help="Only what was written, and problems: no progress, no pipeline lines.")
    @functools.wraps(func)
    def wrapper(*args, base_url, concurrency, rpm, token_log, extractor, dpi, offline, quiet, **kwargs):
        settings = RunSettings(base_url=base_url, concurrency=concurrency, rpm=rpm, token_log=token_log,
                               extractor=extractor.lower() if extractor else None, dpi=dpi, offline=offline,
                               quiet=quiet)
        settings.check()
        return func(*args, settings=settings, **kwargs)

    return wrapper


def parse_pages(value: str | None) -> list[int] | None:
    """"1,3-5" -> [1, 3, 4, 5]; None for all pages."""
    if value is None:
        return None
    pages: list[int] = []
    for part in value.split(","):
        part = part.strip()
        first, _, last = part.partition("-")
        try:
            low = int(first)
            high = int(last) if last else low
        except ValueError:
            raise click.BadParameter(f"{part!r} is not a page number or a range like 2-4", param_hint="--pages")
        if low < 1 or high < low:
            raise click.BadParameter(f"{part!r}: pages count from 1, ranges upwards", param_hint="--pages")
        pages.extend(range(low, high + 1))
    return pages
