"""What the teacher sees: our own lines, the system's console lines and progress.

On a terminal a rich progress display shows the class and each answersheet in flight;
otherwise (a pipe, a log file, CI) everything is plain lines. The system prints through
Python's ``sys.stdout``; while a run is going that is a line splitter which names the
answersheet a line belongs to (several are in flight at once) and drops the lines under
``--quiet``.
"""

from __future__ import annotations

import contextlib
import contextvars
import sys
import threading
from typing import Callable, Iterator, Optional, TextIO

# The answersheet whose work is running in this task or thread, for labelling its lines.
current_sheet: contextvars.ContextVar[Optional[str]] = contextvars.ContextVar("current_sheet", default=None)


class SystemLines:
    """A text stream that hands each complete line to `emit`, labelled with the current sheet."""

    def __init__(self, emit: Optional[Callable[[str], None]], encoding: str = "utf-8") -> None:
        self._emit = emit
        self._partial: dict[int, str] = {}
        self._lock = threading.Lock()
        self.encoding = encoding
        self.errors = "strict"

    def write(self, text: str) -> int:
        key = threading.get_ident()
        with self._lock:
            buffered = self._partial.pop(key, "") + text
            *lines, rest = buffered.split("\n")
            if rest:
                self._partial[key] = rest
        for line in lines:
            self._line(line)
        return len(text)

    def _line(self, line: str) -> None:
        if self._emit is None:
            return
        sheet = current_sheet.get()
        self._emit(f"[{sheet}] {line}" if sheet else line)

    def flush(self) -> None:
        with self._lock:
            rest = list(self._partial.values())
            self._partial.clear()
        for line in rest:
            self._line(line)

    def isatty(self) -> bool:
        return False

    def writable(self) -> bool:
        return True


class Console:
    """Our own lines on stdout, problems on stderr, progress on a terminal only."""

    def __init__(self, quiet: bool = False, stdout: Optional[TextIO] = None, stderr: Optional[TextIO] = None) -> None:
        self.quiet = quiet
        self.out = stdout or sys.stdout
        self.err = stderr or sys.stderr
        self.interactive = not quiet and _is_terminal(self.out)
        self._lock = threading.Lock()
        self._live = None  # the rich console of a running progress display

    # ---- lines ---------------------------------------------------------------------------

    def say(self, text: str, *, always: bool = False) -> None:
        """One of our lines; `always` keeps it under --quiet (what was written, and where)."""
        if self.quiet and not always:
            return
        self._print(text)

    def system(self, text: str) -> None:
        """One of the system's own console lines."""
        if not self.quiet:
            self._print(text)

    def problem(self, text: str) -> None:
        with self._lock:
            self.err.write(text + "\n")
            self.err.flush()

    def _print(self, text: str) -> None:
        with self._lock:
            if self._live is not None:
                self._live.print(text, markup=False, highlight=False, soft_wrap=True)
            else:
                self.out.write(text + "\n")
                self.out.flush()

    @contextlib.contextmanager
    def capturing_system_lines(self) -> Iterator[None]:
        """Routes the system's console lines (sys.stdout) through this console while inside."""
        saved = sys.stdout
        lines = SystemLines(self.system, getattr(self.out, "encoding", None) or "utf-8")
        sys.stdout = lines
        try:
            yield
        finally:
            lines.flush()
            sys.stdout = saved

    @contextlib.contextmanager
    def held_lines(self) -> Iterator[list[str]]:
        """Collects the system's lines instead of showing them, to show them later with `replay`."""
        held: list[str] = []
        saved = sys.stdout
        sys.stdout = SystemLines(held.append)
        try:
            yield held
        finally:
            sys.stdout.flush()
            sys.stdout = saved

    def replay(self, lines: list[str]) -> None:
        for line in lines:
            self.system(line)

    # ---- progress ------------------------------------------------------------------------

    @contextlib.contextmanager
    def class_progress(self, total: int, usage: Callable[[], str]) -> Iterator["ClassProgress"]:
        if not self.interactive:
            yield PlainProgress(self, total)
            return
        from rich.console import Console as RichConsole
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

        rich_console = RichConsole(file=self.out)
        progress = Progress(
            TextColumn("{task.description}"),
            BarColumn(),
            MofNCompleteColumn(),
            TimeElapsedColumn(),
            TextColumn("{task.fields[status]}"),
            console=rich_console,
            redirect_stdout=False,
            redirect_stderr=False,
            transient=False,
        )
        view = RichProgress(progress, total, usage)
        with progress:
            with self._lock:
                self._live = rich_console
            try:
                yield view
            finally:
                view.refresh()
                with self._lock:
                    self._live = None


class ClassProgress:
    """Progress of a class: pages read ahead, answersheets in flight, moved on a step, finished."""

    def pages_read(self, stem: str) -> None: ...
    def started(self, stem: str) -> None: ...
    def step(self, stem: str, status: str, completed: int) -> None: ...
    def finished(self, stem: str, line: str) -> None: ...
    def refresh(self) -> None: ...


class PlainProgress(ClassProgress):
    def __init__(self, console: Console, total: int) -> None:
        self._console = console
        self._total = total
        self._done = 0

    def finished(self, stem: str, line: str) -> None:
        self._done += 1
        self._console.say(f"[{self._done}/{self._total}] {line}")


class RichProgress(ClassProgress):
    # The bar of an answersheet in flight: its answers parsed, then evaluated.
    STEPS = 2

    def __init__(self, progress, total: int, usage: Callable[[], str]) -> None:
        self._progress = progress
        self._usage = usage
        self._total = total
        self._read = 0
        self._class = progress.add_task("Class", total=total, status="")
        self._sheets: dict[str, int] = {}
        self._lock = threading.Lock()
        self.refresh()

    def pages_read(self, stem: str) -> None:
        with self._lock:
            self._read += 1
        self.refresh()

    def started(self, stem: str) -> None:
        with self._lock:
            self._sheets[stem] = self._progress.add_task(f"  {stem}", total=self.STEPS, status="parsing answers")
        self.refresh()

    def step(self, stem: str, status: str, completed: int) -> None:
        with self._lock:
            task = self._sheets.get(stem)
            if task is not None:
                self._progress.update(task, completed=completed, status=status)
        self.refresh()

    def finished(self, stem: str, line: str) -> None:
        with self._lock:
            task = self._sheets.pop(stem, None)
            if task is not None:
                self._progress.remove_task(task)
            self._progress.advance(self._class)
        self._progress.console.print(line, markup=False, highlight=False, soft_wrap=True)
        self.refresh()

    def refresh(self) -> None:
        self._progress.update(self._class, status=f"{self._read}/{self._total} read · {self._usage()}")


def _is_terminal(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False
