"""Every public callable of the compiled modules shows its real parameters to
inspect.signature and help(), and carries a docstring."""

import importlib
import inspect
import pydoc

import pytest

from tovrane_core.datastructures import Answersheet, QuestionPaper, Rubric
from tovrane_core.model_broker import ModelBroker
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient
from tovrane_core.paper_pipeline import PaperPipeline
from tovrane_core.sheet_pipeline import SheetPipeline
from tovrane_core.tovrane import Tovrane, TovraneConfig

MODULES = [
    "tovrane_core.tovrane",
    "tovrane_core.model_broker",
    "tovrane_core.paper_pipeline",
    "tovrane_core.sheet_pipeline",
    "tovrane_core.datastructures.question_paper",
    "tovrane_core.datastructures.rubric",
    "tovrane_core.datastructures.answersheet",
    "tovrane_core.ocr_extractor.extractor_client",
]


def bound_classes(module):
    """The module's own pybind11 classes (the pydantic response models are Python classes)."""
    return [obj for obj in vars(module).values()
            if inspect.isclass(obj) and obj.__module__ == module.__name__ and not issubclass(obj, BaseException)
            and type(obj).__name__ == "pybind11_type"]


def callables():
    for name in MODULES:
        module = importlib.import_module(name)
        for attr, obj in vars(module).items():
            if inspect.isbuiltin(obj):
                yield pytest.param(obj, id=f"{name}.{attr}")
        for cls in bound_classes(module):
            yield pytest.param(cls, id=f"{name}.{cls.__name__}")
            for attr, obj in vars(cls).items():
                if attr.startswith("__") and attr not in ("__init__", "__repr__"):
                    continue
                if attr == "_pybind11_conduit_v1_":
                    continue
                member = getattr(cls, attr)
                if callable(member) and not inspect.isclass(member):
                    yield pytest.param(member, id=f"{name}.{cls.__name__}.{attr}")


def _owner(obj):
    module = importlib.import_module(obj.__module__) if obj.__module__ else None
    return getattr(module, obj.__qualname__.split(".")[0], None)


@pytest.mark.parametrize("obj", list(callables()))
def test_every_callable_has_a_signature_and_a_docstring(obj):
    signature = inspect.signature(obj)
    doc = inspect.getdoc(obj)
    assert doc and doc.strip()
    # The text signature is taken off the docstring, not left in front of it.
    assert not doc.startswith(getattr(obj, "__name__", "") + "(")
    assert "--" not in doc.splitlines()[0]
    if not inspect.isclass(obj) and getattr(obj, "__self__", None) is None:
        # Unbound methods keep self; module functions and static methods have none.
        assert ("self" in signature.parameters) == ("." in obj.__qualname__ and not isinstance(
            inspect.getattr_static(_owner(obj), obj.__name__), staticmethod))


def test_every_module_has_classes_and_methods_to_check():
    found = list(callables())
    # Eight modules, eleven classes, over a hundred methods: an empty walk would pass vacuously.
    assert len(found) > 120


@pytest.mark.parametrize("obj, expected", [
    (Tovrane.process_question_paper, "(self, pdf_path, subject, language, class_level, page_numbers=None)"),
    (Tovrane().process_answersheet, "(pdf_path, page_numbers=None)"),
    (Tovrane.save_answersheet, "(self, answersheet, output_path, format='json')"),
    (Tovrane.create_rubric_from_dict, "(criteria_data)"),
    (Tovrane, "()"),
    (TovraneConfig, "(extractor_type='aws', extractor_region='us-east-1', openai_api_key=None, "
                    "aws_access_key_id=None, aws_secret_access_key=None, gemini_api_key=None, mathpix_app_id=None, "
                    "mathpix_app_key=None, token_log_file='llm_token_usage.log', enable_llm_token_logging=False, "
                    "dpi=150, max_concurrent_requests=5, requests_per_minute=50, request_timeout=None, "
                    "max_retries=None)"),
    (ModelBroker, "(token_log_file='llm_token_usage.log', max_concurrent_requests=5, requests_per_minute=50, "
                  "enable_logging=False, *, request_timeout=None, max_retries=None)"),
    (ModelBroker.generateRubric, "(self, question, max_marks, class_level, subject, reference_answer='')"),
    (ModelBroker._make_api_call_async, "(self, task_name, messages, response_format, additional_info='')"),
    (ModelBroker.evaluate_answers_batch, "(self, evaluation_data, max_workers=None)"),
    (PaperPipeline, "(extractor_client, model_broker)"),
    (PaperPipeline.save_to_file, "(self, question_paper, output_path, answer_pages='', format='json')"),
    (SheetPipeline.process_pdf_async, "(self, pdf_path, question_paper, page_numbers=None)"),
    (QuestionPaper, "(*, subject, language, class_level)"),
    (QuestionPaper.add_question, "(self, *args, **kwargs)"),
    (Answersheet.add_answer, "(self, q_id, answer)"),
    (Rubric, "(criteria)"),
    (ExtractorClient, "(*, extractor_type='aws', region='us-east-1', api_key=None, app_id=None, app_key=None, "
                      "ocr_languages=None, max_workers=None, use_text_layer=None)"),
    (ExtractorClient.get_recommended_extractor_for_subject, "(subject)"),
    (ExtractorClient.process_pdf, "(self, pdf_path, page_numbers=None)"),
])
def test_signatures_name_the_real_parameters(obj, expected):
    assert str(inspect.signature(obj)) == expected


@pytest.mark.parametrize("name, line", [
    ("_set_environment_variables", "Set environment variables from config if not already set."),
    ("_initialize_extractor_client", "Initialize the text extractor client."),
    ("_validate_configured", "Validate that Tovrane is properly configured."),
    ("_validate_file_path", "Validate PDF file path."),
    ("_validate_question_paper_inputs", "Validate question paper processing inputs."),
    ("_validate_question_paper_loaded", "Validate that a question paper is loaded."),
    ("_validate_question_ids_for_paper", "Validate that question IDs exist in the specified question paper."),
    ("_validate_question_ids", "Validate that question IDs exist in current question paper."),
    ("change_question_paper", "Change the current question paper at runtime."),
    ("get_current_question_paper", "Get the current question paper."),
    ("get_processing_summary", "Get summary of all processing operations in this session."),
    ("update_rubrics_for_questions", "Update rubrics for specific questions by their IDs with provided rubric data."),
    ("create_rubric_from_dict", "Create a Rubric object from dictionary data."),
    ("update_rubrics_from_dict", "Update rubrics using dictionary format for easier data input."),
    ("question_paper_from_json", "Create a QuestionPaper object from JSON data."),
    ("_validate_question_json", "Validate individual question JSON data."),
    ("_create_rubric_from_json", "Create Rubric object from JSON data."),
    ("save_question_paper", "Save the current question paper to a file."),
    ("save_answersheet", "Save an answersheet to a file."),
    ("print_question_paper_summary", "Print a summary of the current question paper."),
    ("print_answersheet_summary", "Print a summary of an answersheet."),
])
def test_documentation_lines_open_the_docstrings(name, line):
    assert inspect.getdoc(getattr(Tovrane, name)).splitlines()[0] == line


def test_help_shows_the_facade_with_signatures_and_docstrings():
    text = pydoc.render_doc(Tovrane, renderer=pydoc.plaintext)
    assert "process_question_paper(self, pdf_path, subject, language, class_level, page_numbers=None)" in text
    assert "Reads a question paper PDF" in text
    assert "configure(self, config)" in text
    # pybind11's own signature lines (with C++ types) are off.
    assert "tovrane_core.tovrane.Tovrane, " not in text and "-> object" not in text
