"""The facade: configuration, start-up, workflows, updates, JSON import, saving, printing.

The components are fakes put in place of the modules' classes, so these tests pin the
facade's own steps, messages and records.
"""

import fractions
import json
import math
import os
import re
import subprocess
import sys

import pytest

import tovrane_core.model_broker as model_broker_module
import tovrane_core.ocr_extractor.extractor_client as extractor_module
import tovrane_core.paper_pipeline as paper_pipeline_module
import tovrane_core.sheet_pipeline as sheet_pipeline_module
from tovrane_core.datastructures import Answer, Answersheet, Criterion, Question, QuestionPaper, Rubric
from tovrane_core.tovrane import (
    ConfigurationError,
    ProcessingError,
    Tovrane,
    TovraneConfig,
    TovraneError,
    ValidationError,
    example_json_workflow,
)

CREDENTIAL_VARIABLES = ("OPENAI_API_KEY", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "GEMINI_API_KEY",
                        "MATHPIX_APP_ID", "MATHPIX_APP_KEY")
NOT_CONFIGURED = "Tovrane is not configured. Call configure() first."
NO_PAPER = "No question paper loaded. Call process_question_paper() first."


# ---- fake components -------------------------------------------------------------------

def make_paper(*q_ids, marks=2.0):
    paper = QuestionPaper(subject="Mathematics", language="English", class_level="Grade 10")
    for q_id in q_ids:
        paper.add_question(Question(q_id=q_id, text=f"Question {q_id}", max_marks=marks))
    return paper


class FakeComponent:
    """Keeps its construction keywords and its calls; a `failure` text makes construction fail."""
    failure = None

    def __init__(self, **kwargs):
        if type(self).failure:
            raise RuntimeError(type(self).failure)
        self.kwargs = kwargs
        self.extractor_client = kwargs.get("extractor_client")
        self.model_broker = kwargs.get("model_broker")
        self.calls = []

    def save_to_file(self, **kwargs):
        self.calls.append(("save", kwargs))


class FakeBroker(FakeComponent):
    def get_total_usage(self):
        return {"total_tokens": 42}


class FakeExtractor(FakeComponent):
    def set_dpi(self, dpi):
        self.dpi = dpi


class FakePaperPipeline(FakeComponent):
    failing = ()

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.paper = make_paper("Q1", "Q2")

    def process_pdf(self, **kwargs):
        self.calls.append(("process_pdf", kwargs))
        return self.paper

    def get_summary(self, question_paper):
        return {"total_questions": len(question_paper.get_question_ids())}

    def _generate(self, kind, q_id):
        self.calls.append((kind, q_id))
        if q_id in self.failing:
            raise RuntimeError(f"no {kind} for {q_id}")
        return f"{kind} of {q_id}"

    def generate_rubric_for_question(self, question_paper, q_id):
        return self._generate("rubric", q_id)

    def generate_reference_answer_for_question(self, question_paper, q_id):
        return self._generate("answer", q_id)

    def generate_rubrics_for_all_questions(self, question_paper):
        return {"Q1": "all rubrics"}

    def generate_reference_answers_for_all_questions(self, question_paper):
        return {"Q1": "all answers"}

    def print_summary(self, question_paper):
        print("paper summary of", question_paper.subject)


class FakeSheetPipeline(FakeComponent):
    last = None

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.summary = {"total_questions": 3, "attempted_questions": 2}  # no rate here, as the real one
        self.validation = {"valid": True, "warnings": ["Q3 not attempted"], "attempt_rate": 66.66666666666667}
        FakeSheetPipeline.last = self

    def process_pdf(self, **kwargs):
        self.calls.append(("process_pdf", kwargs))
        sheet = Answersheet(subject="Mathematics", language="English", class_level="Grade 10")
        sheet.add_answer("Q1", Answer(q_id="Q1", text="x = 5", pages=[1]))
        return sheet

    def get_summary(self, answersheet, question_paper):
        return self.summary

    def validate_processing(self, answersheet, question_paper):
        return self.validation

    def print_summary(self, answersheet, question_paper):
        print("sheet summary with", answersheet.get_question_ids())


@pytest.fixture(autouse=True)
def components(monkeypatch):
    for variable in CREDENTIAL_VARIABLES:
        monkeypatch.delenv(variable, raising=False)
    for fake in (FakeBroker, FakeExtractor, FakePaperPipeline):
        monkeypatch.setattr(fake, "failure", None)
    monkeypatch.setattr(model_broker_module, "ModelBroker", FakeBroker, raising=False)
    monkeypatch.setattr(extractor_module, "ExtractorClient", FakeExtractor, raising=False)
    monkeypatch.setattr(paper_pipeline_module, "PaperPipeline", FakePaperPipeline, raising=False)
    monkeypatch.setattr(sheet_pipeline_module, "SheetPipeline", FakeSheetPipeline, raising=False)


@pytest.fixture
def facade(capsys):
    t = Tovrane()
    t.configure(TovraneConfig())
    capsys.readouterr()
    return t


