"""Swapping in a custom extractor.

Any subclass of ExtractorClient can read the pages. This one keeps the local reader
(text layers, then Tesseract) and cleans what it returns: running headers and footers
such as "Page 2 of 4" are dropped and blank runs collapsed, before the model sees the
text. The pipelines ask for the back end recommended for each paper's subject before every
extraction; this reader stays local whatever is recommended::

    python examples/custom_extractor.py [PAPER.pdf SHEET.pdf...]
"""

from __future__ import annotations

import os
import re
import sys
from pathlib import Path
from typing import Optional, Union

from _sample import sample_class
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient
from tovrane_core.tovrane import Tovrane, TovraneConfig

RUNNING_LINE = re.compile(r"^\s*(page \d+( of \d+)?|-\s*\d+\s*-)\s*$", re.IGNORECASE | re.MULTILINE)


class CleanLocalExtractor(ExtractorClient):
    def __init__(self) -> None:
        super().__init__(extractor_type="local")
        self.pages_read = 0

    def change_extractor(self, extractor_type: str) -> None:
        super().change_extractor("local")

    def process_pdf(self, pdf_path: Union[str, "os.PathLike[str]"],
                    page_numbers: Optional[list[int]] = None) -> dict[int, str]:
        pages = super().process_pdf(pdf_path, page_numbers)
        self.pages_read += len(pages)
        return {number: re.sub(r"\n{3,}", "\n\n", RUNNING_LINE.sub("", text)).strip()
                for number, text in pages.items()}


def main(argv: list[str]) -> int:
    default_paper, default_sheets, manifest = sample_class()
    paper_pdf, sheets = (Path(argv[0]), [Path(a) for a in argv[1:]]) if argv else (default_paper, default_sheets)

    tovrane = Tovrane()
    tovrane.configure(TovraneConfig(extractor_type="local"))
    # Both pipelines read through the facade's extractor; replace it in all three places.
    reader = CleanLocalExtractor()
    reader.set_dpi(tovrane.config.dpi if tovrane.config else 150)
    tovrane.extractor_client = reader
    assert tovrane.paper_pipeline is not None and tovrane.sheet_pipeline is not None
    tovrane.paper_pipeline.set_extractor_client(reader)
    tovrane.sheet_pipeline.extractor_client = reader

    paper = tovrane.process_question_paper(paper_pdf, manifest["subject"], manifest["language"],
                                           manifest["class_level"])
    tovrane.generate_rubrics(paper)
    tovrane.generate_reference_answers(paper)
    for pdf in sheets:
        sheet = tovrane.process_answersheet(pdf)
        print(f"{pdf.stem}: {len(sheet.get_question_ids())} answers")
    print(f"{reader.pages_read} pages read by {type(reader).__name__}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
