"""PaperPipeline: construction, collaborator setters and PDF processing."""

import pytest

import tovrane_core.model_broker as broker_module
import tovrane_core.ocr_extractor.extractor_client as extractor_module
from tovrane_core.datastructures import Question, QuestionPaper
from tovrane_core.paper_pipeline import PaperPipeline


def printed(capsys):
    out = capsys.readouterr().out
    assert out == "" or out.endswith("\n")
    return out.split("\n")[:-1]


class FakeExtractor:
    """Stands in for ExtractorClient; the class-level recommendation is logged too."""

    log = []
    recommended = "mathpix"
    fail_at = None

    def __init__(self, pages=None):
        self.pages = {1: "Q1 Name two gases. [4]", 3: "Q2 Explain photosynthesis. [6]"} if pages is None else pages

    @classmethod
    def get_recommended_extractor_for_subject(cls, subject):
        cls.log.append(("recommend", subject))
        if cls.fail_at == "recommend":
            raise ValueError("no back end for this subject")
        return cls.recommended

    def change_extractor(self, extractor_type):
        self.log.append(("change", extractor_type))
        if self.fail_at == "change":
            raise RuntimeError("mathpix needs app_id")
        return "ignored"

    def process_pdf(self, pdf_path, page_numbers):
        self.log.append(("process", pdf_path, page_numbers))
        if self.fail_at == "process":
            raise OSError("page 3 does not exist")
        return self.pages