@pytest.fixture
def pdf(tmp_path):
    path = tmp_path / "paper.pdf"
    path.write_bytes(b"%PDF-1.4\n")
    return str(path)


def lines(capsys):
    return capsys.readouterr().out.splitlines()


# ---- module surface --------------------------------------------------------------------

@pytest.mark.parametrize("cls, base, doc", [
    (TovraneError, Exception, "Base exception for Tovrane errors."),
    (ConfigurationError, TovraneError, "Raised when there's an error in configuration."),
    (ProcessingError, TovraneError, "Raised when there's an error during processing."),
    (ValidationError, TovraneError, "Raised when validation fails."),
])
def test_error_classes(cls, base, doc):
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "tovrane_core.tovrane"
    assert cls.__doc__ == doc
    assert str(cls("message")) == "message"


def test_docstrings_are_the_documentation_lines():
    assert Tovrane._validate_file_path.__doc__ == "Validate PDF file path."
    assert Tovrane.create_rubric_from_dict.__doc__ == "Create a Rubric object from dictionary data."
    doc = Tovrane.question_paper_from_json.__doc__.splitlines()
    assert doc[0] == "Create a QuestionPaper object from JSON data."
    assert doc[2] == "        {" and '"reference_answer": "2+2 = 4. This is basic addition."' in doc[-4]
    assert example_json_workflow.__doc__ == "Example of using JSON data instead of processing PDFs."


def test_import_loads_dotenv_without_overriding(tmp_path):
    (tmp_path / ".env").write_text("TOVRANE_DOTENV_PROBE=from-file\nTOVRANE_DOTENV_SET=from-file\n")
    code = ("import os, tovrane_core.tovrane; "
            "print(os.environ.get('TOVRANE_DOTENV_PROBE'), os.environ['TOVRANE_DOTENV_SET'])")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), TOVRANE_DOTENV_SET="from-environment")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert result.stdout.split() == ["from-file", "from-environment"], result.stderr


# ---- configuration record --------------------------------------------------------------

def test_config_defaults_and_to_dict():
    config = TovraneConfig()
    assert list(config.to_dict().items()) == [
        ("extractor_type", "aws"), ("extractor_region", "us-east-1"), ("openai_api_key", None),
        ("aws_access_key_id", None), ("aws_secret_access_key", None), ("gemini_api_key", None),
        ("mathpix_app_id", None), ("mathpix_app_key", None), ("token_log_file", "llm_token_usage.log"),
        ("dpi", 150)]
    assert config.enable_llm_token_logging is False
    config.dpi = 300  # to_dict reads the current values
    assert config.to_dict()["dpi"] == 300


class Text(str):
    pass


def test_config_positional_fields():
    config = TovraneConfig("openai", "eu-west-1", Text("k1"), "a1", "a2", "g1", "m1", "m2", "log.txt", 1, 200)
    assert config.to_dict() == {
        "extractor_type": "openai", "extractor_region": "eu-west-1", "openai_api_key": "k1",
        "aws_access_key_id": "a1", "aws_secret_access_key": "a2", "gemini_api_key": "g1",
        "mathpix_app_id": "m1", "mathpix_app_key": "m2", "token_log_file": "log.txt", "dpi": 200}
    assert config.enable_llm_token_logging is True


@pytest.mark.parametrize("kwargs, name", [
    ({"extractor_type": Text("aws")}, "extractor_type"),
    ({"extractor_region": None}, "extractor_region"),
    ({"token_log_file": b"log"}, "token_log_file"),
    ({"openai_api_key": 5}, "openai_api_key"),
    ({"mathpix_app_key": b"k"}, "mathpix_app_key"),
    ({"dpi": "150"}, "dpi"),
    ({"dpi": None}, "dpi"),
])
def test_config_type_errors_name_the_argument(kwargs, name):
    with pytest.raises(TypeError, match=f"^{name} must be "):
        TovraneConfig(**kwargs)


@pytest.mark.parametrize("dpi, stored", [(150.9, 150), (True, 1), (fractions.Fraction(601, 2), 300), (-3, -3)])
def test_config_dpi_converted_to_integer(dpi, stored):
    config = TovraneConfig(dpi=dpi)
    assert config.dpi == stored and type(config.dpi) is int


@pytest.mark.parametrize("flag, stored", [([], False), ("yes", True), (0.0, False), (None, False)])
def test_config_logging_flag_takes_truth_value(flag, stored):
    assert TovraneConfig(enable_llm_token_logging=flag).enable_llm_token_logging is stored


# ---- configure -------------------------------------------------------------------------

