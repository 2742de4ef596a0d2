"""SheetPipeline end to end: the local extractor on a sample PDF, the real broker and
document model, the official client talking to the fake service on loopback."""

import asyncio
import json

import pytest

from conftest import SAMPLES
from support.broker_fakes import make_broker  # noqa: F401  (fixture)
from tovrane_core.datastructures import Criterion, Question, QuestionPaper, Rubric
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient
from tovrane_core.sheet_pipeline import SheetPipeline

SHEET = SAMPLES / "social_class7" / "social_class7_sheet_meera.digital.pdf"

ANSWERS = {"answers": [
    {"q_id": "Q2", "answer_text": "Transpiration", "page_numbers": [1]},
    {"q_id": "Q9", "answer_text": "Sound is produced when an object vibrates.", "page_numbers": [2, 3]},
    {"q_id": "Q4", "answer_text": "False. Sound needs a medium.", "page_numbers": [1]},
    {"q_id": "Unknown", "answer_text": "Riya Sharma", "page_numbers": [1]},
]}
EVALUATION = {"fulfilled_criteria": [0], "awarded_marks": 99, "feedback": "You named the process."}


def paper():
    qp = QuestionPaper(subject="Science", language="English", class_level="8")
    q2 = Question(q_id="Q2", text="Name the loss of water from leaves.", max_marks=2.0)
    q2.set_rubric(Rubric([Criterion(statement="Names transpiration", mark=1.5),
                          Criterion(statement="Mentions stomata", mark=0.5)]))
    q2.set_reference_answer("Transpiration, through the stomata.")
    q9 = Question(q_id="Q9", text="How is sound produced?", max_marks=3.0)
    q9.set_rubric(Rubric([Criterion(statement="Vibration", mark=3.0)]))
    q9.set_reference_answer("By vibrating objects.")
    q4 = Question(q_id="Q4", text="Can sound travel through a vacuum?", max_marks=1.0)
    for q in (q2, q9, q4):
        qp.add_question(q)
    return qp


@pytest.mark.parametrize("route", ["sync", "async"])
def test_answersheet_from_pdf_to_saved_report(route, fake_openai, make_broker, monkeypatch, capsys, tmp_path):
    monkeypatch.setenv("TOVRANE_EXTRACTOR", "local")
    fake_openai.script("AnswersheetResponse", content=ANSWERS)
    fake_openai.script("EvaluationResponse", content=EVALUATION)
    pipeline = SheetPipeline(ExtractorClient(extractor_type="aws"), make_broker())
    qp = paper()

    if route == "sync":
        sheet = pipeline.process_pdf(str(SHEET), qp, [1, 2, 3])
    else:
        sheet = asyncio.run(pipeline.process_pdf_async(str(SHEET), qp, [1, 2, 3]))

    out = capsys.readouterr().out.splitlines()
    token_lines = [line for line in out if line.startswith("-> ")]
    assert len(token_lines) == 3 == len(fake_openai.requests)
    parsed = "Successfully parsed 3 student answers"
    if route == "sync":
        head = ["[SheetPipeline]: Starting complete answersheet processing..."]
        parse = ["[SheetPipeline]: Step 2/3: Parsing student answers using AI...", "[SheetPipeline]: " + parsed,
                 "[SheetPipeline]: Step 3/3: Evaluating all answers...",
                 "[SheetPipeline]: Evaluating all 3 student answers using concurrent processing..."]
        tail = ["[SheetPipeline]: Complete answersheet processing finished successfully!"]
    else:
        head = ["[SheetPipeline]: Starting complete answersheet processing (async)..."]
        parse = ["[SheetPipeline]: Step 2/3: Parsing student answers using async AI processing...", parsed,
                 "[SheetPipeline]: Step 3/3: Evaluating all answers using concurrent async processing..."]
        tail = ["[SheetPipeline]: Complete async answersheet processing finished successfully!"]
    assert [line for line in out if not line.startswith("-> ")] == head + [
        "[SheetPipeline]: Processing PDF: " + str(SHEET),
        "[SheetPipeline]: Questions: 3",
        "[SheetPipeline]: Step 1/3: Extracting text from PDF...",
        "[SheetPipeline]: Processing pages: [1, 2, 3]",
        "[SheetPipeline]: Successfully extracted text from 3 pages",
    ] + parse + [
        "[SheetPipeline]:   Skipping Q4 - no rubric available",
        "[SheetPipeline]:   Processing 2 evaluations concurrently...",
        "[SheetPipeline]:     Q2: Awarded 1.5/2.0 marks",
        "[SheetPipeline]:     Q9: Awarded 3.0/3.0 marks",
        "[SheetPipeline]: Evaluated 2 answers successfully using concurrent processing",
    ] + tail

    # The page texts came from the PDF's text layer and reached the model.
    assert sorted(pipeline.extracted_texts) == [1, 2, 3]
    assert "Anemometer" in pipeline.extracted_texts[1]
    parse_request = next(r for r in fake_openai.requests if r.schema_name == "AnswersheetResponse")
    assert "Anemometer" in parse_request.messages[1]["content"]

    assert sheet.get_question_ids() == ["Q2", "Q9", "Q4"]
    q2 = sheet.get_answer("Q2")
    assert q2.feedback == "You named the process."
    assert [c.is_fulfilled for c in q2.eval_rubric.criteria] == [True, False]
    assert sheet.get_answer("Q4").eval_rubric is None
    # The paper's own rubric is never marked.
    assert not any(c.is_fulfilled for c in qp.get_question("Q2").rubric.criteria)

    target = tmp_path / "out" / "sheet.json"
    pipeline.save_to_file(sheet, qp, str(target))
    saved = json.loads(target.read_text(encoding="utf-8"))
    assert [(e["qid"], e["obtained_marks"], e["answer_pages"]) for e in saved] == [
        ("Q2", 1.5, [1]), ("Q9", 3.0, [2, 3]), ("Q4", 0, [1])]
