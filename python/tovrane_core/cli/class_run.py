"""Grading a class with the model calls of several answersheets in flight.

The structure, and why:

- One event loop. The broker's permits are an asyncio semaphore and its request window a
  list that the loop's thread alone touches, so every model call of the run goes through
  the one broker on the one loop and the permits bound all answersheets together.
- One `SheetPipeline` per answersheet in flight, each built on the shared broker. A
  pipeline holds the state of the sheet it is working on and serves one caller at a time;
  the broker's blocking batch wrappers swap its async client and semaphore while they run,
  so pipelines in parallel threads would trip over each other. The coroutine route
  (`process_pdf_async`) awaits the broker's own async operations instead.
- Pages are read ahead in one worker thread, answersheet after answersheet: the extractor
  releases the GIL while it renders and runs OCR (on all cores), so reading the next
  sheets overlaps the model calls of the current ones and the wait is the larger of the
  two, not their sum. `process_pdf_async` reads pages on the loop's thread, which would
  stall every call in flight; each pipeline therefore gets a stand-in extractor holding
  the pages already read, and runs its own steps, checks and console lines unchanged.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import dataclasses
from pathlib import Path
from typing import Any, Callable, Optional

from .console import ClassProgress, current_sheet
from .session import Session


@dataclasses.dataclass(frozen=True)
class SheetJob:
    pdf: Path
    stem: str
    pdf_sha256: str


@dataclasses.dataclass
class SheetResult:
    job: SheetJob
    answersheet: Any = None
    error: Optional[str] = None


class PagesReadAhead:
    """The extractor of one answersheet's pipeline: hands over the pages read ahead for it.

    The page reader was chosen for the whole run when the shared extractor was configured,
    so the pipeline's switch to the recommended reader changes nothing here.
    """

    def __init__(self, pages: Optional[dict] = None, error: Optional[BaseException] = None) -> None:
        self._pages = pages
        self._error = error
        self.extractor_type = None

    def change_extractor(self, extractor_type: str) -> None:
        self.extractor_type = extractor_type

    def process_pdf(self, pdf_path: str, page_numbers: Optional[list] = None) -> dict:
        if self._error is not None:
            raise self._error
        return self._pages


def sheets_in_flight(permits: int) -> int:
    """Twice as many answersheets as permits: sheets started together finish together, and
    while the last evaluations of some drain, the parses and evaluations of the others
    keep every permit busy."""
    return 2 * permits


async def grade_sheets(session: Session, paper: Any, jobs: list[SheetJob], progress: ClassProgress,
                       finish: Callable[[SheetResult], str]) -> list[SheetResult]:
    """Grades `jobs` against `paper`; `finish` writes a sheet's outputs and returns its progress line."""
    from tovrane_core.sheet_pipeline import SheetPipeline

    loop = asyncio.get_running_loop()
    broker = session.broker
    extractor = session.facade.extractor_client
    reader = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="tovrane-pages")
    in_flight = sheets_in_flight(int(broker.max_concurrent_requests))
    slots = asyncio.Semaphore(in_flight)
    # Pages are read at most this many sheets ahead of the model work that will use them.
    read_ahead = asyncio.Semaphore(2 * in_flight)

    def on_call(task_name: str) -> None:
        stem = current_sheet.get()
        if stem and task_name.startswith("parse_answersheet"):
            progress.step(stem, "evaluating answers", 1)
        progress.refresh()

    session.meter.on_call = on_call

    async def grade_one(job: SheetJob) -> SheetResult:
        current_sheet.set(job.stem)
        async with read_ahead:
            context = contextvars.copy_context()
            pages, error = None, None
            try:
                pages = await loop.run_in_executor(reader, context.run, extractor.process_pdf, str(job.pdf), None)
            except Exception as err:  # the pipeline reports it as its own extraction failure
                error = err
            progress.pages_read(job.stem)
            async with slots:
                progress.started(job.stem)
                pipeline = SheetPipeline(extractor_client=PagesReadAhead(pages, error), model_broker=broker)
                try:
                    result = SheetResult(job, answersheet=await pipeline.process_pdf_async(str(job.pdf), paper))
                except Exception as err:
                    result = SheetResult(job, error=str(err) or type(err).__name__)
        try:
            line = finish(result)
        except Exception as err:  # one sheet's record must not stop the class
            line = f"{job.pdf.name}: {err}"
        progress.finished(job.stem, line)
        return result

    tasks = [asyncio.ensure_future(grade_one(job)) for job in jobs]
    try:
        return list(await asyncio.gather(*tasks))
    finally:
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        session.meter.on_call = None
        # Pages not yet read are dropped; a read under way is not waited for.
        reader.shutdown(wait=False, cancel_futures=True)
        await _close_client(broker)


async def _close_client(broker: Any) -> None:
    """Closes the async client's connections on the loop that opened them."""
    close = getattr(getattr(broker, "async_client", None), "close", None)
    if close is None:
        return
    try:
        await close()
    except Exception:
        pass  # the connections die with the loop anyway


def run_class(session: Session, paper: Any, jobs: list[SheetJob], progress: ClassProgress,
              finish: Callable[[SheetResult], str]) -> list[SheetResult]:
    if not jobs:
        return []
    return asyncio.run(grade_sheets(session, paper, jobs, progress, finish))
