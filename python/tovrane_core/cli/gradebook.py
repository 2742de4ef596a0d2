"""The class gradebook, rebuilt from every student's answersheet JSON.

Marks are read, never worked out: each question's awarded marks are the answersheet save's
"obtained_marks", as the evaluation set them. A question the student did not answer scores
0; one that was answered but not evaluated (no rubric, service failure, ...) has an empty
cell, never a 0, and keeps the sheet's total empty: a partial total would pass for a mark.
"""

from __future__ import annotations

import csv
import dataclasses
import io
import json
from pathlib import Path
from typing import Any, Optional

from .files import write_atomically

GRADEBOOK_NAME = "gradebook.csv"


@dataclasses.dataclass
class Row:
    """One answersheet's line of the gradebook, with the saved entries behind it."""

    file: str
    stem: str
    marks: dict[str, Optional[float]]
    total: Optional[float]
    maximum: float
    percentage: Optional[float]
    error: str = ""
    entries: list[dict[str, Any]] = dataclasses.field(default_factory=list)
    rehearsal: bool = False

    @property
    def graded(self) -> bool:
        return not self.error

    @property
    def failed(self) -> bool:
        """Nothing was saved for it: the answersheet could not be read, parsed or written."""
        return bool(self.error) and not self.entries


def format_number(value: Optional[float]) -> str:
    """2.0 -> "2", 2.5 -> "2.5", None -> ""."""
    if value is None:
        return ""
    value = float(value)
    return str(int(value)) if value.is_integer() else repr(round(value, 4))


def row_from_entries(file: str, stem: str, q_ids: list[str], maximum: float,
                     entries: list[dict[str, Any]], rehearsal: bool = False) -> Row:
    by_id = {entry.get("qid"): entry for entry in entries}
    marks: dict[str, Optional[float]] = {}
    # Questions by reason, in paper order: one failure of the service often stops them all.
    reasons: dict[str, list[str]] = {}
    for q_id in q_ids:
        entry = by_id.get(q_id)
        if entry is None:
            marks[q_id] = None
            reasons.setdefault("missing from the answersheet's JSON", []).append(q_id)
        elif not entry.get("attempted"):
            marks[q_id] = 0.0
        elif entry.get("evaluated"):
            marks[q_id] = float(entry.get("obtained_marks") or 0)
        else:
            marks[q_id] = None
            reason = f"not evaluated: {entry.get('evaluation_error') or 'no reason given'}"
            reasons.setdefault(reason, []).append(q_id)
    if reasons:
        error = "; ".join(f"{', '.join(ids)} {reason}" for reason, ids in reasons.items())
        return Row(file, stem, marks, None, maximum, None, error, entries, rehearsal)
    total = sum(value for value in marks.values() if value is not None)
    return Row(file, stem, marks, total, maximum, _percentage(total, maximum), "", entries, rehearsal)


def failed_row(file: str, stem: str, q_ids: list[str], maximum: float, error: str, rehearsal: bool = False) -> Row:
    return Row(file, stem, {q_id: None for q_id in q_ids}, None, maximum, None, error or "failed", [], rehearsal)


def rows_from_folder(folder: Path, q_ids: list[str], maximum: float, records: dict[str, dict[str, Any]]) -> list[Row]:
    """A row per recorded answersheet, read from its JSON save in `folder`, in file-name order."""
    rows = []
    for stem, record in records.items():
        file = record.get("file") or f"{stem}.pdf"
        rehearsal = bool(record.get("rehearsal"))
        if record.get("status") == "failed":
            rows.append(failed_row(file, stem, q_ids, maximum, record.get("error") or "", rehearsal))
            continue
        path = folder / f"{stem}.json"
        try:
            entries = json.loads(path.read_text(encoding="utf-8"))
            if not isinstance(entries, list):
                raise ValueError("not a list of question entries")
        except (OSError, ValueError) as err:
            rows.append(failed_row(file, stem, q_ids, maximum, f"cannot read {path.name}: {err}", rehearsal))
            continue
        rows.append(row_from_entries(file, stem, q_ids, maximum, entries, rehearsal))
    return sorted(rows, key=lambda row: (row.file.casefold(), row.file))


def gradebook_csv(q_ids: list[str], rows: list[Row]) -> str:
    """RFC 4180: comma-separated, CRLF line ends, fields quoted when they need it."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\r\n")
    writer.writerow(["file", *q_ids, "total", "maximum", "percentage", "error"])
    for row in rows:
        writer.writerow([row.file, *(format_number(row.marks.get(q)) for q in q_ids), format_number(row.total),
                         format_number(row.maximum), format_number(row.percentage), row.error])
    return buffer.getvalue()


def write_gradebook(path: Path, q_ids: list[str], rows: list[Row]) -> None:
    write_atomically(path, gradebook_csv(q_ids, rows))


def _percentage(total: float, maximum: float) -> Optional[float]:
    return round(total / maximum * 100, 1) if maximum > 0 else None
