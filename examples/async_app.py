"""The async operations from an application's own event loop.

An application that already runs asyncio (a web service, a job worker) awaits the
coroutine operations on its loop instead of calling the blocking ones. One ModelBroker
bounds every model call of the application (its permits and request rate); each
answersheet in flight gets its own SheetPipeline, since a pipeline holds the state of the
sheet it works on::

    python examples/async_app.py [PAPER.pdf SHEET.pdf...]

Reading pages is blocking work: the paper is read in a worker thread here, and
``process_pdf_async`` reads each sheet's pages before its first await.
"""

from __future__ import annotations

import asyncio
import sys
from pathlib import Path

from _sample import sample_class
from tovrane_core.datastructures import Answersheet, QuestionPaper
from tovrane_core.model_broker import ModelBroker
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient
from tovrane_core.paper_pipeline import PaperPipeline
from tovrane_core.sheet_pipeline import SheetPipeline


async def prepare_paper(broker: ModelBroker, extractor: ExtractorClient, pdf: Path,
                        subject: str, language: str, class_level: str) -> QuestionPaper:
    pipeline = PaperPipeline(extractor, broker)
    paper = await asyncio.to_thread(pipeline.process_pdf, pdf, subject, language, class_level)
    await pipeline.generate_rubrics_for_all_questions_async(paper)
    await pipeline.generate_reference_answers_for_all_questions_async(paper)
    return paper


async def grade(broker: ModelBroker, extractor: ExtractorClient, paper: QuestionPaper,
                sheets: list[Path]) -> list[Answersheet | BaseException]:
    async def one(pdf: Path) -> Answersheet:
        return await SheetPipeline(extractor, broker).process_pdf_async(pdf, paper)

    # A failed sheet comes back as its exception; the others are kept.
    return await asyncio.gather(*(one(pdf) for pdf in sheets), return_exceptions=True)


async def main(argv: list[str]) -> int:
    default_paper, default_sheets, manifest = sample_class()
    paper_pdf, sheets = (Path(argv[0]), [Path(a) for a in argv[1:]]) if argv else (default_paper, default_sheets)
    broker = ModelBroker(max_concurrent_requests=5, requests_per_minute=50)
    extractor = ExtractorClient(extractor_type="local")
    paper = await prepare_paper(broker, extractor, paper_pdf, manifest["subject"], manifest["language"],
                                manifest["class_level"])
    failed = 0
    for pdf, result in zip(sheets, await grade(broker, extractor, paper, sheets)):
        if isinstance(result, BaseException):
            failed += 1
            print(f"{pdf.stem}: not graded: {result}", file=sys.stderr)
            continue
        marks = [result.get_answer(q).eval_rubric for q in result.get_question_ids()]
        awarded = sum(rubric.get_awarded_marks() for rubric in marks if rubric is not None)
        print(f"{pdf.stem}: {awarded:g} / {paper.get_total_marks():g}")
    usage = broker.get_total_usage()
    print(f"{usage['total_tokens']} tokens, ${usage['total_cost']:.4f}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1:])))
