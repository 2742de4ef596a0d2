"""The language-model service client: calls, rate limits, token accounting, response models."""

import os
from typing import Any, Optional, Union

import openai
import pydantic
import tiktoken

from tovrane_core.datastructures.answersheet import Answersheet
from tovrane_core.datastructures.question_paper import QuestionPaper
from tovrane_core.datastructures.rubric import Rubric
from tovrane_core._binding import pybind11_type

class CriterionModel(pydantic.BaseModel):
    statement: str
    mark: float

class RubricResponse(pydantic.BaseModel):
    criteria: list[CriterionModel]

class ReferenceAnswerResponse(pydantic.BaseModel):
    reference_answer: str

class EvaluationResponse(pydantic.BaseModel):
    fulfilled_criteria: list[int]
    awarded_marks: float
    feedback: str

class QuestionModel(pydantic.BaseModel):
    q_id: str
    question_text: str
    max_marks: float

class QuestionPaperResponse(pydantic.BaseModel):
    questions: list[QuestionModel]

class ReferenceAnswerModel(pydantic.BaseModel):
    q_id: str
    reference_answer: str

class ReferenceAnswerKeysResponse(pydantic.BaseModel):
    reference_answers: list[ReferenceAnswerModel]

class StudentAnswerModel(pydantic.BaseModel):
    q_id: str
    answer_text: str
    page_numbers: list[int]

class AnswersheetResponse(pydantic.BaseModel):
    answers: list[StudentAnswerModel]

class ModelBroker(metaclass=pybind11_type):
    """Every language-model call: one OpenAI client pair, bounded by a semaphore and a request rate, with token accounting and a usage log."""

    client: openai.OpenAI  # blocking client (OPENAI_API_KEY; OPENAI_BASE_URL applies)
    async_client: openai.AsyncOpenAI  # the client the coroutine operations await
    model: str  # the model every request names; read at each call
    token_log_file: str  # the usage log, as text
    is_logging_enabled: bool  # whether usage records are written
    max_concurrent_requests: int  # permits of the semaphore bounding async calls
    requests_per_minute: int  # requests allowed in any 60-second window
    request_timeout: float  # seconds one request may take
    max_retries: int  # retries of a failed request by the client
    encoding: tiktoken.Encoding  # the tokenizer of the model (or cl100k_base)
    total_input_tokens: int  # running total over every call
    total_output_tokens: int  # running total over every call
    total_cost: float  # running total in dollars
    def __init__(
        self,
        token_log_file: Union[str, os.PathLike[str]] = "llm_token_usage.log",
        max_concurrent_requests: int = 5,
        requests_per_minute: int = 50,
        enable_logging: bool = False,
        *,
        request_timeout: Optional[float] = None,
        max_retries: Optional[int] = None,
    ) -> None: ...
    def _make_api_call(
        self, task_name: str, messages: list[dict[str, str]], response_format: type[pydantic.BaseModel], additional_info: str = ""
    ) -> Any: ...
    async def _make_api_call_async(
        self, task_name: str, messages: list[dict[str, str]], response_format: type[pydantic.BaseModel], additional_info: str = ""
    ) -> Any: ...
    async def _enforce_rate_limit(self) -> None: ...
    def _setup_token_logger(self) -> None: ...
    def log_to_file(self, msg: str, logger_level: str = "info") -> None: ...
    def _count_tokens(self, text: str) -> int: ...
    def _count_message_tokens(self, messages: list[dict[str, str]]) -> int: ...
    def _log_token_usage(
        self, task_name: str, input_tokens: int, output_tokens: int, model: str, additional_info: str = ""
    ) -> None: ...
    def get_total_usage(self) -> dict[str, Any]: ...
    def parseQuestionPaper(
        self, extracted_texts: dict[int, str], subject: str, language: str, class_level: str
    ) -> QuestionPaper: ...
    async def parseQuestionPaper_async(
        self, extracted_texts: dict[int, str], subject: str, language: str, class_level: str
    ) -> QuestionPaper: ...
    def generateRubric(
        self, question: str, max_marks: float, class_level: str, subject: str, reference_answer: str = ""
    ) -> Rubric: ...
    async def generateRubric_async(
        self, question: str, max_marks: float, class_level: str, subject: str, reference_answer: str = ""
    ) -> Rubric: ...
    def generateRefAnswer(self, question: str, rubric: Rubric, class_level: str, subject: str) -> str: ...
    async def generateRefAnswer_async(self, question: str, rubric: Rubric, class_level: str, subject: str) -> str: ...
    def parseReferenceAnswers(self, extracted_texts: dict[int, str], question_paper: QuestionPaper) -> dict[str, str]: ...
    def parseAnswersheet(self, extracted_texts: dict[int, str], question_paper: QuestionPaper) -> Answersheet: ...
    async def parseAnswersheet_async(
        self, extracted_texts: dict[int, str], question_paper: QuestionPaper
    ) -> Answersheet: ...
    def evaluateAnswer(self, student_answer: str, question: str, rubric: Rubric, reference_answer: str) -> dict[str, Any]: ...
    async def evaluateAnswer_async(
        self, student_answer: str, question: str, rubric: Rubric, reference_answer: str
    ) -> dict[str, Any]: ...
    def run_concurrent_tasks(
        self, tasks: list[dict[str, Any]], max_workers: Optional[int] = None
    ) -> list[Any]: ...
    def generate_rubrics_batch(
        self, questions_data: list[dict[str, Any]], max_workers: Optional[int] = None
    ) -> list[Union[Rubric, str]]: ...
    def generate_ref_answers_batch(self, ref_answer_data: list[dict[str, Any]], max_workers: Optional[int] = None) -> list[str]: ...
    def evaluate_answers_batch(
        self, evaluation_data: list[dict[str, Any]], max_workers: Optional[int] = None
    ) -> list[Union[dict[str, Any], str]]: ...
    async def generate_rubrics_batch_async(self, questions_data: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
    async def generate_ref_answers_batch_async(self, ref_answer_data: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
    async def evaluate_answers_batch_async(self, evaluation_data: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
    def generate_rubrics_batch_sync(self, questions_data: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
    def generate_ref_answers_batch_sync(self, ref_answer_data: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
    def evaluate_answers_batch_sync(self, evaluation_data: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
