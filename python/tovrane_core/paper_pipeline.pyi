"""Question paper pipeline: PDF to question paper, rubrics, reference answers, reports."""

import os
from typing import Any, Optional, Union

from tovrane_core.datastructures.question_paper import QuestionPaper
from tovrane_core.datastructures.rubric import Rubric
from tovrane_core.model_broker import ModelBroker
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient
from tovrane_core._binding import pybind11_type

class PaperPipeline(metaclass=pybind11_type):
    """Question paper PDF to QuestionPaper; rubrics and reference answers for its questions; validation, summary and saving."""

    extractor_client: ExtractorClient  # the page reader, shared
    model_broker: ModelBroker  # the language-model operations, shared
    extracted_texts: Optional[dict[int, str]]  # page texts of the latest extraction, or None
    processed_subject: Optional[str]  # subject of the latest run, or None
    processed_language: Optional[str]  # language of the latest run, or None
    processed_class_level: Optional[str]  # class level of the latest run, or None
    def __init__(self, extractor_client: ExtractorClient, model_broker: ModelBroker) -> None: ...
    def set_extractor_client(self, extractor_client: ExtractorClient) -> None: ...
    def set_model_broker(self, model_broker: ModelBroker) -> None: ...
    def process_pdf(
        self,
        pdf_path: Union[str, os.PathLike[str]],
        subject: str,
        language: str,
        class_level: str,
        page_numbers: Optional[list[int]] = None,
    ) -> QuestionPaper: ...
    def generate_rubrics_for_all_questions(self, question_paper: QuestionPaper) -> dict[str, Rubric]: ...
    async def generate_rubrics_for_all_questions_async(
        self, question_paper: QuestionPaper
    ) -> dict[str, Rubric]: ...
    def _generate_rubrics_sync_fallback(
        self, question_paper: QuestionPaper, questions_to_process: list[dict[str, Any]]
    ) -> dict[str, Rubric]: ...
    def generate_rubric_for_question(self, question_paper: QuestionPaper, q_id: str) -> Rubric: ...
    def generate_reference_answers_for_all_questions(self, question_paper: QuestionPaper) -> dict[str, str]: ...
    async def generate_reference_answers_for_all_questions_async(
        self, question_paper: QuestionPaper
    ) -> dict[str, str]: ...
    def _generate_ref_answers_sync_fallback(
        self, question_paper: QuestionPaper, questions_to_process: list[dict[str, Any]]
    ) -> dict[str, str]: ...
    def generate_reference_answer_for_question(self, question_paper: QuestionPaper, q_id: str) -> str: ...
    def validate_processing(self, question_paper: Optional[QuestionPaper]) -> dict[str, Any]: ...
    def get_summary(self, question_paper: Optional[QuestionPaper]) -> dict[str, Any]: ...
    def print_summary(self, question_paper: Optional[QuestionPaper]) -> None: ...
    def get_input_data_format(self, question_paper: QuestionPaper, answer_pages: str = "") -> dict[str, Any]: ...
    def save_to_file(
        self,
        question_paper: QuestionPaper,
        output_path: Union[str, os.PathLike[str]],
        answer_pages: str = "",
        format: str = "json",
    ) -> None: ...