def test_configure_success_starts_components_in_order(capsys):
    t = Tovrane()
    config = TovraneConfig(token_log_file="usage.log", enable_llm_token_logging=True, dpi=200)
    assert t.configure(config) is None
    assert lines(capsys) == [
        "Configuring Tovrane...", "Initializing model broker...", "model broker initialized",
        "Initializing aws extractor client...", "Extractor client initialized", "Initializing paper pipeline...",
        "Initializing sheet pipeline...", "All handlers initialized", "Tovrane configured successfully!"]
    assert t.config is config and t.is_configured is True and t.is_ready() is True
    assert t.model_broker.kwargs == {"token_log_file": "usage.log", "enable_logging": True,
                                     "max_concurrent_requests": 5, "requests_per_minute": 50,
                                     "request_timeout": None, "max_retries": None}
    assert t.extractor_client.kwargs == {"extractor_type": "aws", "region": "us-east-1"}
    assert t.extractor_client.dpi == 200
    for pipeline in (t.paper_pipeline, t.sheet_pipeline):
        assert pipeline.extractor_client is t.extractor_client and pipeline.model_broker is t.model_broker


def test_configure_rejects_other_objects(capsys):
    t = Tovrane()
    with pytest.raises(ConfigurationError) as info:
        t.configure({"extractor_type": "aws"})
    assert str(info.value) == "Failed to configure Tovrane: config must be an instance of TovraneConfig"
    assert t.is_configured is False and t.config is None
    assert lines(capsys) == []


@pytest.mark.parametrize("fake, step", [
    (FakeBroker, "Failed to initialize model broker: "),
    (FakeExtractor, "Failed to initialize extractor client: "),
    (FakePaperPipeline, "Failed to initialize handlers: "),
])
def test_configure_failure_nests_the_step_message(facade, monkeypatch, fake, step):
    monkeypatch.setattr(fake, "failure", "no key here")
    old_broker = facade.model_broker
    with pytest.raises(ConfigurationError) as info:
        facade.configure(TovraneConfig(extractor_type="gemini"))
    assert str(info.value) == "Failed to configure Tovrane: " + step + "no key here"
    assert facade.is_configured is False and facade.is_ready() is False
    assert (facade.model_broker is old_broker) == (fake is FakeBroker)
    summary = facade.get_configuration_summary()
    assert summary == {"status": "configuration_failed", "extractor_type": "gemini", "extractor_region": "us-east-1",
                       "token_log_file": "llm_token_usage.log", "dpi": 150, "ready": False,
                       "has_question_paper": False}
    with pytest.raises(ProcessingError, match="^" + re.escape("Failed to generate rubrics: " + NOT_CONFIGURED) + "$"):
        facade.generate_rubrics(make_paper("Q1"))


def test_configuration_summary_before_and_after(facade):
    assert Tovrane().get_configuration_summary() == {"status": "not_configured"}
    summary = facade.get_configuration_summary()
    assert list(summary) == ["status", "extractor_type", "extractor_region", "token_log_file", "dpi", "ready",
                             "has_question_paper"]
    assert summary["status"] == "configured" and summary["ready"] is True


def test_not_ready_when_a_component_is_missing(facade):
    facade.sheet_pipeline = None
    assert facade.is_ready() is False
    with pytest.raises(ConfigurationError, match="^Tovrane is not ready. Some components failed to initialize.$"):
        facade._validate_configured()


def test_environment_export_rules(monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "from-environment")
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", "")
    monkeypatch.setenv("MATHPIX_APP_ID", "kept")
    config = TovraneConfig(openai_api_key="configured", aws_access_key_id="aws-id", aws_secret_access_key="",
                           gemini_api_key="gem", mathpix_app_id=None)
    Tovrane().configure(config)
    assert os.environ["OPENAI_API_KEY"] == "from-environment"
    assert os.environ["AWS_ACCESS_KEY_ID"] == "aws-id"
    assert "AWS_SECRET_ACCESS_KEY" not in os.environ
    assert os.environ["GEMINI_API_KEY"] == "gem"
    assert os.environ["MATHPIX_APP_ID"] == "kept"
    assert "MATHPIX_APP_KEY" not in os.environ


@pytest.mark.parametrize("kwargs, credentials", [
    ({"extractor_type": "openai", "openai_api_key": "sk"}, {"api_key": "sk"}),
    ({"extractor_type": "openai", "gemini_api_key": "g"}, {}),
    ({"extractor_type": "gemini", "gemini_api_key": "g", "openai_api_key": "sk"}, {"api_key": "g"}),
    ({"extractor_type": "mathpix", "mathpix_app_id": "id"}, {"app_id": "id"}),
    ({"extractor_type": "mathpix", "mathpix_app_id": "", "mathpix_app_key": "key"}, {"app_key": "key"}),
    ({"extractor_type": "OpenAI", "openai_api_key": "sk"}, {}),
    ({"extractor_type": "aws", "openai_api_key": "sk", "aws_access_key_id": "a"}, {}),
])
def test_extractor_credential_branches(kwargs, credentials):
    t = Tovrane()
    t.configure(TovraneConfig(**kwargs))
    assert t.extractor_client.kwargs == {"extractor_type": kwargs["extractor_type"], "region": "us-east-1",
                                         **credentials}


# ---- workflows -------------------------------------------------------------------------

