"""Answersheets: Answersheet and Answer."""

from typing import Iterable, Optional

from tovrane_core.datastructures.rubric import Rubric
from tovrane_core._binding import pybind11_type

class Answer(metaclass=pybind11_type):
    """A student's answer to one question, with its pages."""

    q_id: str
    text: str
    @property
    def pages(self) -> list[int]: ...
    @pages.setter
    def pages(self, pages: Iterable[int]) -> None: ...
    eval_rubric: Optional[Rubric]
    feedback: str
    evaluated: bool
    evaluation_error: Optional[str]
    def __init__(self, *, q_id: str, text: str, pages: list[int]) -> None: ...
    def set_eval_rubric(self, rubric: Optional[Rubric]) -> None: ...
    def set_feedback(self, text: str) -> None: ...

class Answersheet(metaclass=pybind11_type):
    """A student's answers under their question identifiers."""

    subject: Optional[str]
    language: Optional[str]
    class_level: Optional[str]
    @property
    def unmatched_answers(self) -> list[str]: ...
    @unmatched_answers.setter
    def unmatched_answers(self, ids: Iterable[str]) -> None: ...
    def __init__(self, *, subject: Optional[str], language: Optional[str], class_level: Optional[str]) -> None: ...
    def add_answer(self, q_id: str, answer: Answer) -> None: ...
    def get_question_ids(self) -> list[str]: ...
    def get_answer(self, q_id: str) -> Answer: ...
