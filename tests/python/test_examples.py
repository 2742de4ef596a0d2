"""The scripts in examples/ run as a user would run them, against the fake service on
loopback: each grades the sample answersheets and writes or prints what it promises."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import tovrane_core

from conftest import ROOT

EXAMPLES = ROOT / "examples"
PACKAGE_PARENT = pathlib.Path(tovrane_core.__file__).resolve().parent.parent
SAMPLE = PACKAGE_PARENT / "tovrane_core" / "_data" / "sample_class"
# Sheets with a text layer, so that no page waits for OCR.
PAPER = SAMPLE / "paper.pdf"
SHEETS = [SAMPLE / "sheets" / "meera_joshi.pdf", SAMPLE / "sheets" / "arjun_nair.pdf"]

QUESTIONS = [{"q_id": "Q1", "question_text": "What is universal adult franchise?", "max_marks": 2},
             {"q_id": "Q2", "question_text": "Name the three levels of government in India.", "max_marks": 3}]
ANSWERS = [{"q_id": "Q1", "answer_text": "Every adult can vote.", "page_numbers": [1]},
           {"q_id": "Q2", "answer_text": "Local, state and union.", "page_numbers": [1]}]


@pytest.fixture
def service(fake_openai):
    fake_openai.script("QuestionPaperResponse", content={"questions": QUESTIONS})
    fake_openai.script("RubricResponse", content={"criteria": [{"statement": "Names the idea", "mark": 1.5},
                                                               {"statement": "Explains it", "mark": 0.5}]})
    fake_openai.script("ReferenceAnswerResponse", content={"reference_answer": "A model answer."})
    fake_openai.script("AnswersheetResponse", content={"answers": ANSWERS})
    fake_openai.script("EvaluationResponse", content={"fulfilled_criteria": [0], "awarded_marks": 1.5,
                                                      "feedback": "Name the second part too."})
    return fake_openai


def run(script, *args, cwd):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT), TOVRANE_EXTRACTOR="local")
    return subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def schemas(server):
    return [request.schema_name for request in server.requests]


def test_grade_class(service, tmp_path):
    out = tmp_path / "graded"
    result = run("grade_class.py", PAPER, *SHEETS, "-o", out, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    # Two questions, one evaluated criterion worth 1.5 each: 3 of 5 marks per student.
    assert [line for line in result.stdout.splitlines() if " / " in line] == \
        ["meera_joshi: 3 / 5", "arjun_nair: 3 / 5"]
    summary = json.loads((out / "class.json").read_text(encoding="utf-8"))
    assert summary["students"] == {"meera_joshi": 3.0, "arjun_nair": 3.0} and summary["maximum"] == 5.0
    assert summary["usage"]["total_tokens"] > 0
    assert [e["qid"] for e in json.loads((out / "meera_joshi.json").read_text(encoding="utf-8"))] == ["Q1", "Q2"]
    assert "parse_question_paper" in (out / "usage.log").read_text(encoding="utf-8")
    assert schemas(service).count("EvaluationResponse") == 4


def test_grade_class_reports_a_sheet_it_could_not_grade(service, tmp_path):
    missing = tmp_path / "absent.pdf"
    result = run("grade_class.py", PAPER, SHEETS[0], missing, "-o", tmp_path / "out", cwd=tmp_path)
    assert result.returncode == 1
    assert f"absent.pdf: not graded: Failed to process answersheet: PDF file not found: {missing}" in result.stderr
    assert "meera_joshi: 3 / 5" in result.stdout


def test_json_workflow_grades_without_reading_a_paper(service, tmp_path):
    result = run("json_workflow.py", "-o", tmp_path / "reports", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    # The paper came from JSON: no parsing, no generation; Q1's rubric was replaced by hand (one criterion of 2).
    assert "QuestionPaperResponse" not in schemas(service) and "RubricResponse" not in schemas(service)
    assert result.stdout.splitlines()[-2:] == ["meera_joshi Q1: 2 / 2  Name the second part too.",
                                               "meera_joshi Q2: 1 / 3  Name the second part too."]
    report = (tmp_path / "reports" / "meera_joshi.txt").read_text(encoding="utf-8")
    assert report.startswith("PROCESSED STUDENT ANSWERSHEET")


def test_json_workflow_reads_a_paper_file(service, tmp_path):
    paper = {"subject": "Social Science", "class_level": "Class 7", "language": "English",
             "questions": [dict(QUESTIONS[0], rubric={"criteria": [{"statement": "Says who votes", "mark": 2}]},
                                reference_answer="Every adult citizen may vote.")]}
    (tmp_path / "paper.json").write_text(json.dumps(paper), encoding="utf-8")
    result = run("json_workflow.py", tmp_path / "paper.json", SHEETS[1], cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "arjun_nair Q1: 2 / 2  Name the second part too."


def test_async_app_grades_sheets_concurrently_on_its_loop(service, tmp_path):
    service.latency = 0.2
    result = run("async_app.py", PAPER, *SHEETS, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert [line for line in result.stdout.splitlines() if " / " in line] == \
        ["meera_joshi: 3 / 5", "arjun_nair: 3 / 5"]
    assert result.stdout.rstrip().splitlines()[-1].endswith(tuple("0123456789"))
    # The two sheets' evaluations overlapped: some request started before another had been answered.
    times = sorted(r.time for r in service.requests if r.schema_name == "EvaluationResponse")
    # One after the other, the second sheet's evaluations would start two latencies after the first's.
    assert len(times) == 4 and times[-1] - times[0] < 0.2


def test_custom_extractor_reads_every_page(service, tmp_path):
    result = run("custom_extractor.py", PAPER, SHEETS[1], cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "arjun_nair: 2 answers" in lines
    # Two pages of paper and two of the answersheet went through the subclass.
    assert lines[-1] == "4 pages read by CleanLocalExtractor"


def test_readme_snippet_grades_a_class(service, tmp_path):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    snippet = readme.split("```python\n", 1)[1].split("```", 1)[0]
    (tmp_path / "paper.pdf").write_bytes(PAPER.read_bytes())
    (tmp_path / "sheets").mkdir()
    for sheet in SHEETS:
        (tmp_path / "sheets" / sheet.name).write_bytes(sheet.read_bytes())
    (tmp_path / "snippet.py").write_text(snippet, encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT), TOVRANE_EXTRACTOR="local")
    result = subprocess.run([sys.executable, "snippet.py"], cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in (tmp_path / "graded").iterdir()) == ["arjun_nair.json", "meera_joshi.json"]
