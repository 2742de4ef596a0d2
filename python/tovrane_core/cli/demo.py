"""tovrane demo: the whole road on the sample class shipped in the package, offline."""

from __future__ import annotations

import contextlib
import dataclasses
import importlib.resources
import json
from pathlib import Path
from typing import Iterator

import click

from .console import Console
from .grade import GradeRequest, grade_class
from .gradebook import GRADEBOOK_NAME
from .options import EXIT_OK
from .paper import make_paper, text_report_path
from .report import REPORT_NAME
from .session import RunSettings, open_session

SAMPLE_FOLDER = ("_data", "sample_class")


@dataclasses.dataclass(frozen=True)
class SampleClass:
    subject: str
    class_level: str
    language: str
    paper: Path
    sheets: list[Path]

    @classmethod
    def at(cls, folder: Path) -> "SampleClass":
        manifest = json.loads((folder / "manifest.json").read_text(encoding="utf-8"))
        return cls(subject=manifest["subject"], class_level=manifest["class_level"], language=manifest["language"],
                   paper=folder / manifest["paper"], sheets=[folder / sheet["file"] for sheet in manifest["sheets"]])


@contextlib.contextmanager
def sample_class() -> Iterator[SampleClass]:
    """The sample class as files on disk, wherever the package was installed from."""
    resource = importlib.resources.files("tovrane_core").joinpath(*SAMPLE_FOLDER)
    with importlib.resources.as_file(resource) as folder:
        yield SampleClass.at(Path(folder))


@click.command("demo")
@click.option("-o", "--output", "folder", type=click.Path(file_okay=False, path_type=Path), default="tovrane-demo",
              show_default=True, metavar="DIR", help="Folder to write the paper, the results and the report into.")
@click.option("--quiet", "-q", is_flag=True, help="Only what was written, and problems.")
def demo_command(folder: Path, quiet: bool) -> int:
    """Runs `paper` then `grade` with --offline on the sample class that ships with the package.

    Needs no key and no network: a stand-in answers for the language model, so the marks
    are a rehearsal. The folder then holds the question paper JSON, each student's results,
    gradebook.csv and report.html.
    """
    console = Console(quiet)
    folder.mkdir(parents=True, exist_ok=True)
    with sample_class() as sample, \
            open_session(RunSettings(offline=True, quiet=quiet), console, sample.subject) as session:
        paper_json = folder / "question_paper.json"
        status = make_paper(session, sample.paper, sample.subject, sample.language, sample.class_level, None,
                            paper_json)
        if status != EXIT_OK:
            console.problem(f"The sample paper could not be prepared for grading (see above); {folder} holds "
                            "what was written.")
            return status
        results = folder / "class"
        status = grade_class(session, GradeRequest.from_arguments(paper_json, sample.sheets, results))
    console.say(f"Demo folder: {folder.resolve()}", always=True)
    console.say(f"  question paper: {paper_json.name}, {text_report_path(paper_json).name}", always=True)
    console.say(f"  gradebook: {(results / GRADEBOOK_NAME).resolve()}", always=True)
    console.say(f"  report: {(results / REPORT_NAME).resolve()}", always=True)
    return status