def test_process_question_paper_success(facade, pdf, capsys):
    paper = facade.process_question_paper(pdf, "Mathematics", "English", "Grade 10", [1, 2])
    assert paper is facade.paper_pipeline.paper is facade.current_question_paper
    assert facade.paper_pipeline.calls == [("process_pdf", {
        "pdf_path": pdf, "subject": "Mathematics", "language": "English", "class_level": "Grade 10",
        "page_numbers": [1, 2]})]
    assert lines(capsys) == ["Starting question paper processing workflow...",
                             "Question paper processing completed successfully!", "Extracted 2 questions"]
    assert list(facade.last_processing_summary["question_paper_processing"].items()) == [
        ("status", "success"), ("pdf_path", pdf), ("subject", "Mathematics"), ("language", "English"),
        ("class_level", "Grade 10"), ("processed_pages", [1, 2]), ("summary", {"total_questions": 2})]


def test_process_question_paper_before_configure():
    t = Tovrane()
    with pytest.raises(ProcessingError) as info:
        t.process_question_paper("x.pdf", "Maths", "English", "10")
    message = "Failed to process question paper: " + NOT_CONFIGURED
    assert str(info.value) == message
    assert t.last_processing_summary == {"question_paper_processing": {"status": "error", "error": message}}


@pytest.mark.parametrize("name, content, expected", [
    ("", None, "PDF path must be a non-empty string"),
    ("missing.txt", None, "PDF file not found: {path}"),
    ("notes.txt", b"text", "File must be a PDF: {path}"),
    ("SCAN.PDF", b"%PDF", None),
])
def test_file_path_validation_order(facade, tmp_path, name, content, expected):
    path = str(tmp_path / name) if name else ""
    if content is not None:
        (tmp_path / name).write_bytes(content)
    if expected is None:
        facade.process_question_paper(path, "Maths", "English", "10")
        return
    with pytest.raises(ProcessingError) as info:
        facade.process_question_paper(path, "Maths", "English", "10")
    assert str(info.value) == "Failed to process question paper: " + expected.format(path=path)
    assert facade.paper_pipeline.calls == []


@pytest.mark.parametrize("args, message", [
    (("", "English", "10"), "Subject must be a non-empty string"),
    (("Maths", "", "10"), "Language must be a non-empty string"),
    (("Maths", "English", ""), "Class level must be a non-empty string"),
    (("  ", " ", " "), None),
])
def test_question_paper_inputs(facade, pdf, args, message):
    if message is None:
        facade.process_question_paper(pdf, *args)
        return
    with pytest.raises(ProcessingError, match="^" + re.escape("Failed to process question paper: " + message) + "$"):
        facade.process_question_paper(pdf, *args)


@pytest.mark.parametrize("call", [
    lambda t: t.process_question_paper(5, "Maths", "English", "10"),
    lambda t: t.process_question_paper("a.pdf", "Maths", "English", "10", (1, 2)),
    lambda t: t.generate_rubrics(make_paper("Q1"), "Q1"),
    lambda t: t.process_answersheet(None),
    lambda t: t.save_question_paper("out.json", format=None),
    lambda t: t.update_rubrics_for_questions(make_paper("Q1"), [("Q1", None)]),
])
def test_argument_types_checked_before_the_operation(facade, call):
    with pytest.raises(TypeError):
        call(facade)
    assert facade.last_processing_summary == {}


@pytest.mark.parametrize("kind", ["rubrics", "reference_answers"])
def test_selected_generation_with_one_failure(facade, capsys, kind):
    paper = make_paper("Q1", "Q2", "Q3")
    facade.paper_pipeline.failing = {"Q2"}
    result = getattr(facade, f"generate_{kind}")(paper, ["Q1", "Q2", "Q3"])
    noun = "rubric" if kind == "rubrics" else "reference answer"
    assert result == {"Q1": f"{noun.split()[-1]} of Q1", "Q3": f"{noun.split()[-1]} of Q3"}
    assert lines(capsys) == [
        f"Starting {noun} generation workflow...",
        f"Generating {noun}s for 3 specific questions...",
        f"Warning: Failed to generate {noun} for Q2: no {noun.split()[-1]} for Q2",
        f"Generated {noun}s for 2/3 questions",
        f"{noun.capitalize()} generation completed successfully!",
        f"Warning: Failed to generate {noun}s for: ['Q2']"]
    key = "rubric_generation" if kind == "rubrics" else "reference_answer_generation"
    assert facade.last_processing_summary[key] == {"status": "success", "target_questions": ["Q1", "Q2", "Q3"],
                                                   "total_questions": 3, "failed_questions": ["Q2"]}


@pytest.mark.parametrize("question_ids", [None, []])
def test_generation_for_all_questions(facade, capsys, question_ids):
    result = facade.generate_rubrics(make_paper("Q1", "Q2"), question_ids)
    assert result == {"Q1": "all rubrics"}
    assert lines(capsys)[1] == "Generating rubrics for all questions..."
    assert facade.last_processing_summary["rubric_generation"] == {
        "status": "success", "target_questions": "all", "total_questions": 2, "failed_questions": []}


