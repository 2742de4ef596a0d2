"""Grade a class from Python with the facade.

Reads the question paper, generates a rubric and a reference answer per question, grades
every answersheet against them and saves each result as JSON beside a per-class summary::

    python examples/grade_class.py                      # the sample class in the package
    python examples/grade_class.py PAPER.pdf SHEET.pdf... --subject "Science" \\
        --language English --class-level "Class 8" -o graded/

The model service is the one OPENAI_API_KEY and OPENAI_BASE_URL name (any OpenAI-compatible
server); TOVRANE_EXTRACTOR picks the page reader (``local`` reads pages on this machine).
Exit status 1 when some answersheet could not be graded.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from _sample import sample_class
from tovrane_core.datastructures import Answersheet
from tovrane_core.tovrane import ProcessingError, Tovrane, TovraneConfig


def awarded_marks(sheet: Answersheet) -> float:
    """Marks of the fulfilled criteria over every evaluated answer."""
    total = 0.0
    for q_id in sheet.get_question_ids():
        rubric = sheet.get_answer(q_id).eval_rubric
        if rubric is not None:
            total += rubric.get_awarded_marks()
    return total


def main(argv: list[str] | None = None) -> int:
    default_paper, default_sheets, manifest = sample_class()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pdfs", nargs="*", type=Path, help="the question paper, then the answersheets")
    parser.add_argument("--subject", default=manifest["subject"])
    parser.add_argument("--language", default=manifest["language"])
    parser.add_argument("--class-level", default=manifest["class_level"])
    parser.add_argument("-o", "--out", type=Path, default=Path("graded"))
    args = parser.parse_args(argv)
    paper_pdf, sheet_pdfs = (args.pdfs[0], args.pdfs[1:]) if args.pdfs else (default_paper, default_sheets)

    args.out.mkdir(parents=True, exist_ok=True)
    tovrane = Tovrane()
    tovrane.configure(TovraneConfig(extractor_type="local", token_log_file=args.out / "usage.log",
                                    enable_llm_token_logging=True))
    paper = tovrane.process_question_paper(paper_pdf, args.subject, args.language, args.class_level)
    tovrane.generate_rubrics(paper)
    tovrane.generate_reference_answers(paper)
    tovrane.save_question_paper(args.out / "paper.json")

    results: dict[str, float | None] = {}
    for sheet_pdf in sheet_pdfs:
        try:
            sheet = tovrane.process_answersheet(sheet_pdf)
        except ProcessingError as err:
            print(f"{sheet_pdf.name}: not graded: {err}", file=sys.stderr)
            results[sheet_pdf.stem] = None
            continue
        tovrane.save_answersheet(sheet, args.out / f"{sheet_pdf.stem}.json")
        results[sheet_pdf.stem] = awarded_marks(sheet)
        print(f"{sheet_pdf.stem}: {results[sheet_pdf.stem]:g} / {paper.get_total_marks():g}")

    summary = {"maximum": paper.get_total_marks(), "students": results, "usage": tovrane.get_token_usage_summary()}
    (args.out / "class.json").write_text(json.dumps(summary, indent=2), encoding="utf-8")
    return 1 if None in results.values() else 0


if __name__ == "__main__":
    sys.exit(main())
