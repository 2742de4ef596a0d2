"""The facade: duplicate identifiers refused on import, failed generation reported, request
limits configurable, importable from a program on standard input, and a processed paper
exported so that the JSON import reads it back. Real components, loopback fake service."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

from tovrane_core.datastructures import Rubric
from tovrane_core.tovrane import ConfigurationError, ProcessingError, Tovrane, TovraneConfig, ValidationError

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
PAPER_PDF = str(DATA / "hindi_class6_paper.digital.pdf")
OTHER_CREDENTIALS = ("MATHPIX_APP_ID", "MATHPIX_APP_KEY", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "GEMINI_API_KEY")


@pytest.fixture
def tovrane(fake_openai, monkeypatch, tmp_path, capsys):
    for key in OTHER_CREDENTIALS:
        monkeypatch.delenv(key, raising=False)
    monkeypatch.setenv("TOVRANE_EXTRACTOR", "local")
    t = Tovrane()
    t.configure(TovraneConfig(token_log_file=str(tmp_path / "usage.log"), max_retries=0))
    capsys.readouterr()
    return t


def question(q_id, marks=2, **extra):
    return dict({"q_id": q_id, "question_text": f"Explain item {q_id}.", "max_marks": marks}, **extra)


# ---- JSON import: one question per identifier -----------------------------------------------

def test_import_refuses_duplicate_identifiers_naming_each_once(tovrane):
    record = {"subject": "Science", "class_level": "8",
              "questions": [question("Q1"), question("Q2"), question("Q1", 5), question("Q2"), question("Q1")]}
    with pytest.raises(ValidationError) as err:
        tovrane.question_paper_from_json(json.dumps(record))
    assert str(err.value) == "Duplicate question IDs: ['Q1', 'Q2']"
    record["questions"] = [question("Q1"), question("Q1 ")]  # different identifiers
    assert tovrane.question_paper_from_json(record).get_question_ids() == ["Q1", "Q1 "]


# ---- Failed generation is reported ----------------------------------------------------------

def test_generation_for_all_questions_reports_the_questions_left_without(tovrane, fake_openai, capsys):
    def reply(request):
        if "item Q2." in request.messages[-1]["content"]:
            return {"status": 500, "error": "down"}
        return {"content": {"criteria": [{"statement": "s", "mark": 2}]}}

    fake_openai.script("RubricResponse", reply)
    qp = tovrane.question_paper_from_json({"subject": "S", "class_level": "8",
                                           "questions": [question("Q1"), question("Q2")]})
    capsys.readouterr()
    assert list(tovrane.generate_rubrics(qp)) == ["Q1"]
    lines = [line for line in capsys.readouterr().out.splitlines() if not line.startswith(("[", "->"))]
    assert lines[-2:] == ["Rubric generation completed successfully!", "Warning: Failed to generate rubrics for: ['Q2']"]
    assert tovrane.get_processing_summary()["rubric_generation"] == {
        "status": "success", "target_questions": "all", "total_questions": 2, "failed_questions": ["Q2"]}


# ---- Request limits in the configuration ----------------------------------------------------

def test_configuration_sets_the_brokers_request_limits(fake_openai, monkeypatch):
    monkeypatch.setenv("TOVRANE_REQUEST_TIMEOUT", "45")
    config = TovraneConfig(max_concurrent_requests=2, requests_per_minute=30, max_retries=1)
    assert len(config.to_dict()) == 10 and "request_timeout" not in config.to_dict()
    t = Tovrane()
    t.configure(config)
    b = t.model_broker
    assert (b.max_concurrent_requests, b.requests_per_minute, b.request_timeout, b.max_retries) == (2, 30, 45.0, 1)
    t.configure(TovraneConfig(request_timeout=2.5))
    assert (t.model_broker.request_timeout, t.model_broker.client.timeout) == (2.5, 2.5)


@pytest.mark.parametrize("kwargs, name", [
    ({"max_concurrent_requests": "5"}, "max_concurrent_requests"),
    ({"requests_per_minute": 50.0}, "requests_per_minute"),
    ({"request_timeout": "30"}, "request_timeout"),
    ({"max_retries": 1.0}, "max_retries"),
])
def test_configuration_type_errors_name_the_field(kwargs, name):
    with pytest.raises(TypeError, match=f"^{name} must be "):
        TovraneConfig(**kwargs)


def test_bad_environment_value_is_a_configuration_error_naming_it(fake_openai, monkeypatch):
    monkeypatch.setenv("TOVRANE_MAX_RETRIES", "many")
    t = Tovrane()
    with pytest.raises(ConfigurationError) as err:
        t.configure(TovraneConfig())
    assert str(err.value) == ("Failed to configure Tovrane: Failed to initialize model broker: "
                              "TOVRANE_MAX_RETRIES must be a whole number, 0 or more, got 'many'")
    assert t.is_configured is False


# ---- Importing from a program on standard input ---------------------------------------------

def test_import_from_standard_input_finds_the_dotenv_file_of_the_current_directory(tmp_path):
    (tmp_path / ".env").write_text("TOVRANE_DOTENV_PROBE=from-file\n")
    program = ("import os, tovrane_core.tovrane\n"
               "from tovrane_core.paper_pipeline import PaperPipeline\n"
               "os.environ.pop('TOVRANE_DOTENV_PROBE')\n"
               "PaperPipeline(None, None)\n"
               "print(os.environ['TOVRANE_DOTENV_PROBE'])\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    env.pop("TOVRANE_DOTENV_PROBE", None)
    result = subprocess.run([sys.executable, "-"], input=program, cwd=tmp_path, env=env, capture_output=True,
                            text=True)
    assert (result.returncode, result.stdout) == (0, "from-file\n"), result.stderr


# ---- Export in the JSON import format -------------------------------------------------------

QUESTIONS = [
    {"q_id": "1(a)", "question_text": "पौधे भोजन कैसे बनाते हैं?", "max_marks": 3},
    {"q_id": "Q2", "question_text": "Name the gas plants take in.", "max_marks": 1},
]


def test_processed_paper_exported_and_imported_gives_the_same_paper(tovrane, fake_openai, tmp_path, capsys):
    fake_openai.script("QuestionPaperResponse", content={"questions": QUESTIONS})
    fake_openai.script("RubricResponse", content={"criteria": [{"statement": "States the idea", "mark": 2},
                                                               {"statement": "Gives an “example”", "mark": 1}]})
    fake_openai.script("ReferenceAnswerResponse", content={"reference_answer": "प्रकाश संश्लेषण से।"})
    paper = tovrane.process_question_paper(PAPER_PDF, "Science", "Hindi", "Class 6")
    tovrane.generate_rubrics(paper)
    tovrane.generate_reference_answers(paper, ["1(a)"])
    paper.get_question("Q2").rubric.criteria[0].set_fulfill(True)  # marking state is not part of the format

    target = tmp_path / "out" / "paper.json"
    tovrane.export_question_paper(str(target))
    assert capsys.readouterr().out.splitlines()[-1] == f"Exported question paper to: {target}"
    text = target.read_text(encoding="utf-8")
    assert "पौधे" in text and text.startswith('{\n    "subject": "Science",')
    assert os.listdir(target.parent) == ["paper.json"]

    again = tovrane.question_paper_from_json(text)
    assert (again.subject, again.class_level, again.language) == ("Science", "Class 6", "Hindi")
    assert again.get_question_ids() == paper.get_question_ids() == ["1(a)", "Q2"]
    for q_id in again.get_question_ids():
        new, old = again.get_question(q_id), paper.get_question(q_id)
        assert (new.text, new.max_marks, new.reference_answer) == (old.text, old.max_marks, old.reference_answer)
        assert [(c.statement, c.mark) for c in new.rubric.criteria] == [(c.statement, c.mark) for c in old.rubric.criteria]
    assert again.get_question("Q2").reference_answer is None

    # The pipeline's own save format stays what it was.
    saved = tmp_path / "saved.json"
    tovrane.save_question_paper(str(saved))
    assert list(json.loads(saved.read_text(encoding="utf-8"))) == ["class", "subject", "answer_pages", "questions"]


def test_export_failures_and_an_empty_rubric(tovrane, tmp_path):
    with pytest.raises(ValidationError, match="^No question paper loaded"):
        tovrane.export_question_paper(str(tmp_path / "none.json"))
    paper = tovrane.question_paper_from_json({"subject": "S", "class_level": "8", "questions": [question("Q1")]})
    paper.get_question("Q1").set_rubric(Rubric([]))
    tovrane.change_question_paper(paper)
    (tmp_path / "taken").mkdir()
    with pytest.raises(ProcessingError, match="^Failed to export question paper: .*Is a directory"):
        tovrane.export_question_paper(str(tmp_path / "taken"))
    tovrane.export_question_paper(str(tmp_path / "paper.json"))
    exported = json.loads((tmp_path / "paper.json").read_text(encoding="utf-8"))
    assert exported["questions"] == [dict(question("Q1", 2.0), rubric={"criteria": []}, reference_answer=None)]
    assert tovrane.question_paper_from_json(exported).get_question("Q1").rubric.criteria == []
