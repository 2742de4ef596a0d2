"""tovrane grade: a class of answersheets to per-student results, a gradebook and a report."""

from __future__ import annotations

import dataclasses
import datetime
import json
from pathlib import Path
from typing import Any, Optional

import click

from .class_run import SheetJob, SheetResult, run_class
from .console import Console
from .files import MANIFEST_NAME, Manifest, sha256_of
from .gradebook import GRADEBOOK_NAME, Row, format_number, row_from_entries, rows_from_folder, write_gradebook
from .options import EXIT_OK, EXIT_SOME_FAILED, common_options
from .report import REPORT_NAME, write_report
from .session import RunSettings, Session, open_session


@dataclasses.dataclass
class GradeRequest:
    """A checked grade command line: everything wrong with it is found before any work."""

    paper_json: Path
    paper_text: str
    subject: str
    sheets: list[Path]
    out_dir: Path
    force: bool = False

    @classmethod
    def from_arguments(cls, paper_json: Path, sheet_args: tuple[Path, ...] | list[Path], out_dir: Path,
                       force: bool = False) -> "GradeRequest":
        paper_text, subject = read_paper_json(paper_json)
        sheets = collect_sheets(sheet_args)
        if out_dir.exists() and not out_dir.is_dir():
            raise click.BadParameter(f"{str(out_dir)!r} is a file, not a folder", param_hint="-o")
        return cls(paper_json, paper_text, subject, sheets, out_dir, force)


def read_paper_json(path: Path) -> tuple[str, str]:
    """The paper's text and subject; the full check is the facade's import, right after start-up."""
    try:
        # utf-8-sig: editors on Windows save JSON with a byte order mark.
        text = path.read_text(encoding="utf-8-sig")
        data = json.loads(text)
    except (OSError, UnicodeDecodeError) as err:
        raise click.BadParameter(f"cannot read {str(path)!r}: {err}", param_hint="PAPER_JSON")
    except ValueError as err:
        raise click.BadParameter(f"{str(path)!r} is not JSON ({err}); write it with `tovrane paper`",
                                 param_hint="PAPER_JSON")
    if not isinstance(data, dict) or not isinstance(data.get("subject"), str):
        raise click.BadParameter(f"{str(path)!r} is not a question paper: it needs \"subject\", \"class_level\" "
                                 "and \"questions\"; write it with `tovrane paper`", param_hint="PAPER_JSON")
    return text, data["subject"]


def collect_sheets(arguments: tuple[Path, ...] | list[Path]) -> list[Path]:
    """PDF files as given, and the PDFs directly inside each folder, each once, with distinct stems."""
    sheets: list[Path] = []
    for argument in arguments:
        if argument.is_dir():
            found = sorted(p for p in argument.iterdir() if p.is_file() and p.suffix.lower() == ".pdf")
            if not found:
                raise click.BadParameter(f"folder {str(argument)!r} holds no PDF files", param_hint="SHEETS")
            sheets.extend(found)
        elif argument.suffix.lower() != ".pdf":
            raise click.BadParameter(f"{str(argument)!r} is not a PDF file", param_hint="SHEETS")
        else:
            sheets.append(argument)
    unique: dict[Path, Path] = {}
    for sheet in sheets:
        unique.setdefault(sheet.resolve(), sheet)
    by_stem: dict[str, Path] = {}
    for sheet in unique.values():
        if sheet.stem == Path(MANIFEST_NAME).stem:
            raise click.BadParameter(f"{str(sheet)!r}: that name is taken by the run's own record",
                                     param_hint="SHEETS")
        if sheet.stem in by_stem:
            raise click.BadParameter(f"{str(by_stem[sheet.stem])!r} and {str(sheet)!r} would both write "
                                     f"{sheet.stem}.json; rename one", param_hint="SHEETS")
        by_stem[sheet.stem] = sheet
    return list(by_stem.values())


@click.command("grade")
@click.argument("paper_json", type=click.Path(exists=True, dir_okay=False, path_type=Path))
@click.argument("sheets", nargs=-1, required=True, type=click.Path(exists=True, path_type=Path))
@click.option("-o", "--output", "out_dir", required=True, type=click.Path(file_okay=False, path_type=Path),
              metavar="OUT_DIR", help="Folder for the results, the gradebook and the report (created if needed).")
@click.option("--force", is_flag=True, help="Grade again the answersheets already graded from the same inputs.")
@common_options
def grade_command(paper_json: Path, sheets: tuple[Path, ...], out_dir: Path, force: bool,
                  settings: RunSettings) -> int:
    """Grades answersheets (PDF files, or folders of them) against a paper written by `tovrane paper`.

    Writes, per student, <stem>.json (the answersheet's JSON save) and <stem>.txt (its text
    report), then gradebook.csv and report.html for the class. A run can be interrupted and
    run again: answersheets already graded from the same paper and PDF are skipped.
    """
    request = GradeRequest.from_arguments(paper_json, sheets, out_dir, force)
    console = Console(settings.quiet)
    with open_session(settings, console, request.subject) as session:
        return grade_class(session, request)


