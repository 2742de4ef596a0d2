"""Question papers: QuestionPaper and Question."""

from typing import Optional, overload

from tovrane_core.datastructures.rubric import Rubric
from tovrane_core._binding import pybind11_type

class Question(metaclass=pybind11_type):
    """A question: identifier, text, maximum marks, rubric, reference answer."""

    q_id: str
    text: str
    max_marks: float
    rubric: Optional[Rubric]
    reference_answer: Optional[str]
    rubric_error: Optional[str]
    reference_answer_error: Optional[str]
    def __init__(self, *, q_id: str, text: str, max_marks: float) -> None: ...
    def set_rubric(self, rubric: Optional[Rubric]) -> None: ...
    def set_reference_answer(self, text: Optional[str]) -> None: ...

class QuestionPaper(metaclass=pybind11_type):
    """The questions of a paper under their identifiers, in order."""

    subject: Optional[str]
    language: Optional[str]
    class_level: Optional[str]
    def __init__(self, *, subject: Optional[str], language: Optional[str], class_level: Optional[str]) -> None: ...
    @overload
    def add_question(self, question: Question) -> None: ...
    @overload
    def add_question(self, q_id: str, question: Question) -> None: ...
    def add_reference_answer(self, q_id: str, text: Optional[str]) -> None: ...
    def get_question_ids(self) -> list[str]: ...
    def get_question(self, q_id: str) -> Question: ...
    def get_all_questions(self) -> dict[str, Question]: ...
    def get_total_marks(self) -> float: ...
