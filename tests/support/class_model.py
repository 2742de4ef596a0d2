"""Scripted replies for a whole class on the fake OpenAI server, for the command-line tests.

Each reply is built from the request the broker sent, so papers, answersheets and
evaluations stay consistent with one another without a model:

- the question paper: every "Q<n>." line of the page texts, with the marks printed in
  brackets at a line's end (1 when none);
- a rubric: one criterion per mark; a reference answer: the question's first words;
- an answersheet: one answer per question of the prompt's list whose margin label ("<n>.",
  "Q<n>", "Ans <n>") starts a line, its text the rest of that line (or the next line);
- an evaluation: the first k criteria met, k = the answer's length modulo (criteria + 1),
  so students score differently and deterministically.

`fail_when(request)` turns chosen requests into HTTP 400 replies (no retry), to make one
answersheet or one answer fail.
"""

from __future__ import annotations

import re
from typing import Callable, Optional

from support.fake_openai import FakeOpenAIServer, Request

QUESTION_LINE = re.compile(r"^\s*Q(\d+)\.\s*(.+?)\s*(?:[\[(](\d+)(?: marks?)?[\])])?\s*$", re.M)
LISTED_QUESTION = re.compile(r"^\s*- (\S+?): ", re.M)
PAGE_BLOCK = re.compile(r"--- Page (\d+) ---\n(.*?)(?=\n--- Page \d+ ---\n|\Z)", re.S)
CRITERION_LINE = re.compile(r"^\s*(\d+): .* \(([\d.]+) marks\)$", re.M)
STUDENT_ANSWER = re.compile(r"### Student Answer\n(.*?)\n\s*### Rubric Criteria", re.S)


def user_text(request: Request) -> str:
    return next((m.get("content") or "" for m in request.messages if m.get("role") == "user"), "")


def paper_reply(request: Request) -> dict:
    questions = []
    for number, text, marks in QUESTION_LINE.findall(user_text(request)):
        questions.append({"q_id": f"Q{number}", "question_text": text, "max_marks": float(marks or 1)})
    return {"content": {"questions": questions}, "usage": None}


def rubric_reply(request: Request) -> dict:
    marks = float(re.search(r"Maximum Marks: ([\d.]+)", user_text(request)).group(1))
    criteria = [{"statement": f"Makes point {i + 1}", "mark": 1.0} for i in range(max(1, int(marks)))]
    return {"content": {"criteria": criteria}, "usage": None}


def reference_reply(request: Request) -> dict:
    question = re.search(r"Question: (.*)", user_text(request)).group(1)
    return {"content": {"reference_answer": "Reference: " + " ".join(question.split()[:8])}, "usage": None}


def answersheet_reply(request: Request) -> dict:
    text = user_text(request)
    q_ids = LISTED_QUESTION.findall(text.split("### Student Answersheet OCR Text:")[0])
    pages = PAGE_BLOCK.findall(text)
    answers = []
    for q_id in q_ids:
        number = q_id.lstrip("Q")
        found = None
        for page, page_text in pages:
            # The margin label starts a line; the answer follows on it or on the next line.
            match = re.search(rf"(?m)^[ \t]*(?:Q|Ans)?[ \t]*{re.escape(number)}\b[.)]?[ \t]*(.*)\n*[ \t]*(.*)",
                              page_text)
            if match:
                found = (" ".join((match.group(1) or match.group(2)).split()), int(page))
                break
        if found:
            answers.append({"q_id": q_id, "answer_text": found[0], "page_numbers": [found[1]]})
    return {"content": {"answers": answers}, "usage": None}


def evaluation_reply(request: Request) -> dict:
    text = user_text(request)
    criteria = CRITERION_LINE.findall(text)
    answer = STUDENT_ANSWER.search(text).group(1).strip()
    met = len(answer) % (len(criteria) + 1)
    return {"content": {"fulfilled_criteria": list(range(met)), "awarded_marks": float(met),
                        "feedback": f"You covered {met} of {len(criteria)} points."}, "usage": None}


REPLIES = {
    "QuestionPaperResponse": paper_reply,
    "RubricResponse": rubric_reply,
    "ReferenceAnswerResponse": reference_reply,
    "AnswersheetResponse": answersheet_reply,
    "EvaluationResponse": evaluation_reply,
}


def script_class(server: FakeOpenAIServer, fail_when: Optional[Callable[[Request], bool]] = None) -> None:
    """Scripts the five structured requests on `server`."""
    for schema, reply in REPLIES.items():
        def handler(request: Request, reply=reply) -> dict:
            if fail_when is not None and fail_when(request):
                return {"status": 400, "error": "scripted failure for this test"}
            return reply(request)

        server.script(schema, handler)
