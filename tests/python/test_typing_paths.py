"""Paths are taken as str or os.PathLike wherever a file is named; what is printed, recorded
and stored afterwards is the text form."""

import asyncio
import json
import pathlib

import pytest

from conftest import SAMPLES
from tovrane_core.datastructures import Answer, Answersheet, Criterion, Question, QuestionPaper, Rubric
from tovrane_core.model_broker import ModelBroker
from tovrane_core.paper_pipeline import PaperPipeline
from tovrane_core.sheet_pipeline import SheetPipeline
from tovrane_core.tovrane import Tovrane, TovraneConfig, ValidationError


class PlainPathLike:
    """An os.PathLike that is no pathlib.Path, and whose str() is not its path."""

    def __init__(self, path):
        self.path = str(path)

    def __fspath__(self):
        return self.path

    def __str__(self):
        return "<not the path>"


# Each maker turns a text path into one of the accepted path forms.
PATH_FORMS = [pytest.param(pathlib.Path, id="pathlib"), pytest.param(PlainPathLike, id="fspath")]


def paper():
    p = QuestionPaper(subject="Science", language="English", class_level="Class 8")
    q = Question(q_id="Q1", text="Why is the sky blue?", max_marks=2.0)
    q.set_rubric(Rubric([Criterion(statement="Mentions scattering", mark=2.0)]))
    q.set_reference_answer("Rayleigh scattering.")
    p.add_question(q)
    return p


def sheet():
    s = Answersheet(subject="Science", language="English", class_level="Class 8")
    s.add_answer("Q1", Answer(q_id="Q1", text="Light scatters off air.", pages=[1]))
    return s


@pytest.fixture
def configured(fake_openai, monkeypatch, tmp_path, capsys):
    monkeypatch.setenv("TOVRANE_EXTRACTOR", "local")
    t = Tovrane()
    t.configure(TovraneConfig(extractor_type="local", token_log_file=str(tmp_path / "usage.log")))
    capsys.readouterr()
    return t


@pytest.mark.parametrize("form", PATH_FORMS)
def test_facade_checks_a_path_like_pdf_path_and_names_it_as_text(tmp_path, form):
    t = Tovrane()
    missing = tmp_path / "missing.pdf"
    with pytest.raises(ValidationError, match=f"^PDF file not found: {missing}$"):
        t._validate_file_path(form(missing))
    text = tmp_path / "notes.txt"
    text.write_text("x")
    with pytest.raises(ValidationError, match=f"^File must be a PDF: {text}$"):
        t._validate_file_path(form(text))
    pdf = tmp_path / "paper.PDF"
    pdf.write_bytes(b"%PDF-1.4\n")
    assert t._validate_file_path(form(pdf)) is None


@pytest.mark.parametrize("form", PATH_FORMS)
def test_pipelines_report_a_missing_path_like_pdf_as_text(tmp_path, form):
    missing = tmp_path / "gone.pdf"
    message = f"^PDF file not found: {missing}$"
    with pytest.raises(FileNotFoundError, match=message):
        PaperPipeline(object(), object()).process_pdf(form(missing), "Science", "English", "Class 8")
    pipeline = SheetPipeline(object(), object())
    with pytest.raises(FileNotFoundError, match=message):
        pipeline.process_pdf(form(missing), paper())
    with pytest.raises(FileNotFoundError, match=message):
        asyncio.run(pipeline.process_pdf_async(form(missing), paper()))


@pytest.mark.parametrize("value, name", [(7, "pdf_path"), (b"x.pdf", "pdf_path")])
def test_other_types_are_still_refused_with_the_same_message(value, name):
    with pytest.raises(TypeError, match=f"^{name} must be str, not "):
        PaperPipeline(object(), object()).process_pdf(value, "Science", "English", "Class 8")
    with pytest.raises(TypeError, match=f"'{name}' must be str, not "):
        SheetPipeline(object(), object()).process_pdf(value, paper())


@pytest.mark.parametrize("form", PATH_FORMS)
def test_pipelines_save_to_a_path_like_and_print_its_text(tmp_path, capsys, form):
    target = tmp_path / "nested" / "paper.json"
    PaperPipeline(object(), object()).save_to_file(paper(), form(target))
    assert json.loads(target.read_text(encoding="utf-8"))["questions"][0]["qid"] == "Q1"
    assert capsys.readouterr().out == f"[PaperPipeline] Saved processed data to: {target}\n"

    report = tmp_path / "sheet.txt"
    SheetPipeline(object(), object()).save_to_file(sheet(), paper(), form(report), "text")
    assert report.read_text(encoding="utf-8").startswith("PROCESSED STUDENT ANSWERSHEET")
    assert capsys.readouterr().out == f"[SheetPipeline]: Saved processed answersheet data to: {report}\n"


@pytest.mark.parametrize("form", PATH_FORMS)
def test_usage_log_path_is_kept_as_text(fake_openai, tmp_path, form):
    log = tmp_path / "usage.log"
    config = TovraneConfig(token_log_file=form(log))
    assert config.token_log_file == str(log) and config.to_dict()["token_log_file"] == str(log)
    broker = ModelBroker(form(log), enable_logging=True)
    assert broker.token_log_file == str(log)
    assert broker.get_total_usage()["log_file"] == str(log)
    broker.log_to_file("hello")
    assert "hello" in log.read_text(encoding="utf-8")


@pytest.mark.parametrize("form", PATH_FORMS)
def test_facade_saves_and_exports_to_path_likes(configured, tmp_path, capsys, form):
    configured.change_question_paper(paper())
    configured.save_question_paper(form(tmp_path / "paper.json"))
    configured.export_question_paper(form(tmp_path / "export.json"))
    configured.save_answersheet(sheet(), form(tmp_path / "sheet.json"))
    exported = json.loads((tmp_path / "export.json").read_text(encoding="utf-8"))
    assert configured.question_paper_from_json(exported).get_question_ids() == ["Q1"]
    assert f"Exported question paper to: {tmp_path / 'export.json'}" in capsys.readouterr().out
    assert json.loads((tmp_path / "sheet.json").read_text(encoding="utf-8"))[0]["qid"] == "Q1"
    assert json.loads((tmp_path / "paper.json").read_text(encoding="utf-8"))["questions"][0]["qid"] == "Q1"


def test_workflow_records_the_text_form_of_a_path_like(configured, fake_openai):
    fake_openai.script("QuestionPaperResponse", content={"questions": [
        {"q_id": "Q1", "question_text": "What is universal adult franchise?", "max_marks": 2}]})
    pdf = SAMPLES / "social_class7" / "social_class7_paper.digital.pdf"
    configured.process_question_paper(PlainPathLike(pdf), "Social Science", "English", "Class 7")
    record = configured.get_processing_summary()["question_paper_processing"]
    assert record["status"] == "success" and record["pdf_path"] == str(pdf)
    assert type(record["pdf_path"]) is str
    assert configured.get_current_question_paper().get_question_ids() == ["Q1"]


@pytest.mark.parametrize("form", PATH_FORMS)
def test_extractor_reads_a_path_like_pdf_and_names_a_missing_one_as_text(tmp_path, form):
    from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

    client = ExtractorClient(extractor_type="local")
    pages = client.process_pdf(form(SAMPLES / "social_class7" / "social_class7_paper.digital.pdf"), [1])
    assert list(pages) == [1] and "Subject: Social Science" in pages[1]
    missing = tmp_path / "gone.pdf"
    with pytest.raises(FileNotFoundError) as err:
        client.process_pdf(form(missing))
    assert str(missing) in str(err.value) and "<not the path>" not in str(err.value)
