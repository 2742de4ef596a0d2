"""Question papers, rubrics and answersheets."""

from .answersheet import Answer, Answersheet
from .question_paper import Question, QuestionPaper
from .rubric import Criterion, Rubric

__all__ = ["QuestionPaper", "Question", "Rubric", "Criterion", "Answersheet", "Answer"]