def test_generation_with_unknown_identifier_generates_nothing(facade):
    with pytest.raises(ProcessingError) as info:
        facade.generate_reference_answers(make_paper("Q1", "Q2"), ["Q1", "Q9", "Q9"])
    message = "Failed to generate reference answers: Invalid question IDs: ['Q9', 'Q9']. Available IDs: ['Q1', 'Q2']"
    assert str(info.value) == message
    assert facade.paper_pipeline.calls == []
    assert facade.last_processing_summary["reference_answer_generation"] == {"status": "error", "error": message}


def test_validate_question_ids_against_current_paper(facade):
    with pytest.raises(ValidationError, match="^" + re.escape(NO_PAPER) + "$"):  # not an AttributeError on None
        facade._validate_question_ids(["Q1"])
    facade.current_question_paper = make_paper("Q1")
    with pytest.raises(ValidationError, match=r"^Invalid question IDs: \['Q2'\]. Available IDs: \['Q1'\]$"):
        facade._validate_question_ids(["Q1", "Q2"])
    with pytest.raises(ValidationError, match="^question_ids must be a non-empty list$"):
        facade._validate_question_ids([])


def test_generation_rejects_a_non_paper(facade):
    with pytest.raises(ProcessingError,
                       match="^Failed to generate rubrics: question_paper must be a QuestionPaper instance$"):
        facade.generate_rubrics({"Q1": "text"})


def test_process_answersheet_with_warnings(facade, pdf, capsys):
    facade.current_question_paper = paper = make_paper("Q1", "Q2", "Q3")
    sheet = facade.process_answersheet(pdf)
    assert sheet.get_question_ids() == ["Q1"]
    assert facade.sheet_pipeline.calls == [("process_pdf", {"pdf_path": pdf, "question_paper": paper,
                                                            "page_numbers": None})]
    assert lines(capsys) == ["Starting answersheet processing workflow...",
                             "Answersheet processing completed successfully!", "Processed 2 student answers",
                             "Attempt rate: 66.66666666666667%", "Validation warnings:", "   • Q3 not attempted"]
    record = facade.last_processing_summary["answersheet_processing"]
    assert list(record) == ["status", "pdf_path", "processed_pages", "summary", "validation"]
    assert record["summary"] is facade.sheet_pipeline.summary


def test_process_answersheet_defaults_when_records_lack_keys(facade, pdf, capsys):
    facade.current_question_paper = make_paper("Q1")
    facade.sheet_pipeline.summary = {"error": "x"}
    facade.sheet_pipeline.validation = {"warnings": []}
    facade.process_answersheet(pdf, [2])
    assert lines(capsys)[2:] == ["Processed 0 student answers", "Attempt rate: 0%"]
    assert facade.last_processing_summary["answersheet_processing"]["processed_pages"] == [2]


def test_process_answersheet_without_paper(facade, pdf):
    with pytest.raises(ProcessingError, match="^" + re.escape("Failed to process answersheet: " + NO_PAPER) + "$"):
        facade.process_answersheet(pdf)
    assert facade.last_processing_summary["answersheet_processing"]["status"] == "error"


def test_interrupts_pass_through_unwrapped(facade, pdf):
    def interrupted(**kwargs):
        raise KeyboardInterrupt
    facade.paper_pipeline.process_pdf = interrupted
    with pytest.raises(KeyboardInterrupt):
        facade.process_question_paper(pdf, "Maths", "English", "10")
    assert facade.last_processing_summary == {}


def test_change_question_paper(facade, capsys):
    old = make_paper("Q1")
    facade.change_question_paper(old)
    capsys.readouterr()
    with pytest.raises(ValidationError) as info:
        facade.change_question_paper(make_paper())
    assert str(info.value) == "Failed to change question paper: Question paper must contain at least one question"
    assert facade.current_question_paper is old
    new = make_paper("A", "B", marks=2.5)
    assert facade.change_question_paper(new) is new
    assert lines(capsys) == ["Changing question paper...", "Question paper changed successfully!",
                             "New question paper has 2 questions", "Total marks: 5.0"]
    assert facade.last_processing_summary["question_paper_change"] == {
        "status": "success", "total_questions": 2, "total_marks": 5.0, "subject": "Mathematics",
        "class_level": "Grade 10"}
    with pytest.raises(ValidationError, match="^Failed to change question paper: " + NOT_CONFIGURED[:20]):
        Tovrane().change_question_paper(new)


def test_change_question_paper_prints_the_count_before_reading_the_marks(facade, capsys):
    paper = make_paper("Q1")

    def broken_total():
        raise RuntimeError("no marks")
    paper.get_total_marks = broken_total
    with pytest.raises(ValidationError, match="^Failed to change question paper: no marks$"):
        facade.change_question_paper(paper)
    assert lines(capsys) == ["Changing question paper...", "Question paper changed successfully!",
                             "New question paper has 1 questions"]
    assert facade.current_question_paper is paper
    assert "question_paper_change" not in facade.last_processing_summary


def test_read_back_operations(facade):
    assert Tovrane().get_token_usage_summary() == {"status": "not_configured"}
    assert facade.get_token_usage_summary() == {"total_tokens": 42}
    facade.change_question_paper(make_paper("Q1"))
    copy = facade.get_processing_summary()
    copy.clear()
    assert list(facade.get_processing_summary()) == ["question_paper_change"]
    assert facade.get_processing_summary()["question_paper_change"] is \
        facade.last_processing_summary["question_paper_change"]
    assert facade.get_current_question_paper() is facade.current_question_paper


