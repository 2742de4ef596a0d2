"""tovrane paper: a question paper PDF to the JSON a teacher reviews, edits and grades with."""

from __future__ import annotations

from pathlib import Path
from typing import Any, Optional

import click

from .console import Console
from .gradebook import format_number
from .options import EXIT_OK, EXIT_SOME_FAILED, common_options, parse_pages
from .session import RunSettings, Session, open_session


def default_output(pdf: Path) -> Path:
    return Path.cwd() / f"{pdf.stem}.paper.json"


def text_report_path(paper_json: Path) -> Path:
    """The text report sits beside the JSON: x.paper.json -> x.paper.txt."""
    return paper_json.with_suffix(".txt") if paper_json.suffix.lower() == ".json" else Path(f"{paper_json}.txt")


@click.command("paper")
@click.argument("pdf", type=click.Path(exists=True, dir_okay=False, path_type=Path))
@click.option("--subject", required=True, help="Subject of the paper, e.g. Science.")
@click.option("--language", required=True, help="Language of the questions to keep, e.g. English.")
@click.option("--class-level", required=True, help="Class or grade, e.g. 8.")
@click.option("--pages", metavar="LIST",
              help="Pages of the PDF that hold the questions, e.g. 1,3 or 2-4 (default: all).")
@click.option("-o", "--output", type=click.Path(dir_okay=False, path_type=Path), metavar="PAPER_JSON",
              help="Where to write the paper (default: <pdf stem>.paper.json here); the text report goes beside it.")
@common_options
def paper_command(pdf: Path, subject: str, language: str, class_level: str, pages: Optional[str],
                  output: Optional[Path], settings: RunSettings) -> int:
    """Reads a question paper, writes rubrics and reference answers for it.

    The result is the paper in the JSON import format (subject, class_level, language and
    each question's q_id, question_text, max_marks, rubric.criteria and reference_answer):
    review and edit it, then grade with it.
    """
    page_numbers = parse_pages(pages)
    output = output or default_output(pdf)
    if not output.parent.is_dir():
        raise click.BadParameter(f"folder {str(output.parent)!r} does not exist", param_hint="-o")
    console = Console(settings.quiet)
    with open_session(settings, console, subject) as session:
        return make_paper(session, pdf, subject, language, class_level, page_numbers, output)


def make_paper(session: Session, pdf: Path, subject: str, language: str, class_level: str,
               page_numbers: Optional[list[int]], output: Path) -> int:
    facade, console = session.facade, session.console
    report = text_report_path(output)
    with console.capturing_system_lines():
        try:
            paper = facade.process_question_paper(str(pdf), subject, language, class_level, page_numbers)
        except Exception as err:
            console.problem(f"{pdf.name}: {err}")
            return EXIT_SOME_FAILED
        if not paper.get_question_ids():
            console.problem(f"{pdf.name}: no questions were found; check --pages and the page reader's text.")
            return EXIT_SOME_FAILED
        try:
            facade.generate_rubrics(paper)
            facade.generate_reference_answers(paper)
        except Exception as err:
            # What was generated stays in the paper: write it, the teacher completes the rest.
            console.problem(f"{pdf.name}: {err}")
        facade.export_question_paper(str(output))
        facade.save_question_paper(str(report), "txt")

    console.say(f"Question paper: {output} ({len(paper.get_question_ids())} questions, "
                f"{format_number(paper.get_total_marks())} marks)", always=True)
    console.say(f"Text report: {report}", always=True)
    console.say(f"Model usage: {session.meter.summary()}")
    # The pipeline's own plausibility check (marks), then what an evaluation needs.
    issues = list(facade.paper_pipeline.validate_processing(paper).get("issues", []))
    issues += [f"{q_id}: no {what}" for q_id, what in incomplete_questions(paper)]
    for issue in issues:
        console.problem(f"{issue}; correct {output.name} before grading")
    return EXIT_SOME_FAILED if issues else EXIT_OK


def incomplete_questions(paper: Any) -> list[tuple[str, str]]:
    """Questions an evaluation would skip: no rubric criteria, or no reference answer."""
    missing = []
    for q_id in paper.get_question_ids():
        question = paper.get_question(q_id)
        if question.rubric is None or not question.rubric.criteria:
            missing.append((q_id, "rubric"))
        if not (question.reference_answer or "").strip():
            missing.append((q_id, "reference answer"))
    return missing