class FakeBroker:
    def __init__(self, paper=None, error=None):
        self.paper = paper
        self.error = error
        self.calls = []

    def parseQuestionPaper(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error
        return self.paper


def sample_paper():
    paper = QuestionPaper(subject="Science", language="English", class_level="Class 8")
    paper.add_question(Question(q_id="Q1", text="Name two gases.", max_marks=4))
    paper.add_question(Question(q_id="Q2", text="Explain photosynthesis.", max_marks=6))
    return paper


@pytest.fixture
def fake_classes(monkeypatch):
    FakeExtractor.log = []
    FakeExtractor.fail_at = None
    monkeypatch.setattr(extractor_module, "ExtractorClient", FakeExtractor, raising=False)
    monkeypatch.setattr(broker_module, "ModelBroker", FakeBroker, raising=False)


@pytest.fixture
def pdf(tmp_path):
    path = tmp_path / "paper.pdf"
    path.write_bytes(b"%PDF-1.4\n")
    return str(path)


def opening_lines(pdf_path, pages_line="[PaperPipeline] Processing all pages"):
    return [
        f"[PaperPipeline] Processing question paper PDF: {pdf_path}",
        "[PaperPipeline] Subject: Science",
        "[PaperPipeline] Language: English",
        "[PaperPipeline] Class Level: Class 8",
        "[PaperPipeline] Using extractor client",
        "[PaperPipeline] Step 1/2: Extracting text from PDF...",
        pages_line,
    ]


# ---- construction and setters ----------------------------------------------------------


def test_constructor_loads_dotenv_and_accepts_anything(monkeypatch):
    import dotenv

    calls = []
    monkeypatch.setattr(dotenv, "load_dotenv", lambda *a, **k: calls.append((a, k)))
    pipeline = PaperPipeline(extractor_client=42, model_broker="not a broker")
    assert calls == [((), {})]
    assert pipeline.extractor_client == 42
    assert pipeline.model_broker == "not a broker"
    for name in ("extracted_texts", "processed_subject", "processed_language", "processed_class_level"):
        assert getattr(pipeline, name) is None
    with pytest.raises(TypeError):
        PaperPipeline(1)


def test_setters_accept_instances_and_subclasses(fake_classes):
    class Derived(FakeExtractor):
        pass

    pipeline = PaperPipeline(None, None)
    extractor, broker = Derived(), FakeBroker()
    assert pipeline.set_extractor_client(extractor) is None
    assert pipeline.set_model_broker(broker) is None
    assert pipeline.extractor_client is extractor
    assert pipeline.model_broker is broker


@pytest.mark.parametrize(
    "setter, message",
    [
        ("set_extractor_client", "extractor_client must be an instance of ExtractorClient"),
        ("set_model_broker", "model_broker must be an instance of ModelBroker"),
    ],
)
def test_setters_reject_other_types(fake_classes, setter, message):
    extractor, broker = FakeExtractor(), FakeBroker()
    pipeline = PaperPipeline(extractor, broker)
    with pytest.raises(TypeError) as err:
        getattr(pipeline, setter)(object())
    assert str(err.value) == message
    assert pipeline.extractor_client is extractor and pipeline.model_broker is broker


# ---- process_pdf -----------------------------------------------------------------------


def test_full_run_prints_every_line_in_order(fake_classes, pdf, capsys):
    extractor, broker = FakeExtractor(), FakeBroker(sample_paper())
    pipeline = PaperPipeline(extractor, broker)
    pages = [1, 3]
    paper = pipeline.process_pdf(pdf, "Science", "English", "Class 8", pages)

    assert paper is broker.paper
    assert printed(capsys) == opening_lines(pdf, "[PaperPipeline] Processing pages: [1, 3]") + [
        "[PaperPipeline] Successfully extracted text from 2 pages",
        "[PaperPipeline] Step 2/2: Parsing questions using AI...",
        "[PaperPipeline] Successfully parsed 2 questions",
        "[PaperPipeline] Total marks: 10.0",
    ]
    assert FakeExtractor.log == [("recommend", "Science"), ("change", "mathpix"), ("process", pdf, pages)]
    assert FakeExtractor.log[2][2] is pages
    assert broker.calls == [((extractor.pages, "Science", "English", "Class 8"), {})]
    assert pipeline.extracted_texts is extractor.pages
    assert (pipeline.processed_subject, pipeline.processed_language, pipeline.processed_class_level) == (
        "Science",
        "English",
        "Class 8",
    )


def test_keywords_and_omitted_pages(fake_classes, pdf, capsys):
    pipeline = PaperPipeline(FakeExtractor(), FakeBroker(sample_paper()))
    pipeline.process_pdf(pdf_path=pdf, subject="Science", language="English", class_level="Class 8")
    assert printed(capsys)[6] == "[PaperPipeline] Processing all pages"
    assert FakeExtractor.log[2] == ("process", pdf, None)


def test_empty_page_list_means_all_pages_and_is_passed_on(fake_classes, pdf, capsys):
    pipeline = PaperPipeline(FakeExtractor(), FakeBroker(sample_paper()))
    pages = []
    pipeline.process_pdf(pdf, "Science", "English", "Class 8", pages)
    assert printed(capsys)[6] == "[PaperPipeline] Processing all pages"
    assert FakeExtractor.log[2][2] is pages


def test_no_pages_extracted_still_parses(fake_classes, pdf, capsys):
    empty = QuestionPaper(subject="Science", language="English", class_level="Class 8")
    broker = FakeBroker(empty)
    pipeline = PaperPipeline(FakeExtractor(pages={}), broker)
    pipeline.process_pdf(pdf, "Science", "English", "Class 8")
    assert printed(capsys)[7:] == [
        "[PaperPipeline] Successfully extracted text from 0 pages",
        "[PaperPipeline] Step 2/2: Parsing questions using AI...",
        "[PaperPipeline] Successfully parsed 0 questions",
        "[PaperPipeline] Total marks: 0.0",
    ]
    assert broker.calls[0][0][0] == {}


@pytest.mark.parametrize("make_path", [lambda d: str(d / "missing.pdf"), lambda d: str(d)])
def test_missing_file_fails_before_any_output(fake_classes, tmp_path, capsys, make_path):
    path = make_path(tmp_path)
    pipeline = PaperPipeline(FakeExtractor(), FakeBroker(sample_paper()))
    with pytest.raises(FileNotFoundError) as err:
        pipeline.process_pdf(path, "Science", "English", "Class 8")
    assert str(err.value) == f"PDF file not found: {path}"
    assert printed(capsys) == []
    assert FakeExtractor.log == []


@pytest.mark.parametrize(
    "args, name",
    [
        ((b"x.pdf", "Science", "English", "Class 8"), "pdf_path"),
        (("x.pdf", None, "English", "Class 8"), "subject"),
        (("x.pdf", "Science", 1, "Class 8"), "language"),
        (("x.pdf", "Science", "English", 8), "class_level"),
        (("x.pdf", "Science", "English", "Class 8", (1, 2)), "page_numbers"),
    ],
)
def test_argument_types_are_checked_first(fake_classes, capsys, args, name):
    pipeline = PaperPipeline(FakeExtractor(), FakeBroker(sample_paper()))
    with pytest.raises(TypeError, match=f"^{name} must be"):
        pipeline.process_pdf(*args)
    assert printed(capsys) == []
    assert FakeExtractor.log == []


@pytest.mark.parametrize(
    "fail_at, message, log_length",
    [
        ("recommend", "no back end for this subject", 1),
        ("change", "mathpix needs app_id", 2),
        ("process", "page 3 does not exist", 3),
    ],
)
def test_failed_extraction_is_wrapped_and_leaves_state(fake_classes, pdf, capsys, fail_at, message, log_length):
    broker = FakeBroker(sample_paper())
    pipeline = PaperPipeline(FakeExtractor(), broker)
    previous = {7: "earlier run"}
    pipeline.extracted_texts = previous
    FakeExtractor.fail_at = fail_at
    with pytest.raises(RuntimeError) as err:
        pipeline.process_pdf(pdf, "Science", "English", "Class 8")
    assert str(err.value) == f"Failed to extract text from PDF: {message}"
    assert printed(capsys) == opening_lines(pdf)
    assert len(FakeExtractor.log) == log_length
    assert broker.calls == []
    assert pipeline.extracted_texts is previous
    assert pipeline.processed_subject is None


def test_failed_parse_keeps_new_pages_but_not_parameters(fake_classes, pdf, capsys):
    extractor = FakeExtractor()
    pipeline = PaperPipeline(extractor, FakeBroker(error=ValueError("Failed to parse question paper: refused")))
    with pytest.raises(RuntimeError) as err:
        pipeline.process_pdf(pdf, "Science", "English", "Class 8")
    assert str(err.value) == "Failed to parse questions: Failed to parse question paper: refused"
    assert printed(capsys)[7:] == [
        "[PaperPipeline] Successfully extracted text from 2 pages",
        "[PaperPipeline] Step 2/2: Parsing questions using AI...",
    ]
    assert pipeline.extracted_texts is extractor.pages
    assert pipeline.processed_subject is None and pipeline.processed_class_level is None


def test_failed_counting_after_parse_is_wrapped(fake_classes, pdf, capsys):
    paper = sample_paper()

    def broken_total():
        raise ZeroDivisionError("marks unreadable")

    paper.get_total_marks = broken_total
    pipeline = PaperPipeline(FakeExtractor(), FakeBroker(paper))
    with pytest.raises(RuntimeError, match="^Failed to parse questions: marks unreadable$"):
        pipeline.process_pdf(pdf, "Science", "English", "Class 8")
    assert printed(capsys)[-1] == "[PaperPipeline] Successfully parsed 2 questions"
    # The parse itself succeeded, so its parameters were recorded.
    assert pipeline.processed_language == "English"


def test_interrupts_are_not_wrapped(fake_classes, pdf):
    extractor = FakeExtractor()

    def interrupted(*args):
        raise KeyboardInterrupt

    extractor.process_pdf = interrupted
    pipeline = PaperPipeline(extractor, FakeBroker(sample_paper()))
    with pytest.raises(KeyboardInterrupt):
        pipeline.process_pdf(pdf, "Science", "English", "Class 8")


def test_collaborators_are_looked_up_at_call_time(fake_classes, pdf, monkeypatch):
    first, second = FakeBroker(sample_paper()), FakeBroker(sample_paper())
    pipeline = PaperPipeline(FakeExtractor(), first)
    pipeline.model_broker = second

    class OtherRecommendation(FakeExtractor):
        recommended = "gemini"

    monkeypatch.setattr(extractor_module, "ExtractorClient", OtherRecommendation)
    pipeline.process_pdf(pdf, "Science", "English", "Class 8")
    assert first.calls == [] and len(second.calls) == 1
    assert ("change", "gemini") in FakeExtractor.log