# ---- updates ---------------------------------------------------------------------------

def test_update_rubrics_with_mixed_entries(facade, capsys):
    paper = make_paper("Q1", "Q2", "Q3")
    rubric = Rubric([Criterion(statement="Uses the formula", mark=2.0)])
    facade.update_rubrics_for_questions(paper, {"Q1": rubric, "Q2": "two marks", "Q3": rubric})
    assert lines(capsys) == [
        "Updating rubrics for 3 questions...", "Updating rubric for question Q1...", "   Rubric updated for Q1",
        "Updating rubric for question Q2...", "   Failed to update rubric for Q2: Rubric for Q2 must be a Rubric instance",
        "Updating rubric for question Q3...", "   Rubric updated for Q3", "Rubric update completed!",
        "Updated: 2/3 questions", "Failed to update rubrics for: ['Q2']"]
    assert paper.get_question("Q1").rubric is rubric and paper.get_question("Q2").rubric is None
    assert facade.last_processing_summary["rubric_update"] == {
        "status": "completed", "target_questions": ["Q1", "Q2", "Q3"], "updated_count": 2, "failed_count": 1,
        "failed_questions": ["Q2"]}


def test_update_reference_answers_with_blank_one(facade, capsys):
    paper = make_paper("Q1", "Q2", "Q3")
    facade.update_reference_answers_for_questions(paper, {"Q1": " x = 5 ", "Q2": "  \n", "Q3": 7})
    out = lines(capsys)
    assert "   Failed to update reference answer for Q2: Reference answer for Q2 cannot be empty" in out
    assert "   Failed to update reference answer for Q3: Reference answer for Q3 must be a string" in out
    assert out[-2:] == ["Updated: 1/3 questions", "Failed to update reference answers for: ['Q2', 'Q3']"]
    assert paper.get_question("Q1").reference_answer == " x = 5 "
    assert paper.get_question("Q2").reference_answer is None
    record = facade.last_processing_summary["reference_answer_update"]
    assert (record["updated_count"], record["failed_count"]) == (1, 2)


@pytest.mark.parametrize("data, message", [
    ({"Q1": "a", "Q9": "b"}, "Invalid question IDs: ['Q9']. Available IDs: ['Q1', 'Q2']"),
    ({}, "question_ids must be a non-empty list"),
])
def test_update_with_bad_identifiers_changes_nothing(facade, data, message):
    paper = make_paper("Q1", "Q2")
    with pytest.raises(ValidationError) as info:
        facade.update_reference_answers_for_questions(paper, data)
    assert str(info.value) == message
    assert paper.get_question("Q1").reference_answer is None
    assert facade.last_processing_summary == {}


def test_update_before_configure_is_recorded():
    t = Tovrane()
    with pytest.raises(ProcessingError) as info:
        t.update_rubrics_for_questions(make_paper("Q1"), {"Q1": Rubric([])})
    assert str(info.value) == "Failed to update rubrics: " + NOT_CONFIGURED
    assert t.last_processing_summary["rubric_update"] == {"status": "error", "error": str(info.value)}


def test_create_rubric_from_dict():
    rubric = Tovrane.create_rubric_from_dict([{"statement": 12, "mark": "1.5"}, {"statement": "b", "mark": 0}])
    assert [(c.statement, c.mark) for c in rubric.criteria] == [("12", 1.5), ("b", 0.0)]
    assert Tovrane.create_rubric_from_dict([]).criteria == []
    with pytest.raises(TypeError):
        Tovrane.create_rubric_from_dict(({"statement": "a", "mark": 1},))


@pytest.mark.parametrize("second, message", [
    ("text", "Criterion 1 must be a dictionary"),
    ({"statement": "b"}, "Criterion 1 must have 'statement' and 'mark' fields"),
    ({"statement": "b", "mark": -1}, "Criterion 1 mark must be a non-negative number"),
    ({"statement": "b", "mark": "many"}, "Criterion 1 mark must be a non-negative number"),
    ({"statement": "b", "mark": None}, "Criterion 1 mark must be a non-negative number"),
    ({"statement": "b", "mark": float("inf")}, "Criterion 1 mark must be a non-negative number"),
    ({"statement": "b", "mark": "nan"}, "Criterion 1 mark must be a non-negative number"),
    ({"statement": "b", "mark": 1e308}, "Criterion 1 mark must be a non-negative number of at most 1000"),
])
def test_create_rubric_from_dict_rejects(second, message):
    with pytest.raises(ValidationError) as info:
        Tovrane.create_rubric_from_dict([{"statement": "a", "mark": 1}, second])
    assert str(info.value) == message


