"""Facade of tovrane_core: configuration, start-up of the components, workflows from question paper to evaluated answersheet."""

import os
from typing import Any, Optional, Union

from tovrane_core.datastructures.answersheet import Answersheet
from tovrane_core.datastructures.question_paper import QuestionPaper
from tovrane_core.datastructures.rubric import Rubric
from tovrane_core.model_broker import ModelBroker
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient
from tovrane_core.paper_pipeline import PaperPipeline
from tovrane_core.sheet_pipeline import SheetPipeline
from tovrane_core._binding import pybind11_type

_Path = Union[str, os.PathLike[str]]

class TovraneError(Exception):
    """Base exception for Tovrane errors."""

class ConfigurationError(TovraneError):
    """Raised when there's an error in configuration."""

class ProcessingError(TovraneError):
    """Raised when there's an error during processing."""

class ValidationError(TovraneError):
    """Raised when validation fails."""

class TovraneConfig(metaclass=pybind11_type):
    """The settings of a Tovrane: page reader, credentials, usage log, resolution, the broker's limits."""

    extractor_type: str  # the page reader to start with: "local", "openai", "aws", "gemini" or "mathpix"
    extractor_region: str  # AWS region of Textract (the aws reader)
    openai_api_key: Optional[str]  # exported as OPENAI_API_KEY by configure() when that is unset
    aws_access_key_id: Optional[str]  # exported as AWS_ACCESS_KEY_ID when unset
    aws_secret_access_key: Optional[str]  # exported as AWS_SECRET_ACCESS_KEY when unset
    gemini_api_key: Optional[str]  # exported as GEMINI_API_KEY when unset
    mathpix_app_id: Optional[str]  # exported as MATHPIX_APP_ID when unset
    mathpix_app_key: Optional[str]  # exported as MATHPIX_APP_KEY when unset
    token_log_file: str  # the usage log, as text
    enable_llm_token_logging: bool  # whether the broker writes the usage log
    dpi: int  # page rendering resolution
    max_concurrent_requests: int  # the broker's permits for concurrent calls
    requests_per_minute: int  # the broker's request rate
    request_timeout: Optional[float]  # seconds per request; None: TOVRANE_REQUEST_TIMEOUT, else 120
    max_retries: Optional[int]  # client retries; None: TOVRANE_MAX_RETRIES, else 2
    def __init__(
        self,
        extractor_type: str = "aws",
        extractor_region: str = "us-east-1",
        openai_api_key: Optional[str] = None,
        aws_access_key_id: Optional[str] = None,
        aws_secret_access_key: Optional[str] = None,
        gemini_api_key: Optional[str] = None,
        mathpix_app_id: Optional[str] = None,
        mathpix_app_key: Optional[str] = None,
        token_log_file: _Path = "llm_token_usage.log",
        enable_llm_token_logging: object = False,
        dpi: float = 150,
        max_concurrent_requests: int = 5,
        requests_per_minute: int = 50,
        request_timeout: Optional[float] = None,
        max_retries: Optional[int] = None,
    ) -> None: ...
    def to_dict(self) -> dict[str, Any]: ...

class Tovrane(metaclass=pybind11_type):
    """The facade: configure() it once, then read question papers, generate rubrics and reference answers, and grade answersheets."""

    config: Optional[TovraneConfig]  # the configuration of the last configure()
    is_configured: bool  # True once configure() succeeded
    model_broker: Optional[ModelBroker]  # created by configure()
    extractor_client: Optional[ExtractorClient]  # created by configure(); both pipelines read through it
    paper_pipeline: Optional[PaperPipeline]  # created by configure()
    sheet_pipeline: Optional[SheetPipeline]  # created by configure()
    current_question_paper: Optional[QuestionPaper]  # the paper answersheets are graded against
    last_processing_summary: dict[str, dict[str, Any]]  # the latest outcome record of each workflow
    def __init__(self) -> None: ...
    def configure(self, config: TovraneConfig) -> None: ...
    def _set_environment_variables(self, config: TovraneConfig) -> None: ...
    def _initialize_model_broker(self, config: TovraneConfig) -> None: ...
    def _initialize_extractor_client(self, config: TovraneConfig) -> None: ...
    def _initialize_handlers(self) -> None: ...
    def _validate_configured(self) -> None: ...
    def is_ready(self) -> bool: ...
    def get_configuration_summary(self) -> dict[str, Any]: ...
    def _validate_file_path(self, pdf_path: _Path) -> None: ...
    def _validate_question_paper_inputs(self, subject: str, language: str, class_level: str) -> None: ...
    def _validate_question_paper_loaded(self) -> None: ...
    def _validate_question_ids_for_paper(self, question_ids: list[str], question_paper: QuestionPaper) -> None: ...
    def _validate_question_ids(self, question_ids: list[str]) -> None: ...
    def process_question_paper(
        self, pdf_path: _Path, subject: str, language: str, class_level: str, page_numbers: Optional[list[int]] = None
    ) -> QuestionPaper: ...
    def generate_rubrics(
        self, question_paper: QuestionPaper, question_ids: Optional[list[str]] = None
    ) -> dict[str, Rubric]: ...
    def generate_reference_answers(
        self, question_paper: QuestionPaper, question_ids: Optional[list[str]] = None
    ) -> dict[str, str]: ...
    def process_answersheet(self, pdf_path: _Path, page_numbers: Optional[list[int]] = None) -> Answersheet: ...
    def change_question_paper(self, question_paper: QuestionPaper) -> QuestionPaper: ...
    def get_current_question_paper(self) -> Optional[QuestionPaper]: ...
    def get_processing_summary(self) -> dict[str, dict[str, Any]]: ...
    def get_token_usage_summary(self) -> dict[str, Any]: ...
    def update_rubrics_for_questions(self, question_paper: QuestionPaper, rubrics_data: dict[str, Rubric]) -> None: ...
    def update_reference_answers_for_questions(
        self, question_paper: QuestionPaper, reference_answers_data: dict[str, str]
    ) -> None: ...
    @staticmethod
    def create_rubric_from_dict(criteria_data: list[dict[str, Any]]) -> Rubric: ...
    def update_rubrics_from_dict(
        self, question_paper: QuestionPaper, rubrics_dict_data: dict[str, list[dict[str, Any]]]
    ) -> None: ...
    def question_paper_from_json(self, json_data: Union[str, dict[str, Any]]) -> QuestionPaper: ...
    def _validate_question_json(self, q_data: dict[str, Any]) -> None: ...
    def _create_rubric_from_json(self, rubric_data: dict[str, Any]) -> Rubric: ...
    def save_question_paper(self, output_path: _Path, format: str = "json") -> None: ...
    def export_question_paper(self, output_path: _Path) -> None: ...
    def save_answersheet(self, answersheet: Answersheet, output_path: _Path, format: str = "json") -> None: ...
    def print_question_paper_summary(self) -> None: ...
    def print_answersheet_summary(self, answersheet: Answersheet) -> None: ...

def example_json_workflow() -> None: ...
