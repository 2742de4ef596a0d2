"""PaperPipeline end to end: the real extractor reads a text-layer PDF, the real broker talks
to the loopback fake service, and the paper is saved."""

import asyncio
import json
import re

from conftest import SAMPLES
from tovrane_core.model_broker import ModelBroker
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient
from tovrane_core.paper_pipeline import PaperPipeline

PAPER_DIR = SAMPLES / "social_class7"
PDF = str(PAPER_DIR / "social_class7_paper.digital.pdf")
TRUTH = json.loads((PAPER_DIR / "social_class7_paper.truth.json").read_text(encoding="utf-8"))
QUESTIONS = [{k: q[k] for k in ("q_id", "question_text", "max_marks")} for q in TRUTH["questions"]]


def own_lines(capsys):
    """Our lines; the broker's per-call token lines are not ours to pin here."""
    return [line for line in capsys.readouterr().out.split("\n") if line.startswith("[PaperPipeline]")]


def rubric_reply(request):
    prompt = request.messages[-1]["content"]
    if "farmers" in prompt:
        return {"status": 400, "error": "farming questions are refused today"}
    marks = float(re.search(r"Maximum Marks: ([0-9.]+)", prompt).group(1))
    return {"content": {"criteria": [{"statement": "States the key idea", "mark": marks}]}}


def test_question_paper_from_pdf_to_saved_file(fake_openai, monkeypatch, tmp_path, capsys):
    for key in ("MATHPIX_APP_ID", "MATHPIX_APP_KEY", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "GEMINI_API_KEY"):
        monkeypatch.delenv(key, raising=False)
    monkeypatch.setenv("TOVRANE_EXTRACTOR", "local")  # text layer and local OCR, no service
    fake_openai.script("QuestionPaperResponse", content={"questions": QUESTIONS})
    fake_openai.script("RubricResponse", handler=rubric_reply)
    fake_openai.script("ReferenceAnswerResponse", content={"reference_answer": "A model answer."})

    pipeline = PaperPipeline(ExtractorClient(extractor_type="local"), ModelBroker(token_log_file=str(tmp_path / "usage.log")))
    paper = pipeline.process_pdf(PDF, "Social Science", "English", "Class 7")
    assert own_lines(capsys) == [
        f"[PaperPipeline] Processing question paper PDF: {PDF}",
        "[PaperPipeline] Subject: Social Science",
        "[PaperPipeline] Language: English",
        "[PaperPipeline] Class Level: Class 7",
        "[PaperPipeline] Using extractor client",
        "[PaperPipeline] Step 1/2: Extracting text from PDF...",
        "[PaperPipeline] Processing all pages",
        "[PaperPipeline] Successfully extracted text from 2 pages",
        "[PaperPipeline] Step 2/2: Parsing questions using AI...",
        "[PaperPipeline] Successfully parsed 12 questions",
        "[PaperPipeline] Total marks: 30.0",
    ]
    assert sorted(pipeline.extracted_texts) == [1, 2]
    parse_prompt = fake_openai.requests[0].messages[-1]["content"]
    assert "--- Page 1 ---" in parse_prompt and "--- Page 2 ---" in parse_prompt
    assert "Q10. What is universal adult franchise? Why is it" in parse_prompt

    assert len(pipeline.generate_rubrics_for_all_questions(paper)) == 11
    lines = own_lines(capsys)
    assert lines[:2] == [
        "[PaperPipeline] Generating rubrics for all 12 questions...",
        "[PaperPipeline] Processing 12 questions with batch processing...",
    ]
    assert lines[3] == "[PaperPipeline]   Generated rubric for Q2 with 1 criteria (1.0 marks)"
    assert lines[12].startswith("[PaperPipeline]   Error generating rubric for Q9(b): Failed to generate rubric: ")
    assert "farming questions are refused today" in lines[12]
    assert lines[-1] == "[PaperPipeline] Generated rubrics for 11 questions"

    assert len(pipeline.generate_reference_answers_for_all_questions(paper)) == 11
    lines = own_lines(capsys)
    assert "[PaperPipeline]   Skipping Q9(b) - no rubric available (generate rubric first)" in lines
    assert lines[-1] == "[PaperPipeline] Generated reference answers for 11 questions"

    # The awaitable route finishes the one left over, on the caller's event loop.
    fake_openai.unscript("RubricResponse")
    fake_openai.script("RubricResponse", content={"criteria": [{"statement": "Contour ploughing, shelter belts, terraces", "mark": 3}]})
    assert list(asyncio.run(pipeline.generate_rubrics_for_all_questions_async(paper))) == ["Q9(b)"]
    assert pipeline.generate_reference_answer_for_question(paper, "Q9(b)") == "A model answer."
    capsys.readouterr()

    pipeline.print_summary(paper)
    lines = own_lines(capsys)
    assert "[PaperPipeline] Validation: Passed" in lines
    assert "[PaperPipeline] Processed Pages: [1, 2]" in lines

    target = tmp_path / "out" / "paper.json"
    pipeline.save_to_file(paper, str(target), "pages 1-4")
    saved = json.loads(target.read_text(encoding="utf-8"))
    assert [q["qid"] for q in saved["questions"]] == [q["q_id"] for q in QUESTIONS]
    assert all(q["ref_answer"] == "A model answer." and len(q["rubric"]) == 1 for q in saved["questions"])
    assert sum(q["max_marks"] for q in saved["questions"]) == 30.0
    assert (saved["class"], saved["subject"], saved["answer_pages"]) == ("Class 7", "Social Science", "pages 1-4")