@pytest.mark.parametrize("data, error, message", [
    ({"Q1": [{"statement": "a", "mark": 1}], "Q2": {"statement": "b", "mark": 1}}, ProcessingError,
     "Failed to update rubrics from dict: criteria_data must be a list, not dict"),
    ({"Q1": [{"statement": "a", "mark": 1}], "Q2": [{"statement": "b", "mark": -1}]}, ValidationError,
     "Criterion 0 mark must be a non-negative number"),
])
def test_update_rubrics_from_dict_builds_all_first(facade, data, error, message):
    paper = make_paper("Q1", "Q2")
    with pytest.raises(error) as info:
        facade.update_rubrics_from_dict(paper, data)
    assert type(info.value) is error and str(info.value) == message
    assert paper.get_question("Q1").rubric is None


def test_update_rubrics_from_dict(facade):
    paper = make_paper("Q1")
    facade.update_rubrics_from_dict(paper, {"Q1": [{"statement": "Correct answer", "mark": 2.0}]})
    assert paper.get_question("Q1").rubric.criteria[0].statement == "Correct answer"


# ---- question paper from JSON ----------------------------------------------------------

def question_record(**changes):
    record = {"q_id": "Q1", "question_text": "What is 2+2?", "max_marks": 2,
              "rubric": {"criteria": [{"statement": "Correct calculation", "mark": 1.5}]},
              "reference_answer": "4"}
    record.update(changes)
    return {key: value for key, value in record.items() if value is not ...}


def paper_record(*questions, **changes):
    record = {"subject": "Mathematics", "class_level": "Grade 10",
              "questions": list(questions) or [question_record()]}
    record.update(changes)
    return {key: value for key, value in record.items() if value is not ...}


def test_question_paper_from_json(facade, capsys):
    text = json.dumps(paper_record(question_record(), question_record(q_id="Q2", max_marks="5", rubric={},
                                                                      reference_answer="")))
    paper = facade.question_paper_from_json(text)
    assert (paper.subject, paper.language, paper.class_level) == ("Mathematics", "English", "Grade 10")
    q1, q2 = paper.get_question("Q1"), paper.get_question("Q2")
    assert [(c.statement, c.mark) for c in q1.rubric.criteria] == [("Correct calculation", 1.5)]
    assert q1.reference_answer == "4" and q2.max_marks == 5.0
    assert q2.rubric is None and q2.reference_answer is None
    assert lines(capsys) == ["Creating QuestionPaper from JSON...", "QuestionPaper created successfully from JSON!",
                             "Created 2 questions", "Total marks: 7.0"]
    assert facade.current_question_paper is None and facade.last_processing_summary == {}


