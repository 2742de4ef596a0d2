"""tovrane estimate: the tokens and cost a paper or grade run would use, without any request."""

from __future__ import annotations

import dataclasses
from pathlib import Path
from typing import Any, Optional

import click

from . import dry_run
from .console import Console
from .grade import collect_sheets, read_paper_json
from .options import EXIT_OK, EXIT_SOME_FAILED, common_options, parse_pages
from .session import RunSettings, Session, UsageMeter, open_session

PAPER_TASKS = ("parse_question_paper", "generate_rubric", "generate_reference_answer")
GRADE_TASKS = ("parse_answersheet", "evaluate_answer")

OUTPUT_NOTE = ("* Output tokens are estimated: each request was answered on this machine by the rehearsal "
               "model's text rules, and its answer's length stands for the language model's. Input tokens "
               "are counted with the broker's tokenizer on the prompts the run would send; where a prompt "
               "holds an earlier answer (a generated rubric or reference answer, a student's parsed "
               "answers) that answer is the rehearsal's as well.")


@click.command("estimate")
@click.argument("paper", type=click.Path(exists=True, dir_okay=False, path_type=Path), metavar="PAPER.pdf|PAPER_JSON")
@click.argument("sheets", nargs=-1, type=click.Path(exists=True, path_type=Path), metavar="[SHEET.pdf|DIR]...")
@click.option("--subject", help="Subject of a PDF paper (as for `tovrane paper`).")
@click.option("--language", help="Language of a PDF paper's questions.")
@click.option("--class-level", help="Class of a PDF paper.")
@click.option("--pages", metavar="LIST", help="Pages of a PDF paper that hold the questions.")
@common_options
def estimate_command(paper: Path, sheets: tuple[Path, ...], subject: Optional[str], language: Optional[str],
                     class_level: Optional[str], pages: Optional[str], settings: RunSettings) -> int:
    """Counts the tokens and cost that `paper` (for a PDF) and `grade` (for the answersheets) would use.

    Pages are read on this machine and the system's own prompts are built and counted with
    the broker's tokenizer and prices; no request reaches any model or service.
    """
    from_json = paper.suffix.lower() == ".json"
    paper_text = None
    if from_json:
        paper_text, subject = read_paper_json(paper)
    else:
        missing = [name for name, value in (("--subject", subject), ("--language", language),
                                            ("--class-level", class_level)) if not value]
        if missing:
            raise click.UsageError(f"a PDF paper needs {', '.join(missing)}, as `tovrane paper` does "
                                   "(or pass the paper's JSON instead)")
    page_numbers = parse_pages(pages)
    sheet_paths = collect_sheets(sheets) if sheets else []
    if from_json and not sheet_paths:
        raise click.UsageError("with a paper's JSON, give the answersheets (PDF files or folders) to estimate "
                               "their grading; give the paper's PDF to estimate `tovrane paper`")
    run_reader = _reader_of_the_run(settings, subject)

    console = Console(settings.quiet)
    # Nothing is sent either way: no rehearsal server is needed to count.
    with open_session(dataclasses.replace(settings, offline=False), console, subject, dry_run=True) as session:
        dry_run.install(session.broker)
        facade, failures = session.facade, 0
        with console.capturing_system_lines():
            if from_json:
                try:
                    question_paper = facade.question_paper_from_json(paper_text)
                except Exception as err:
                    raise click.BadParameter(f"{str(paper)!r}: {err}", param_hint="PAPER_JSON")
                facade.change_question_paper(question_paper)
            else:
                try:
                    question_paper = facade.process_question_paper(str(paper), subject, language, class_level,
                                                                   page_numbers)
                    facade.generate_rubrics(question_paper)
                    facade.generate_reference_answers(question_paper)
                except Exception as err:
                    console.problem(f"{paper.name}: {err}")
                    return EXIT_SOME_FAILED
            for sheet in sheet_paths:
                try:
                    facade.process_answersheet(str(sheet))
                except Exception as err:
                    console.problem(f"{sheet.name}: {err}")
                    failures += 1
        print_estimate(session, question_paper, len(sheet_paths) - failures, from_json)
        if run_reader != "local":
            console.say(f"The run would read pages without a text layer with the '{run_reader}' reader: "
                        "those page requests are not counted here.", always=True)
    return EXIT_SOME_FAILED if failures else EXIT_OK


def _reader_of_the_run(settings: RunSettings, subject: str) -> str:
    if settings.extractor or settings.offline:
        return settings.extractor or "local"
    from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

    return ExtractorClient.get_recommended_extractor_for_subject(subject)


def estimate_lines(meter: UsageMeter, sheets: int, include_paper: bool) -> list[str]:
    """The estimate as a table: per task, then per command and in all."""
    zero = {"calls": 0, "input": 0, "output": 0, "cost": 0.0}
    rows: list[tuple[str, dict[str, float]]] = []

    def block(tasks: tuple[str, ...], label: str) -> dict[str, float]:
        subtotal = dict(zero)
        for task in tasks:
            tally = meter.by_task.get(task, zero)
            rows.append((task, tally))
            for key in subtotal:
                subtotal[key] += tally[key]
        rows.append((label, subtotal))
        return subtotal

    blocks = []
    if include_paper:
        blocks.append(block(PAPER_TASKS, "  tovrane paper"))
    if sheets:
        graded = block(GRADE_TASKS, f"  tovrane grade, {sheets} answersheets")
        blocks.append(graded)
        rows.append(("  per answersheet", {key: value / sheets for key, value in graded.items()}))
    if len(blocks) > 1:
        rows.append(("all", {key: sum(b[key] for b in blocks) for key in zero}))

    width = max(len(label) for label, _ in rows) + 2
    header = f"{'request':<{width}}{'calls':>7}{'input tokens':>15}{'output tokens*':>16}{'cost':>12}"
    return [header, "-" * len(header)] + [
        f"{label:<{width}}{round(t['calls']):>7,}{round(t['input']):>15,}{round(t['output']):>16,}"
        f"{'$' + format(t['cost'], '.4f'):>12}" for label, t in rows]


def print_estimate(session: Session, paper: Any, sheets: int, from_json: bool) -> None:
    console = session.console
    console.say(f"Estimate for {len(paper.get_question_ids())} questions and {sheets} answersheets; "
                f"no request was made. Prices: the broker's, for {session.broker.model}.", always=True)
    for text in estimate_lines(session.meter, sheets, include_paper=not from_json):
        console.say(text, always=True)
    console.say(OUTPUT_NOTE, always=True)
