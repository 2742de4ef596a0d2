"""Usage errors: exit status 2 before any work, with a message that says what to do."""

from __future__ import annotations

import json
import shutil

import pytest

from support.cli import SAMPLE_CLASS, cli_env, run_cli, sample_sheets
from tovrane_core.cli import main

PAPER = {"subject": "Social Science", "class_level": "Class 7", "language": "English",
         "questions": [{"q_id": "Q1", "question_text": "Name the blanket of air around the earth.", "max_marks": 1,
                        "rubric": {"criteria": [{"statement": "Names the atmosphere", "mark": 1}]},
                        "reference_answer": "The atmosphere."}]}


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    for name in ("OPENAI_API_KEY", "OPENAI_BASE_URL", "TOVRANE_EXTRACTOR", "AWS_ACCESS_KEY_ID",
                 "AWS_SECRET_ACCESS_KEY", "GEMINI_API_KEY", "MATHPIX_APP_ID", "MATHPIX_APP_KEY"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "paper.json").write_text(json.dumps(PAPER), encoding="utf-8")
    (tmp_path / "notes.json").write_text("{not json", encoding="utf-8")
    (tmp_path / "empty").mkdir()
    twins = tmp_path / "twins"
    twins.mkdir()
    sheet = sample_sheets(text_layer=True)[0]
    shutil.copy(sheet, twins / sheet.name)
    return tmp_path


def run_main(args, capsys):
    with pytest.raises(SystemExit) as stopped:
        main(args)
    captured = capsys.readouterr()
    return stopped.value.code, captured.out, captured.err


SHEET = str(sample_sheets(text_layer=True)[0])
PAPER_PDF = str(SAMPLE_CLASS / "paper.pdf")


@pytest.mark.parametrize(("args", "key", "hint"), [
    (["grade", "missing.json", SHEET, "-o", "out"], "k", "does not exist"),
    (["grade", "paper.json", "nowhere.pdf", "-o", "out"], "k", "does not exist"),
    (["grade", "paper.json", SHEET], "k", "Missing option '-o'"),
    (["grade", "paper.json", "empty", "-o", "out"], "k", "holds no PDF files"),
    (["grade", "paper.json", "paper.json", "-o", "out"], "k", "is not a PDF file"),
    (["grade", "notes.json", SHEET, "-o", "out"], "k", "is not JSON"),
    (["grade", "paper.json", SHEET, "twins", "-o", "out"], "k", "would both write"),
    (["grade", "paper.json", SHEET, "-o", "out", "--concurrency", "0"], "k", "--concurrency"),
    (["grade", "paper.json", SHEET, "-o", "out", "--extractor", "tesseract"], "k", "--extractor"),
    (["grade", "paper.json", SHEET, "-o", "out", "--offline", "--base-url", "http://127.0.0.1:1/v1"], "k",
     "drop --base-url"),
    (["grade", "paper.json", SHEET, "-o", "out", "--offline", "--extractor", "openai"], "k", "drop --extractor"),
    (["grade", "paper.json", SHEET, "-o", "out"], None, "OPENAI_API_KEY is not set"),
    (["grade", "paper.json", SHEET, "-o", "out", "--extractor", "mathpix"], "k",
     "needs Mathpix credentials: pass app_id and app_key or set MATHPIX_APP_ID and MATHPIX_APP_KEY"),
    (["grade", "paper.json", SHEET, "-o", "out", "--token-log", "no/such/dir/usage.log"], "k", "--token-log"),
    (["paper", PAPER_PDF, "--subject", "S", "--language", "English"], "k", "--class-level"),
    (["paper", PAPER_PDF, "--subject", "S", "--language", "L", "--class-level", "7", "--pages", "2-x"], "k",
     "--pages"),
    (["paper", PAPER_PDF, "--subject", "S", "--language", "L", "--class-level", "7", "-o", "no/such/dir/p.json"],
     "k", "does not exist"),
    (["estimate", PAPER_PDF, SHEET], None, "--subject, --language, --class-level"),
    (["estimate", "paper.json"], None, "answersheets"),
])
def test_usage_errors_exit_2_before_any_work(workdir, capsys, monkeypatch, args, key, hint):
    for name in ("MATHPIX_APP_ID", "MATHPIX_APP_KEY", "TOVRANE_EXTRACTOR"):
        monkeypatch.delenv(name, raising=False)
    if key:
        monkeypatch.setenv("OPENAI_API_KEY", "sk-test-usage")
        # Nothing may be sent: a request here would fail to connect.
        monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")
    before = sorted(p.name for p in workdir.iterdir())
    status, out, err = run_main(args, capsys)
    assert status == 2
    assert hint in err
    assert "Traceback" not in err
    assert sorted(p.name for p in workdir.iterdir()) == before


def test_the_missing_key_message_names_the_variable_and_the_offline_rehearsal(workdir, capsys):
    status, _, err = run_main(["paper", PAPER_PDF, "--subject", "S", "--language", "L", "--class-level", "7"], capsys)
    assert status == 2
    assert "OPENAI_API_KEY" in err and "--offline" in err


def test_the_console_script_exits_2_too(tmp_path):
    result = run_cli("grade", tmp_path / "missing.json", "-o", tmp_path / "out", cwd=tmp_path, env=cli_env())
    assert result.returncode == 2
    assert "does not exist" in result.stderr
    assert not (tmp_path / "out").exists()


def test_help_lists_the_four_commands(capsys):
    status, out, _ = run_main(["--help"], capsys)
    assert status == 0
    for command in ("paper", "grade", "estimate", "demo"):
        assert f"  {command} " in out
