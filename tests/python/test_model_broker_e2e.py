"""ModelBroker through the official openai client against the fake service on loopback."""

import openai
import pytest
from openai.lib._parsing._completions import type_to_response_format_param

from support.broker_fakes import log_entries, make_broker  # noqa: F401  (fixture)
from tovrane_core import model_broker

MODEL = "gpt-5-mini-2025-08-07"
MESSAGES = [{"role": "system", "content": "You write rubrics."},
            {"role": "user", "content": "Question: Why is the sky blue? (3 marks)"}]
RUBRIC = {"criteria": [{"statement": "Mentions Rayleigh scattering", "mark": 2},
                       {"statement": "Shorter wavelengths scatter more", "mark": 1.5}]}


def call(broker, **kwargs):
    kwargs.setdefault("task_name", "generate_rubric")
    kwargs.setdefault("messages", MESSAGES)
    kwargs.setdefault("response_format", model_broker.RubricResponse)
    return broker._make_api_call(**kwargs)


async def call_async(broker, **kwargs):
    kwargs.setdefault("task_name", "generate_rubric")
    kwargs.setdefault("messages", MESSAGES)
    kwargs.setdefault("response_format", model_broker.RubricResponse)
    return await broker._make_api_call_async(**kwargs)


def test_request_body_parsed_answer_and_service_usage(fake_openai, make_broker, tmp_path):
    broker = make_broker(enable_logging=True)
    fake_openai.enqueue(content=RUBRIC, prompt_tokens=123, completion_tokens=45)
    result = call(broker, additional_info="Q1")
    parsed = result.choices[0].message.parsed
    assert isinstance(parsed, model_broker.RubricResponse)
    assert [(c.statement, c.mark) for c in parsed.criteria] == [
        ("Mentions Rayleigh scattering", 2.0), ("Shorter wavelengths scatter more", 1.5)]
    body = dict(fake_openai.requests[-1].body)
    assert body.pop("stream") is False  # the client's own addition to parse()
    assert body == {"model": MODEL, "messages": MESSAGES,
                    "response_format": type_to_response_format_param(model_broker.RubricResponse)}
    assert (broker.total_input_tokens, broker.total_output_tokens) == (123, 45)
    assert "TASK: generate_rubric | \n" in log_entries(tmp_path / "usage.log")[1]
    assert log_entries(tmp_path / "usage.log")[1].endswith("COST: $0.000045 | INFO: Q1\n")


def test_answer_without_usage_is_estimated(fake_openai, make_broker):
    broker = make_broker()
    fake_openai.enqueue(content=RUBRIC, usage=None)
    result = call(broker)
    assert result.usage is None
    assert broker.total_input_tokens == broker._count_message_tokens(MESSAGES)
    assert broker.total_output_tokens == broker._count_tokens(result.choices[0].message.content) > 0


@pytest.mark.parametrize("reply, error_type, text", [
    ({"status": 400, "error": "Invalid schema for response_format"}, openai.BadRequestError,
     "Invalid schema for response_format"),
    ({"content": {"fulfilled_criteria": [0], "awarded_marks": 1}}, Exception, "feedback"),
])
def test_failed_call_records_and_raises_the_clients_error(fake_openai, make_broker, tmp_path,
                                                          reply, error_type, text):
    broker = make_broker(enable_logging=True)
    fake_openai.enqueue(**reply)
    with pytest.raises(error_type) as caught:
        call(broker, task_name="evaluate_answer", response_format=model_broker.EvaluationResponse)
    assert text in str(caught.value)
    estimate = broker._count_message_tokens(MESSAGES)
    entry = log_entries(tmp_path / "usage.log")[1]
    assert entry.startswith("\n\n*********************\nTASK: evaluate_answer_FAILED | \n")
    assert f"INPUT_TOKENS: {estimate} | \nOUTPUT_TOKENS: 0 | \n" in entry
    assert entry.endswith(f" | INFO: Error: {caught.value}\n")
    assert (broker.total_input_tokens, broker.total_output_tokens) == (estimate, 0)


async def test_async_call_through_the_async_client(fake_openai, make_broker):
    broker = make_broker()
    fake_openai.enqueue(content=RUBRIC, prompt_tokens=77, completion_tokens=11)
    result = await call_async(broker)
    assert result.choices[0].message.parsed.criteria[1].mark == 1.5
    assert fake_openai.requests[-1].body["response_format"]["json_schema"]["name"] == "RubricResponse"
    assert (broker.total_input_tokens, broker.total_output_tokens) == (77, 11)
    assert len(broker._rate_limit_timestamps) == 1


async def test_async_failed_call(fake_openai, make_broker):
    broker = make_broker()
    fake_openai.enqueue(status=400, error="bad request")
    with pytest.raises(openai.BadRequestError):
        await call_async(broker, task_name="parse_answersheet")
    assert broker.total_output_tokens == 0
    assert broker.total_input_tokens == broker._count_message_tokens(MESSAGES)
