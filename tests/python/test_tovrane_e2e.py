"""The facade end to end: real components started by configure, the local extractor on the
sample PDFs, the official client talking to the fake service on loopback."""

import json
import re

from conftest import SAMPLES
from tovrane_core.tovrane import Tovrane, TovraneConfig

PAPER_DIR = SAMPLES / "social_class7"
PAPER_PDF = str(PAPER_DIR / "social_class7_paper.digital.pdf")
SHEET_PDF = str(PAPER_DIR / "social_class7_sheet_dev.digital.pdf")
PAPER_TRUTH = json.loads((PAPER_DIR / "social_class7_paper.truth.json").read_text(encoding="utf-8"))
SHEET_TRUTH = json.loads((PAPER_DIR / "social_class7_sheet_dev.truth.json").read_text(encoding="utf-8"))
QUESTIONS = [{k: q[k] for k in ("q_id", "question_text", "max_marks")} for q in PAPER_TRUTH["questions"]]
ANSWERS = [{k: a[k] for k in ("q_id", "answer_text", "page_numbers")} for a in SHEET_TRUTH["answers"]]


def own_lines(capsys):
    """The facade's lines: no pipeline prefix, no per-call token line."""
    return [line for line in capsys.readouterr().out.splitlines() if not re.match(r"\[|-> |\s*$", line)]


def test_paper_and_answersheet_through_the_real_components(fake_openai, monkeypatch, tmp_path, capsys):
    for key in ("MATHPIX_APP_ID", "MATHPIX_APP_KEY", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "GEMINI_API_KEY"):
        monkeypatch.delenv(key, raising=False)
    monkeypatch.setenv("TOVRANE_EXTRACTOR", "local")  # text layer and local OCR, no OCR service
    fake_openai.script("QuestionPaperResponse", content={"questions": QUESTIONS})
    fake_openai.script("RubricResponse", content={"criteria": [{"statement": "States the key idea", "mark": 1.0}]})
    fake_openai.script("ReferenceAnswerResponse", content={"reference_answer": "A model answer."})
    fake_openai.script("AnswersheetResponse", content={"answers": ANSWERS})
    fake_openai.script("EvaluationResponse", content={"fulfilled_criteria": [0], "awarded_marks": 1,
                                                      "feedback": "Good."})

    tovrane = Tovrane()
    log = tmp_path / "usage.log"
    tovrane.configure(TovraneConfig(token_log_file=str(log), enable_llm_token_logging=True))
    assert own_lines(capsys)[-1] == "Tovrane configured successfully!"

    paper = tovrane.process_question_paper(PAPER_PDF, "Social Science", "English", "Class 7")
    assert paper.get_question_ids() == [q["q_id"] for q in QUESTIONS]
    assert own_lines(capsys) == ["Starting question paper processing workflow...",
                                 "Question paper processing completed successfully!", "Extracted 12 questions"]
    assert "Q10. What is universal adult franchise?" in fake_openai.requests[0].messages[-1]["content"]

    chosen = ["Q2", "Q9(a)", "Q10"]
    assert list(tovrane.generate_rubrics(paper, chosen)) == chosen
    assert list(tovrane.generate_reference_answers(paper, chosen)) == chosen
    assert own_lines(capsys)[-2:] == ["Generated reference answers for 3/3 questions",
                                      "Reference answer generation completed successfully!"]

    sheet = tovrane.process_answersheet(SHEET_PDF)
    out = own_lines(capsys)
    # 10 of 12 answered (Q7 and Q10 left out); "True" and "Wind" are short answers. Only Q2,
    # Q9(a) and Q10 have rubrics, so the other answers are reported as not evaluated rather
    # than passed off as zeros.
    def not_evaluated(*q_ids):
        return [f"   • Answer for {q} was not evaluated: no rubric" for q in q_ids]

    assert out == ["Starting answersheet processing workflow...", "Answersheet processing completed successfully!",
                   "Processed 10 student answers", "Attempt rate: 83.33333333333334%", "Validation warnings:",
                   *not_evaluated("Q1"),
                   "   • Answer for Q3 is very short (possible OCR issue)",
                   *not_evaluated("Q3", "Q4", "Q5(a)", "Q5(b)", "Q6", "Q8"),
                   "   • Answer for Q9(a) is very short (possible OCR issue)",
                   *not_evaluated("Q9(b)")]
    assert sheet.get_answer("Q2").feedback == "Good."
    assert sheet.get_answer("Q4").eval_rubric is None  # no rubric for Q4, so not evaluated

    target = tmp_path / "sheet.json"
    tovrane.save_answersheet(sheet, str(target))
    assert [entry["qid"] for entry in json.loads(target.read_text(encoding="utf-8"))][:2] == ["Q1", "Q2"]

    usage = tovrane.get_token_usage_summary()
    assert usage["total_tokens"] > 0 and usage["log_file"] == str(log)
    assert log.read_text(encoding="utf-8").count("parse_question_paper") == 1
    assert list(tovrane.get_processing_summary()) == [
        "question_paper_processing", "rubric_generation", "reference_answer_generation", "answersheet_processing"]
