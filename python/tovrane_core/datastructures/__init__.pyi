from .answersheet import Answer as Answer, Answersheet as Answersheet
from .question_paper import Question as Question, QuestionPaper as QuestionPaper
from .rubric import Criterion as Criterion, Rubric as Rubric

__all__ = ["QuestionPaper", "Question", "Rubric", "Criterion", "Answersheet", "Answer"]