def load_paper(session: Session, request: GradeRequest) -> Any:
    facade = session.facade
    with session.console.capturing_system_lines():
        try:
            paper = facade.question_paper_from_json(request.paper_text)
        except Exception as err:
            raise click.BadParameter(f"{str(request.paper_json)!r}: {err}", param_hint="PAPER_JSON")
        facade.change_question_paper(paper)
    return paper


def grade_class(session: Session, request: GradeRequest) -> int:
    console = session.console
    paper = load_paper(session, request)
    q_ids = list(paper.get_question_ids())
    maximum = float(paper.get_total_marks())
    request.out_dir.mkdir(parents=True, exist_ok=True)
    paper_sha256 = sha256_of(request.paper_json)
    manifest = Manifest.load(request.out_dir)

    jobs, skipped = [], []
    for pdf in request.sheets:
        job = SheetJob(pdf=pdf, stem=pdf.stem, pdf_sha256=sha256_of(pdf))
        if not request.force and manifest.is_finished(job.stem, job.pdf_sha256, paper_sha256, session.rehearsal):
            skipped.append(job)
        else:
            jobs.append(job)
    if skipped:
        console.say(f"{len(skipped)} answersheets already graded from the same paper and PDF are kept "
                    "(--force grades them again).")
    console.say(f"Grading {len(jobs)} answersheets against {len(q_ids)} questions ({format_number(maximum)} marks).")

    def finish(result: SheetResult) -> str:
        return record_result(session, request, manifest, paper_sha256, q_ids, maximum, result)

    with console.class_progress(len(jobs), session.meter.summary) as progress:
        with console.capturing_system_lines():
            run_class(session, paper, jobs, progress, finish)

    rows = rows_from_folder(request.out_dir, q_ids, maximum, manifest.for_paper(paper_sha256))
    gradebook = request.out_dir / GRADEBOOK_NAME
    report = request.out_dir / REPORT_NAME
    write_gradebook(gradebook, q_ids, rows)
    write_report(report, paper, rows)

    failed = [row for row in rows if not row.graded]
    for row in failed:
        console.problem(f"{row.file}: {row.error}")
    console.say(f"Graded {len(rows) - len(failed)} of {len(rows)} answersheets"
                + (f"; {len(failed)} not fully graded (named above on standard error)." if failed else "."),
                always=True)
    console.say(f"Results: {request.out_dir}", always=True)
    console.say(f"Gradebook: {gradebook}", always=True)
    console.say(f"Report: {report}", always=True)
    console.say(f"Model usage: {session.meter.summary()}")
    return EXIT_SOME_FAILED if failed else EXIT_OK


def record_result(session: Session, request: GradeRequest, manifest: Manifest, paper_sha256: str,
                  q_ids: list[str], maximum: float, result: SheetResult) -> str:
    """Writes one answersheet's outputs and its record; returns its progress line."""
    job = result.job
    record: dict[str, Any] = {
        "file": job.pdf.name, "pdf": str(job.pdf), "pdf_sha256": job.pdf_sha256, "paper_sha256": paper_sha256,
        "rehearsal": session.rehearsal, "reader": session.reader, "model": session.broker.model,
        "graded_at": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
    }
    error: Optional[str] = result.error
    row: Optional[Row] = None
    if error is None:
        try:
            row = save_outputs(session, request.out_dir, job, result.answersheet, q_ids, maximum)
        except Exception as err:
            error = f"cannot write the results: {err}"
    if row is None:
        manifest.record(job.stem, {**record, "status": "failed", "error": error, "outputs": []})
        return f"{job.pdf.name}: failed: {error}"
    outputs = [f"{job.stem}.json", f"{job.stem}.txt"]
    manifest.record(job.stem, {**record, "status": "graded" if row.graded else "incomplete",
                               "error": row.error or None, "outputs": outputs})
    if not row.graded:
        return f"{job.pdf.name}: not fully graded: {row.error}"
    return (f"{job.pdf.name}: {format_number(row.total)}/{format_number(maximum)}"
            + (f" ({format_number(row.percentage)}%)" if row.percentage is not None else ""))


def save_outputs(session: Session, out_dir: Path, job: SheetJob, answersheet: Any, q_ids: list[str],
                 maximum: float) -> Row:
    facade = session.facade
    json_path = out_dir / f"{job.stem}.json"
    facade.save_answersheet(answersheet, str(json_path), "json")
    facade.save_answersheet(answersheet, str(out_dir / f"{job.stem}.txt"), "txt")
    entries = json.loads(json_path.read_text(encoding="utf-8"))
    return row_from_entries(job.pdf.name, job.stem, q_ids, maximum, entries, session.rehearsal)
