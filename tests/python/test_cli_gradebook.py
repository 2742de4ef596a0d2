"""The gradebook, the run's record, atomic files and the report page, in-process."""

from __future__ import annotations

import csv
import io
import json
import os
import types

import pytest

from tovrane_core.cli.files import MANIFEST_NAME, Manifest, write_atomically
from tovrane_core.cli.gradebook import format_number, gradebook_csv, row_from_entries, rows_from_folder
from tovrane_core.cli.options import parse_pages
from tovrane_core.cli.report import distribution_chart, render_report

Q_IDS = ["Q1", "Q2", "Q3"]


def entry(qid, *, attempted=True, evaluated=True, marks=0.0, error=None, answer="text", rubric=()):
    return {"qid": qid, "question": f"Question {qid}", "ref_answer": "ref",
            "student_answer": answer if attempted else "",
            "answer_pages": [1] if attempted else [], "rubric": list(rubric), "max_marks": 2.0,
            "obtained_marks": marks, "feedback": "Well done." if evaluated else "", "attempted": attempted,
            "evaluated": evaluated and attempted, "evaluation_error": error}


@pytest.mark.parametrize(("entries", "marks", "total", "percentage", "error"), [
    ([entry("Q1", marks=2.0), entry("Q2", marks=1.5), entry("Q3", marks=0.0)],
     [2.0, 1.5, 0.0], 3.5, 58.3, ""),
    ([entry("Q1", marks=2.0), entry("Q2", attempted=False), entry("Q3", marks=1.0)],
     [2.0, 0.0, 1.0], 3.0, 50.0, ""),
    ([entry("Q1", marks=2.0), entry("Q2", evaluated=False, error="service unavailable"), entry("Q3", marks=1.0)],
     [2.0, None, 1.0], None, None, "Q2 not evaluated: service unavailable"),
    ([entry("Q1", evaluated=False, error="no rubric"), entry("Q2", evaluated=False), entry("Q3", marks=1.0)],
     [None, None, 1.0], None, None, "Q1 not evaluated: no rubric; Q2 not evaluated: no reason given"),
    ([entry("Q1", evaluated=False, error="timeout"), entry("Q2", marks=1.0), entry("Q3", evaluated=False,
                                                                                    error="timeout")],
     [None, 1.0, None], None, None, "Q1, Q3 not evaluated: timeout"),
    ([entry("Q1", marks=2.0), entry("Q3", marks=1.0)],
     [2.0, None, 1.0], None, None, "Q2 missing from the answersheet's JSON"),
])
def test_a_row_reads_the_marks_and_never_turns_a_missing_evaluation_into_zero(entries, marks, total, percentage,
                                                                              error):
    row = row_from_entries("a.pdf", "a", Q_IDS, 6.0, entries)
    assert [row.marks[q] for q in Q_IDS] == marks
    assert row.total == total
    assert row.percentage == percentage
    assert row.error == error
    assert row.graded == (error == "")


def test_a_paper_without_marks_has_no_percentage():
    row = row_from_entries("a.pdf", "a", ["Q1"], 0.0, [entry("Q1", marks=0.0)])
    assert row.total == 0.0 and row.percentage is None


@pytest.mark.parametrize(("value", "text"), [(None, ""), (2.0, "2"), (2, "2"), (2.5, "2.5"), (1 / 3, "0.3333"),
                                             (0.0, "0"), (58.3, "58.3")])
def test_numbers_are_written_plainly(value, text):
    assert format_number(value) == text


def test_the_csv_follows_rfc_4180_and_keeps_awkward_errors_in_one_field():
    rows = [row_from_entries("plain.pdf", "plain", Q_IDS, 6.0, [entry(q, marks=1.0) for q in Q_IDS]),
            row_from_entries("Ravi, \"R\".pdf", "Ravi", Q_IDS, 6.0,
                             [entry("Q1", marks=1.0), entry("Q2", evaluated=False, error="bad,\n\"reply\""),
                              entry("Q3", attempted=False)])]
    text = gradebook_csv(Q_IDS, rows)
    assert text.count("\r\n") == 3  # one per record; the error keeps its own line break, quoted
    assert text.startswith("file,Q1,Q2,Q3,total,maximum,percentage,error\r\n")
    parsed = list(csv.reader(io.StringIO(text, newline="")))
    assert parsed[1] == ["plain.pdf", "1", "1", "1", "3", "6", "50", ""]
    assert parsed[2] == ["Ravi, \"R\".pdf", "1", "", "0", "", "6", "", "Q2 not evaluated: bad,\n\"reply\""]


def test_rows_are_read_from_the_saved_json_and_failures_from_the_record(tmp_path):
    (tmp_path / "b.json").write_text(json.dumps([entry(q, marks=2.0) for q in Q_IDS]), encoding="utf-8")
    (tmp_path / "c.json").write_text("[truncated", encoding="utf-8")
    records = {"b": {"file": "b.pdf", "status": "graded"}, "a": {"file": "A.pdf", "status": "failed",
                                                                   "error": "Failed to parse answers: timeout"},
               "c": {"file": "c.pdf", "status": "graded"}}
    rows = rows_from_folder(tmp_path, Q_IDS, 6.0, records)
    assert [row.file for row in rows] == ["A.pdf", "b.pdf", "c.pdf"]
    assert rows[0].failed and rows[0].error == "Failed to parse answers: timeout"
    assert rows[1].total == 6.0 and rows[1].percentage == 100.0
    assert rows[2].failed and rows[2].error.startswith("cannot read c.json")


