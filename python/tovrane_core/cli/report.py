"""The class report: one self-contained HTML page (inline CSS and SVG, no script, no external asset)."""

from __future__ import annotations

import dataclasses
import datetime
import statistics
from pathlib import Path
from typing import Any, Optional

from .files import write_atomically
from .gradebook import Row, format_number

REPORT_NAME = "report.html"

# Chart geometry, in SVG user units.
CHART_WIDTH = 640
BAR_AREA_HEIGHT = 160
DISTRIBUTION_BINS = 10
QUESTION_ROW_HEIGHT = 26
LABEL_WIDTH = 110


@dataclasses.dataclass(frozen=True)
class Bar:
    x: float
    y: float
    width: float
    height: float
    label: str
    value: str
    title: str


def distribution_chart(percentages: list[float]) -> dict[str, Any]:
    """Students per tenth of the marks (0-10 %, ..., 90-100 %; 100 % counts in the last)."""
    counts = [0] * DISTRIBUTION_BINS
    for percentage in percentages:
        counts[max(0, min(int(percentage // 10), DISTRIBUTION_BINS - 1))] += 1
    top = max(counts) or 1
    slot = (CHART_WIDTH - 40) / DISTRIBUTION_BINS
    bars = []
    for index, count in enumerate(counts):
        height = BAR_AREA_HEIGHT * count / top
        low, high = index * 10, index * 10 + 10
        bars.append(Bar(x=20 + index * slot + 4, y=20 + BAR_AREA_HEIGHT - height, width=slot - 8, height=height,
                        label=f"{low}–{high}", value=str(count) if count else "",
                        title=f"{count} student{'s' if count != 1 else ''} with {low}–{high} %"))
    return {"width": CHART_WIDTH, "height": BAR_AREA_HEIGHT + 60, "baseline": 20 + BAR_AREA_HEIGHT, "bars": bars}


def question_chart(questions: list[dict[str, Any]]) -> dict[str, Any]:
    """Each question's average mark as a share of its maximum."""
    span = CHART_WIDTH - LABEL_WIDTH - 110
    bars = []
    for index, question in enumerate(questions):
        average, maximum = question["average"], question["max_marks"]
        share = (average / maximum) if (average is not None and maximum) else 0.0
        value = f"{format_number(round(average, 2))} / {format_number(maximum)}" if average is not None else "no marks"
        bars.append(Bar(x=LABEL_WIDTH, y=10 + index * QUESTION_ROW_HEIGHT, width=span * share,
                        height=QUESTION_ROW_HEIGHT - 8, label=question["q_id"], value=value,
                        title=f"{question['q_id']}: average {value}"))
    return {"width": CHART_WIDTH, "height": 20 + len(questions) * QUESTION_ROW_HEIGHT, "span": span,
            "bars": bars}


def _question_summaries(paper: Any, rows: list[Row]) -> list[dict[str, Any]]:
    summaries = []
    for q_id in paper.get_question_ids():
        question = paper.get_question(q_id)
        marks = [row.marks[q_id] for row in rows if row.marks.get(q_id) is not None]
        summaries.append({"q_id": q_id, "text": question.text, "max_marks": float(question.max_marks),
                          "average": statistics.fmean(marks) if marks else None, "count": len(marks)})
    return summaries


def _student(row: Row, index: int) -> dict[str, Any]:
    questions = []
    for entry in row.entries:
        q_id = entry.get("qid")
        if not entry.get("attempted"):
            status = "not attempted"
        elif entry.get("evaluated"):
            status = "evaluated"
        else:
            status = "not evaluated: " + (entry.get("evaluation_error") or "no reason given")
        questions.append({
            "q_id": q_id, "text": entry.get("question", ""), "max_marks": entry.get("max_marks"),
            "awarded": row.marks.get(q_id), "status": status, "evaluated": bool(entry.get("evaluated")),
            "answer": entry.get("student_answer", ""), "pages": entry.get("answer_pages") or [],
            "criteria": [{"statement": c.get("statement", ""), "mark": c.get("mark"),
                          "fulfilled": bool(c.get("is_fulfilled"))} for c in entry.get("rubric") or []],
            "feedback": entry.get("feedback", ""),
        })
    return {"anchor": f"student-{index}", "row": row, "questions": questions}


def report_context(paper: Any, rows: list[Row], now: Optional[datetime.datetime] = None) -> dict[str, Any]:
    graded = [row for row in rows if row.graded and row.percentage is not None]
    percentages = [row.percentage for row in graded]
    questions = _question_summaries(paper, rows)
    return {
        "subject": paper.subject, "class_level": paper.class_level, "language": paper.language,
        "maximum": float(paper.get_total_marks()), "questions": questions, "rows": rows,
        "students": [_student(row, index) for index, row in enumerate(rows, 1)],
        "graded_count": len(graded), "failed_count": len(rows) - len(graded),
        "average": statistics.fmean(percentages) if percentages else None,
        "median": statistics.median(percentages) if percentages else None,
        "highest": max(percentages) if percentages else None,
        "lowest": min(percentages) if percentages else None,
        "rehearsal": any(row.rehearsal for row in rows),
        "distribution": distribution_chart(percentages), "question_chart": question_chart(questions),
        "generated": (now or datetime.datetime.now()).strftime("%Y-%m-%d %H:%M"),
    }


def _environment() -> Any:
    import jinja2  # only when a report is written: it is not needed to start grading

    env = jinja2.Environment(loader=jinja2.PackageLoader("tovrane_core.cli", "templates"),
                             autoescape=True, trim_blocks=True, lstrip_blocks=True,
                             undefined=jinja2.StrictUndefined)
    env.filters["marks"] = format_number
    env.filters["percent"] = lambda value: "" if value is None else f"{value:.1f}"
    return env


def render_report(paper: Any, rows: list[Row], now: Optional[datetime.datetime] = None) -> str:
    return _environment().get_template("report.html.j2").render(**report_context(paper, rows, now))


def write_report(path: Path, paper: Any, rows: list[Row]) -> None:
    write_atomically(path, render_report(paper, rows))