@pytest.mark.parametrize("data, message", [
    ("{not json", "Invalid JSON format: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
    (paper_record(class_level=...), "Missing required field: class_level"),
    (paper_record(class_level=..., subject=...), "Missing required field: subject"),
    (paper_record(questions=[]), "Questions must be a non-empty list"),
    (paper_record(questions={"q_id": "Q1"}), "Questions must be a non-empty list"),
    (paper_record(question_record(max_marks=...)), "Question missing required field: max_marks"),
    (paper_record(question_record(q_id=...)), "Question missing required field: q_id"),
    (paper_record(question_record(q_id="  ")), "q_id must be a non-empty string"),
    (paper_record(question_record(q_id=1)), "q_id must be a non-empty string"),
    (paper_record(question_record(question_text="")), "question_text must be a non-empty string"),
    (paper_record(question_record(max_marks=0)), "max_marks must be a positive number"),
    (paper_record(question_record(max_marks="two")), "max_marks must be a positive number"),
    (paper_record(question_record(max_marks=[2])), "max_marks must be a positive number"),
    ('{"subject": "M", "class_level": "1", "questions": [{"q_id": "Q1", "question_text": "t", '
     '"max_marks": Infinity}]}', "max_marks must be a positive number"),
    (paper_record(question_record(max_marks=math.nan)), "max_marks must be a positive number"),
    (paper_record(question_record(max_marks=1e308)), "max_marks must be a positive number of at most 1000"),
    (paper_record(question_record(max_marks=1000.5)), "max_marks must be a positive number of at most 1000"),
    (paper_record(question_record(rubric={"points": []})), "Rubric must contain 'criteria' field"),
    (paper_record(question_record(rubric={"criteria": "all"})), "Rubric criteria must be a list"),
    (paper_record(question_record(rubric={"criteria": ["a"]})), "Each criterion must be a dictionary"),
    (paper_record(question_record(rubric={"criteria": [{"mark": 1}]})),
     "Each criterion must have 'statement' and 'mark' fields"),
    (paper_record(question_record(rubric={"criteria": [{"statement": "s", "mark": -0.5}]})),
     "Criterion mark must be a non-negative number"),
    ('{"subject": "M", "class_level": "1", "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": 2, '
     '"rubric": {"criteria": [{"statement": "s", "mark": Infinity}]}}]}',
     "Criterion mark must be a non-negative number"),
    (paper_record(question_record(rubric={"criteria": [{"statement": "s", "mark": math.nan}]})),
     "Criterion mark must be a non-negative number"),
    (paper_record(question_record(rubric={"criteria": [{"statement": "s", "mark": 1001}]})),
     "Criterion mark must be a non-negative number of at most 1000"),
])
def test_question_paper_from_json_validation(facade, data, message):
    with pytest.raises(ValidationError) as info:
        facade.question_paper_from_json(data)
    assert str(info.value) == message


@pytest.mark.parametrize("data", [
    paper_record(5),  # a question that is not an object
    paper_record(question_record(rubric=["criteria"], reference_answer=...)),
    paper_record(question_record(rubric={"criteria": [{"statement": 5, "mark": 1}]})),
    7,
])
def test_question_paper_from_json_wraps_other_errors(facade, data):
    with pytest.raises(ValidationError, match="^Failed to create QuestionPaper from JSON: "):
        facade.question_paper_from_json(data)


def test_question_paper_from_json_before_configure():
    with pytest.raises(ValidationError, match="^Failed to create QuestionPaper from JSON: Tovrane is not configured"):
        Tovrane().question_paper_from_json(paper_record())


# ---- saving and printing ---------------------------------------------------------------

@pytest.fixture
def loaded(facade):
    facade.current_question_paper = make_paper("Q1")
    return facade


@pytest.mark.parametrize("call", [
    lambda t: t.save_question_paper("out.csv", "csv"),
    lambda t: t.save_answersheet(Answersheet(subject="M", language="E", class_level="1"), "out.csv", "csv"),
])
def test_save_rejects_unknown_format(loaded, call):
    with pytest.raises(ValidationError, match="^Format must be 'json' or 'txt'$"):
        call(loaded)
    assert loaded.paper_pipeline.calls == [] and loaded.sheet_pipeline.calls == []


def test_save_errors(facade):
    with pytest.raises(ProcessingError, match="^Failed to save question paper: " + NOT_CONFIGURED[:20]):
        Tovrane().save_question_paper("out.json")
    with pytest.raises(ValidationError) as info:
        facade.save_answersheet(Answersheet(subject="M", language="E", class_level="1"), "out.txt", "txt")
    assert str(info.value) == NO_PAPER
    facade.current_question_paper = make_paper("Q1")
    with pytest.raises(ValidationError, match="^answersheet must be an Answersheet instance$"):
        facade.save_answersheet({}, "out.txt")

    def disk_full(**kwargs):
        raise OSError("disk full")
    facade.paper_pipeline.save_to_file = disk_full
    with pytest.raises(ProcessingError, match="^Failed to save question paper: disk full$"):
        facade.save_question_paper("out.txt", "txt")


def test_save_hands_the_format_on_unchanged(loaded):
    sheet = Answersheet(subject="M", language="E", class_level="1")
    loaded.save_question_paper("out.json", "JSON")
    loaded.save_answersheet(sheet, "out.txt", "Txt")
    paper = loaded.current_question_paper
    assert loaded.paper_pipeline.calls == [
        ("save", {"question_paper": paper, "output_path": "out.json", "format": "JSON"})]
    assert loaded.sheet_pipeline.calls == [
        ("save", {"answersheet": sheet, "question_paper": paper, "output_path": "out.txt", "format": "Txt"})]


def test_printing_never_raises(facade, capsys):
    facade.print_question_paper_summary()
    facade.current_question_paper = make_paper("Q1")
    facade.print_answersheet_summary("not a sheet")
    facade.print_question_paper_summary()
    facade.print_answersheet_summary(Answersheet(subject="M", language="E", class_level="1"))
    Tovrane().print_answersheet_summary(None)
    assert lines(capsys) == [
        "Error printing summary: " + NO_PAPER,
        "Error printing answersheet summary: answersheet must be an Answersheet instance",
        "paper summary of Mathematics", "sheet summary with []",
        "Error printing answersheet summary: " + NOT_CONFIGURED]


# ---- example workflow ------------------------------------------------------------------

def test_example_without_answersheet_file(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("OPENAI_API_KEY", "sk-example")
    example_json_workflow()
    out = lines(capsys)
    assert out[-1] == "Error in JSON workflow: Failed to process answersheet: PDF file not found: student_answer.pdf"
    assert "Total marks: 5.0" in out and "New question paper has 2 questions" in out


def test_example_with_answersheet_file(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "student_answer.pdf").write_bytes(b"%PDF")
    example_json_workflow()
    assert lines(capsys)[-1] == "JSON workflow completed successfully!"
    [(_, call)] = FakeSheetPipeline.last.calls
    paper = call["question_paper"]
    assert call["pdf_path"] == "student_answer.pdf"
    assert paper.language == "English" and paper.get_question_ids() == ["Q1", "Q2"]
    q1, q2 = paper.get_question("Q1"), paper.get_question("Q2")
    assert q1.reference_answer == "2x + 5 = 15\n2x = 15 - 5\n2x = 10\nx = 5"
    assert [(c.statement, c.mark) for c in q1.rubric.criteria] == [
        ("Correct algebraic manipulation", 2.0), ("Clear presentation", 1.0)]
    assert q2.text == "What is the area of a circle with radius 5 cm?"
    assert q2.reference_answer == "Area = πr² = π × 5² = 25π ≈ 78.54 cm²"