# ---- the run's record ----------------------------------------------------------------------------

def finished_record(tmp_path, **changes):
    for name in ("s.json", "s.txt"):
        (tmp_path / name).write_text("x", encoding="utf-8")
    record = {"file": "s.pdf", "pdf_sha256": "pdf", "paper_sha256": "paper", "rehearsal": False,
              "status": "graded", "outputs": ["s.json", "s.txt"]}
    record.update(changes)
    manifest = Manifest(tmp_path)
    manifest.record("s", record)
    return Manifest.load(tmp_path)


@pytest.mark.parametrize(("changes", "ask", "finished"), [
    ({}, ("pdf", "paper", False), True),
    ({}, ("other pdf", "paper", False), False),
    ({}, ("pdf", "other paper", False), False),
    ({}, ("pdf", "paper", True), False),
    ({"rehearsal": True}, ("pdf", "paper", False), False),
    ({"status": "incomplete"}, ("pdf", "paper", False), False),
    ({"status": "failed"}, ("pdf", "paper", False), False),
    ({"outputs": ["s.json", "gone.txt"]}, ("pdf", "paper", False), False),
])
def test_a_student_is_skipped_only_when_made_from_the_same_inputs(tmp_path, changes, ask, finished):
    manifest = finished_record(tmp_path, **changes)
    assert manifest.is_finished("s", *ask) is finished
    assert not manifest.is_finished("other", *ask)


@pytest.mark.parametrize("content", ["{broken", "[]", json.dumps({"version": 99, "sheets": {"s": {}}}), ""])
def test_an_unreadable_record_means_nothing_is_skipped(tmp_path, content):
    (tmp_path / MANIFEST_NAME).write_text(content, encoding="utf-8")
    assert Manifest.load(tmp_path).entries == {}


def test_atomic_writes_replace_whole_files_with_the_usual_permissions(tmp_path):
    target = tmp_path / "gradebook.csv"
    target.write_text("old", encoding="utf-8")
    write_atomically(target, "new,\r\n")
    assert target.read_bytes() == b"new,\r\n"
    umask = os.umask(0)
    os.umask(umask)
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask
    with pytest.raises(TypeError):
        write_atomically(target, b"not text")  # fails half-way, inside the write
    assert target.read_bytes() == b"new,\r\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["gradebook.csv"]


@pytest.mark.parametrize(("text", "pages"), [(None, None), ("1,3", [1, 3]), ("2-4", [2, 3, 4]),
                                             (" 5 , 1-2", [5, 1, 2])])
def test_page_lists(text, pages):
    assert parse_pages(text) == pages


@pytest.mark.parametrize("text", ["0", "3-1", "a", "1,,2", "-2"])
def test_bad_page_lists_are_usage_errors(text):
    import click
    with pytest.raises(click.BadParameter):
        parse_pages(text)


# ---- the report page ------------------------------------------------------------------------------

def test_the_distribution_counts_every_student_once_with_full_marks_in_the_top_band():
    chart = distribution_chart([0.0, 9.9, 10.0, 55.0, 99.9, 100.0])
    counts = [int(bar.value or 0) for bar in chart["bars"]]
    assert counts == [2, 1, 0, 0, 0, 1, 0, 0, 0, 2]
    heights = [bar.height for bar in chart["bars"]]
    assert heights[0] == heights[9] == max(heights) and heights[2] == 0


def fake_paper():
    questions = {q: types.SimpleNamespace(q_id=q, text=f"Question {q}", max_marks=2.0) for q in Q_IDS}
    return types.SimpleNamespace(subject="Science <b>", class_level="7", language="English",
                                 get_question_ids=lambda: list(Q_IDS), get_question=questions.__getitem__,
                                 get_total_marks=lambda: 6.0)


def test_the_report_escapes_what_students_wrote_and_shows_every_student():
    rubric = [{"statement": "Names <i>it</i>", "mark": 1.0, "is_fulfilled": True},
              {"statement": "Explains", "mark": 1.0, "is_fulfilled": False}]
    rows = [row_from_entries("x.pdf", "x", Q_IDS, 6.0,
                             [entry("Q1", marks=1.0, answer="<script>alert(1)</script>", rubric=rubric),
                              entry("Q2", marks=2.0), entry("Q3", attempted=False)]),
            row_from_entries("y.pdf", "y", Q_IDS, 6.0, [])]
    page = render_report(fake_paper(), rows)
    assert "<script" not in page and "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    assert "Science &lt;b&gt;" in page and "Names &lt;i&gt;it&lt;/i&gt;" in page
    assert page.count('class="student"') == 2 and "x.pdf" in page and "y.pdf" in page
    assert page.count("<svg") == 2
    assert "http://" not in page.replace('xmlns="http://www.w3.org/2000/svg"', "")
    assert 'class="tick"' in page and 'class="cross"' in page
