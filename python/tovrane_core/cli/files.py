"""Files of a run: atomic writes, content hashes and the record of finished answersheets."""

from __future__ import annotations

import hashlib
import json
import os
import secrets
from pathlib import Path
from typing import Any, Optional

MANIFEST_NAME = ".tovrane-manifest.json"
MANIFEST_VERSION = 1


def write_atomically(path: Path, text: str) -> None:
    """Replaces `path` with `text` (UTF-8): readers, and a Ctrl-C, see the old file or the new one."""
    path = Path(path)
    temp = path.with_name(f".{path.name}.{secrets.token_hex(6)}.tmp")
    # Created as open() would (0666 less the umask): mkstemp's 0600 would hide the class's results.
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as out:
            out.write(text)
        os.replace(temp, path)
    except BaseException:
        # KeyboardInterrupt included: never leave the temporary file behind.
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise


def sha256_of(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class Manifest:
    """What each answersheet's outputs were made from, kept beside the outputs.

    The answersheet's own JSON save is a list and stays exactly as the pipeline writes it;
    the input hashes, the outcome and any error live here instead, one entry per file stem.
    """

    def __init__(self, folder: Path, entries: Optional[dict[str, dict[str, Any]]] = None) -> None:
        self.path = Path(folder) / MANIFEST_NAME
        self.entries: dict[str, dict[str, Any]] = entries or {}

    @classmethod
    def load(cls, folder: Path) -> "Manifest":
        path = Path(folder) / MANIFEST_NAME
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            return cls(folder)
        except (OSError, ValueError):
            # An unreadable record only costs a regrade, never a wrong skip.
            return cls(folder)
        if not isinstance(data, dict) or data.get("version") != MANIFEST_VERSION:
            return cls(folder)
        sheets = data.get("sheets")
        return cls(folder, {k: v for k, v in sheets.items() if isinstance(v, dict)} if isinstance(sheets, dict) else {})

    def is_finished(self, stem: str, pdf_sha256: str, paper_sha256: str, rehearsal: bool) -> bool:
        """True when `stem` was fully graded from these very inputs and its outputs are still there."""
        entry = self.entries.get(stem)
        if not entry or entry.get("status") != "graded":
            return False
        if (entry.get("pdf_sha256"), entry.get("paper_sha256")) != (pdf_sha256, paper_sha256):
            return False
        # Rehearsal marks must never stand in for a real grading, nor the other way round.
        if bool(entry.get("rehearsal")) != rehearsal:
            return False
        folder = self.path.parent
        return all((folder / name).is_file() for name in entry.get("outputs", []))

    def record(self, stem: str, entry: dict[str, Any]) -> None:
        self.entries[stem] = entry
        self.save()

    def save(self) -> None:
        data = {"version": MANIFEST_VERSION, "sheets": dict(sorted(self.entries.items()))}
        write_atomically(self.path, json.dumps(data, indent=2, ensure_ascii=False) + "\n")

    def for_paper(self, paper_sha256: str) -> dict[str, dict[str, Any]]:
        """The entries made against this paper, by stem."""
        return {stem: e for stem, e in self.entries.items() if e.get("paper_sha256") == paper_sha256}
