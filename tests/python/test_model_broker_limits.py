"""Prompts longer than the model's context window takes are refused before any request,
naming both token counts; prompts that fit, and models the broker does not know, are sent."""

import asyncio
import re

import pytest

from support.broker_fakes import close_token_logger, log_entries
from tovrane_core.datastructures import Criterion, Question, QuestionPaper, Rubric
from tovrane_core.model_broker import ModelBroker

# One token per " word": 300,000 tokens, beyond the 272,000 the default model takes.
HUGE = " word" * 300_000
REFUSAL = re.compile(r"The prompt of (\w+) has (\d+) tokens, more than the (\d+) tokens (\S+) takes "
                     r"\(a context window of (\d+) tokens, (\d+) of them kept for the answer\); nothing was sent")


@pytest.fixture
def broker(fake_openai, tmp_path, capsys):
    b = ModelBroker(token_log_file=str(tmp_path / "usage.log"), enable_logging=True, max_retries=0)
    yield b
    close_token_logger()
    capsys.readouterr()


def paper():
    qp = QuestionPaper(subject="Science", language="English", class_level="8")
    qp.add_question(Question(q_id="Q1", text="Explain.", max_marks=2.0))
    return qp


def operations(text):
    rubric = Rubric([Criterion(statement="s", mark=2.0)])
    return {
        "parseQuestionPaper": ("parse_question_paper", "Failed to parse question paper: ",
                               ({1: text}, "Science", "English", "8")),
        "parseAnswersheet": ("parse_answersheet", "Failed to parse answersheet: ", ({1: text}, paper())),
        "evaluateAnswer": ("evaluate_answer", "Failed to evaluate answer: ", (text, "Q?", rubric, "ref")),
    }


def call(broker, route, name, args):
    if route == "blocking":
        return getattr(broker, name)(*args)
    return asyncio.run(getattr(broker, name + "_async")(*args))


@pytest.mark.parametrize("route", ["blocking", "coroutine"])
@pytest.mark.parametrize("name", ["parseQuestionPaper", "parseAnswersheet", "evaluateAnswer"])
def test_a_prompt_beyond_the_context_window_is_refused_before_any_request(broker, fake_openai, route, name):
    task, prefix, args = operations(HUGE)[name]
    with pytest.raises(RuntimeError) as err:
        call(broker, route, name, args)
    message = str(err.value)
    assert message.startswith(prefix)
    found = REFUSAL.fullmatch(message[len(prefix):])
    assert found, message
    assert found.group(1) == task and found.group(4) == "gpt-5-mini-2025-08-07"
    tokens, limit, window, output = (int(found.group(i)) for i in (2, 3, 5, 6))
    assert (limit, window, output) == (272_000, 400_000, 128_000)
    # The broker's own count: the huge text plus the prompt around it.
    assert broker._count_tokens(HUGE) < tokens < broker._count_tokens(HUGE) + 2_000
    assert fake_openai.request_count == 0
    # Nothing was sent, so nothing was spent: no usage record, totals untouched.
    assert len(log_entries(broker.token_log_file)) == 1  # the session banner
    assert broker.get_total_usage()["total_tokens"] == 0


@pytest.mark.parametrize("model, words, sent", [
    ("gpt-4o-mini", 100_000, True),     # 111,616 fit
    ("gpt-4o-mini", 115_000, False),
    ("my-local-model", 300_000, True),  # unknown window: the server decides
])
def test_the_model_in_use_decides_the_limit(broker, fake_openai, model, words, sent):
    broker.model = model
    fake_openai.script("RubricResponse", content={"criteria": [{"statement": "s", "mark": 2}]})
    fake_openai.script("ReferenceAnswerResponse", content={"reference_answer": "r"})
    question = " word" * words
    if sent:
        assert broker.generateRubric(question, 2.0, "8", "Science", "").criteria[0].statement == "s"
        assert fake_openai.request_count == 1
    else:
        with pytest.raises(RuntimeError, match=r"has \d+ tokens, more than the 111616 tokens gpt-4o-mini takes"):
            broker.generateRubric(question, 2.0, "8", "Science", "")
        assert fake_openai.request_count == 0


def test_a_batch_refuses_only_the_item_that_does_not_fit(broker, fake_openai):
    fake_openai.script("EvaluationResponse", content={"fulfilled_criteria": [0], "awarded_marks": 2, "feedback": "ok"})
    rubric = Rubric([Criterion(statement="s", mark=2.0)])
    records = [{"q_id": q, "student_answer": text, "question": "Q?", "rubric": rubric, "reference_answer": "r"}
               for q, text in (("Q1", "short"), ("Q2", HUGE), ("Q3", "short"))]
    results = broker.evaluate_answers_batch_sync(records)
    assert [r["success"] for r in results] == [True, False, True]
    assert REFUSAL.search(results[1]["error"])
    assert fake_openai.request_count == 2
