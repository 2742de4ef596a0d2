"""The recognisable API key every test runs with, and the search for it in what a test
leaves behind: captured output and logs, failure texts, files.

conftest.py sets the key for every test, fails a test whose captured output, log or
failure report holds it, and fails the session when a file written during it does.
"""

from __future__ import annotations

import os
import pathlib
from typing import Iterable, Iterator

# Recognisable in any output; only ever sent to the loopback fake service.
SECRET_API_KEY = "sk-tovrane-SECRET-7d1e5c0a9b3f4e2d8c6a1b0f"
# A key cut short or masked still gives itself away by its middle.
SECRET_MARK = "tovrane-SECRET-7d1e5c0a"

# Files larger than this are read only in part: test data, not things a test wrote.
_READ_LIMIT = 8 * 1024 * 1024


def holds_secret(text) -> bool:
    """True when `text` (str or bytes, any encoding close to ASCII) holds the key's mark."""
    if text is None:
        return False
    if isinstance(text, (bytes, bytearray, memoryview)):
        data = bytes(text)
        return SECRET_MARK.encode() in data or SECRET_MARK.encode("utf-16-le") in data
    return SECRET_MARK in str(text)


def report_leaks(report) -> list[str]:
    """Where in one pytest report (a test's setup, call or teardown) the key shows: the
    names of that phase's captured sections (a later phase's report repeats them) and
    "failure text"."""
    where = [name for name, content in getattr(report, "sections", ())
             if name.endswith(" " + report.when) and holds_secret(content)]
    if report.longrepr is not None and holds_secret(report.longreprtext):
        where.append("failure text")
    return where


def files_with_secret(roots: Iterable[os.PathLike], since: float = 0.0) -> Iterator[pathlib.Path]:
    """Regular files under `roots` modified at or after `since` that hold the key."""
    for root in roots:
        root = pathlib.Path(root)
        if not root.exists():
            continue
        paths = [root] if root.is_file() else root.rglob("*")
        for path in paths:
            try:
                if path.is_symlink() or not path.is_file() or path.stat().st_mtime < since:
                    continue
                with open(path, "rb") as f:
                    data = f.read(_READ_LIMIT)
            except OSError:
                continue
            if holds_secret(data):
                yield path
