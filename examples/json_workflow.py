"""The JSON workflow: a question paper written by hand, graded without reading a paper PDF.

The paper, its rubrics and reference answers come from a JSON record (the format
``Tovrane.question_paper_from_json`` reads and ``Tovrane.export_question_paper`` writes), so
only the answersheets go through the model::

    python examples/json_workflow.py                    # a sample answersheet
    python examples/json_workflow.py PAPER.json SHEET.pdf... -o reports/

Each answersheet's text report is written to the output folder and its marks printed.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

from _sample import sample_class
from tovrane_core.tovrane import Tovrane, TovraneConfig

# A two-question paper in the import format; every question carries its rubric and
# reference answer, so nothing needs generating.
PAPER: dict[str, Any] = {
    "subject": "Social Science",
    "class_level": "Class 7",
    "language": "English",
    "questions": [
        {
            "q_id": "Q1",
            "question_text": "What is universal adult franchise?",
            "max_marks": 2,
            "rubric": {"criteria": [
                {"statement": "Every adult citizen may vote", "mark": 1},
                {"statement": "Regardless of caste, religion, wealth or gender", "mark": 1},
            ]},
            "reference_answer": "Every adult citizen has the right to vote, whatever their caste, religion, "
                                "wealth or gender.",
        },
        {
            "q_id": "Q2",
            "question_text": "Name the three levels of government in India.",
            "max_marks": 3,
            "rubric": {"criteria": [
                {"statement": "Local (panchayat or municipality)", "mark": 1},
                {"statement": "State", "mark": 1},
                {"statement": "Union (central)", "mark": 1},
            ]},
            "reference_answer": "Local government, state government and the union government.",
        },
    ],
}


def main(argv: list[str] | None = None) -> int:
    _, default_sheets, _ = sample_class()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paper_json", nargs="?", type=Path, help="a question paper in the import format")
    parser.add_argument("sheets", nargs="*", type=Path)
    parser.add_argument("-o", "--out", type=Path, default=Path("reports"))
    args = parser.parse_args(argv)
    paper_data: dict[str, Any] = (json.loads(args.paper_json.read_text(encoding="utf-8"))
                                  if args.paper_json else PAPER)
    sheets: list[Path] = args.sheets or default_sheets[:1]

    tovrane = Tovrane()
    tovrane.configure(TovraneConfig(extractor_type="local"))
    paper = tovrane.change_question_paper(tovrane.question_paper_from_json(paper_data))
    if args.paper_json is None:
        # A rubric can be replaced by hand after the import, too.
        tovrane.update_rubrics_from_dict(paper, {"Q1": [
            {"statement": "Every adult citizen may vote, whatever their caste, religion, wealth or gender",
             "mark": 2}]})

    args.out.mkdir(parents=True, exist_ok=True)
    for sheet_pdf in sheets:
        sheet = tovrane.process_answersheet(sheet_pdf)
        tovrane.save_answersheet(sheet, args.out / f"{sheet_pdf.stem}.txt", format="txt")
        for q_id in sheet.get_question_ids():
            answer = sheet.get_answer(q_id)
            if answer.eval_rubric is not None:
                print(f"{sheet_pdf.stem} {q_id}: {answer.eval_rubric.get_awarded_marks():g} "
                      f"/ {paper.get_question(q_id).max_marks:g}  {answer.feedback}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
