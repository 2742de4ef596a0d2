"""ModelBroker: construction, token accounting, the usage log and the blocking call path."""

import asyncio
import logging
import os
import threading

import openai
import pytest
import tiktoken

from support.broker_fakes import (TEST_KEY, ScriptedCompletions, client_with, log_entries,
                                  make_broker, response, usage)  # noqa: F401  (fixture)
from tovrane_core import model_broker
from tovrane_core.model_broker import ModelBroker

MODEL = "gpt-5-mini-2025-08-07"
BANNER = "\n\n=====================\nNEW MODEL BROKER SESSION STARTED\n=====================\n"
MESSAGES = [{"role": "system", "content": "You grade."}, {"role": "user", "content": "Grade this."}]


def record(task, inp, out, info=""):
    """The usage record as the log file holds it (the handler adds the final line break)."""
    cost = inp / 1000 * 0.00015 + out / 1000 * 0.0006
    text = (f"\n\n*********************\nTASK: {task} | \nMODEL: {MODEL} | \nINPUT_TOKENS: {inp} | \n"
            f"OUTPUT_TOKENS: {out} | \nTOTAL_TOKENS: {inp + out} | \nCOST: ${cost:.6f}")
    return text + (f" | INFO: {info}" if info else "") + "\n"


# ---- Construction ----------------------------------------------------------------------------

@pytest.mark.parametrize("key", [None, ""])
def test_construction_needs_a_key_and_creates_nothing_without_one(monkeypatch, tmp_path, key):
    if key is None:
        monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    else:
        monkeypatch.setenv("OPENAI_API_KEY", key)
    created = []
    monkeypatch.setattr(openai, "OpenAI", lambda **kw: created.append(kw))
    log = tmp_path / "usage.log"
    with pytest.raises(ValueError) as err:
        ModelBroker(token_log_file=str(log))
    assert str(err.value) == "OPENAI_API_KEY environment variable is required"
    assert created == [] and not log.exists()


def test_defaults_and_attribute_order(make_broker, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    make_broker()  # sets the key
    b = ModelBroker()
    assert list(vars(b)) == [
        "client", "async_client", "model", "token_log_file", "is_logging_enabled",
        "max_concurrent_requests", "requests_per_minute", "request_timeout", "max_retries", "_request_semaphore",
        "_rate_limit_timestamps", "encoding", "token_logger", "total_input_tokens",
        "total_output_tokens", "total_cost"]
    assert (b.token_log_file, b.is_logging_enabled, b.max_concurrent_requests,
            b.requests_per_minute, b.model) == ("llm_token_usage.log", False, 5, 50, MODEL)
    assert (b.total_input_tokens, b.total_output_tokens, b.total_cost) == (0, 0, 0.0)
    assert type(b.total_cost) is float and b._rate_limit_timestamps == []
    assert isinstance(b.client, openai.OpenAI) and isinstance(b.async_client, openai.AsyncOpenAI)
    assert b.client.api_key == TEST_KEY == b.async_client.api_key
    assert b.encoding.name == "o200k_base"
    assert b.token_logger is logging.getLogger("token_usage")
    assert isinstance(b._request_semaphore, asyncio.Semaphore)
    assert (tmp_path / "llm_token_usage.log").exists()


@pytest.mark.parametrize("kwargs, name", [
    ({"max_concurrent_requests": 0}, "max_concurrent_requests"),
    ({"requests_per_minute": 0}, "requests_per_minute"),
    ({"requests_per_minute": -3}, "requests_per_minute"),
])
def test_limits_below_one_are_refused(make_broker, kwargs, name):
    with pytest.raises(ValueError, match=f"^{name} must be at least 1"):
        make_broker(**kwargs)


# ---- Usage log -------------------------------------------------------------------------------

def test_banner_and_records_byte_exact(make_broker, tmp_path):
    broker = make_broker(enable_logging=True)
    broker._log_token_usage("generate_rubric", 1200, 300, MODEL)
    broker._log_token_usage("parse_answersheet_FAILED", 812, 0, MODEL, "Error: bad gateway")
    broker._log_token_usage("evaluate_answer", 1000, 1000, MODEL, "q=1 | x")
    entries = log_entries(tmp_path / "usage.log")
    assert entries == [BANNER + "\n",
                       record("generate_rubric", 1200, 300),
                       record("parse_answersheet_FAILED", 812, 0, "Error: bad gateway"),
                       record("evaluate_answer", 1000, 1000, "q=1 | x")]
    assert entries[1].endswith("COST: $0.000360\n")
    assert entries[3].endswith("COST: $0.000750 | INFO: q=1 | x\n")


def test_console_line_per_call(make_broker, capsys):
    broker = make_broker()
    capsys.readouterr()
    broker._log_token_usage("generate_rubric", 1200, 300, MODEL)
    broker._log_token_usage("t", 0, 3333, "other-model", "info")
    assert capsys.readouterr().out == ("-> generate_rubric: 1500 tokens ($0.000360)\n"
                                       "-> t: 3333 tokens ($0.002000)\n")


def test_disabled_logging_creates_the_file_but_writes_nothing(make_broker, tmp_path, capsys):
    broker = make_broker()
    log = tmp_path / "usage.log"
    assert log.exists()
    broker._log_token_usage("generate_rubric", 10, 20, MODEL)
    broker.log_to_file("custom", "error")
    assert log.read_text() == ""
    assert "-> generate_rubric: 30 tokens" in capsys.readouterr().out
    assert (broker.total_input_tokens, broker.total_output_tokens) == (10, 20)


def test_log_appends_and_earlier_handlers_are_detached_not_closed(make_broker, tmp_path):
    first = make_broker(enable_logging=True)
    handler = logging.getLogger("token_usage").handlers[0]
    second = make_broker(enable_logging=True, token_log_file=str(tmp_path / "second.log"))
    assert logging.getLogger("token_usage").handlers != [handler]
    assert handler.stream is not None and not handler.stream.closed
    first._log_token_usage("a", 1, 1, MODEL)  # the logger is process-wide: goes to second.log
    assert len(log_entries(tmp_path / "usage.log")) == 1
    assert log_entries(tmp_path / "second.log")[1] == record("a", 1, 1)
    make_broker(enable_logging=True)
    assert len(log_entries(tmp_path / "usage.log")) == 2  # appended, not truncated
    assert second.token_logger is first.token_logger


class Recorder:
    def __init__(self):
        self.calls = []

    def __getattr__(self, level):
        return lambda msg: self.calls.append((level, msg))


@pytest.mark.parametrize("level, expected", [
    ("info", ("info", "m")), ("INFO", ("info", "m")), ("debug", ("debug", "m")),
    ("warn", ("warning", "m")), ("WARN", ("warning", "m")), ("Warning", ("warning", "m")),
    ("error", ("error", "m")), ("critical", ("critical", "m")),
    ("notice", ("info", "[NOTICE] m")), ("Trace", ("info", "[TRACE] m")),
])
def test_log_level_dispatch(make_broker, level, expected):
    broker = make_broker(enable_logging=True)
    broker.token_logger = Recorder()
    broker.log_to_file("m", level)
    assert broker.token_logger.calls == [expected]


def test_debug_never_reaches_the_file_and_warn_does(make_broker, tmp_path):
    broker = make_broker(enable_logging=True)
    broker.log_to_file("quiet", "debug")
    broker.log_to_file("loud", "WARN")
    broker.log_to_file("odd", "notice")
    assert log_entries(tmp_path / "usage.log")[1:] == ["loud\n", "[NOTICE] odd\n"]


# ---- Token counts and totals -----------------------------------------------------------------

def test_count_tokens_is_tiktokens_count(make_broker):
    broker = make_broker()
    text = "Explain photosynthesis in two sentences. Écrivez 12 345 mots — ünïcödé."
    assert broker._count_tokens(text) == len(tiktoken.get_encoding("o200k_base").encode(text))
    assert broker._count_tokens("") == 0


@pytest.mark.parametrize("text, expected", [
    ("<|endoftext|>", 13 // 4),
    ("ü" * 9 + "<|endoftext|>", 22 // 4),  # code points, not bytes
])
def test_count_tokens_falls_back_to_characters_over_four(make_broker, text, expected):
    assert make_broker()._count_tokens(text) == expected


def test_count_tokens_lets_interrupts_through(make_broker):
    broker = make_broker()

    class Interrupting:
        def encode(self, text):
            raise KeyboardInterrupt

    broker.encoding = Interrupting()
    with pytest.raises(KeyboardInterrupt):
        broker._count_tokens("x")


@pytest.mark.parametrize("messages, expected", [
    ([], 2),
    ([{"role": "system", "content": "ten"}, {"role": "user", "content": "twenty"}], 4 + 10 + 4 + 20 + 2),
    ([{"role": "user"}], 4 + 0 + 2),
    ([{"role": "user", "content": "ten", "name": "kid"}], 4 + 10 + 1 + 2),
])
def test_count_message_tokens(make_broker, messages, expected):
    broker = make_broker()
    sizes = {"ten": 10, "twenty": 20, "": 0}
    seen = []
    broker._count_tokens = lambda text: seen.append(text) or sizes[text]
    assert broker._count_message_tokens(messages) == expected
    assert seen == [m.get("content", "") for m in messages]


def test_totals_record(make_broker, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    broker = make_broker(token_log_file="somewhere.log")
    broker._log_token_usage("a", 1200, 300, MODEL)
    broker._log_token_usage("b", 1000, 1000, MODEL, "x")
    usage_record = broker.get_total_usage()
    assert list(usage_record.items()) == [
        ("total_input_tokens", 2200), ("total_output_tokens", 1300), ("total_tokens", 3500),
        ("total_cost", (1.2 * 0.00015 + 0.3 * 0.0006) + (0.00015 + 0.0006)),
        ("log_file", "somewhere.log")]


def test_concurrent_threads_keep_totals_exact_and_records_whole(make_broker, tmp_path, capsys):
    broker = make_broker(enable_logging=True)
    capsys.readouterr()
    start = threading.Barrier(50)

    def work(n):
        start.wait()
        for i in range(40):
            broker._log_token_usage(f"task{n}", n + i, i, MODEL, f"t{n}")

    threads = [threading.Thread(target=work, args=(n,)) for n in range(50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    expected_in = sum(n + i for n in range(50) for i in range(40))
    expected_out = 50 * sum(range(40))
    assert (broker.total_input_tokens, broker.total_output_tokens) == (expected_in, expected_out)
    assert broker.total_cost == pytest.approx(expected_in / 1000 * 0.00015 + expected_out / 1000 * 0.0006,
                                              rel=1e-12)
    entries = log_entries(tmp_path / "usage.log")[1:]
    expected = sorted(record(f"task{n}", n + i, i, f"t{n}") for n in range(50) for i in range(40))
    assert sorted(entries) == expected
    lines = capsys.readouterr().out.splitlines()
    assert sorted(lines) == sorted(f"-> task{n}: {n + 2 * i} tokens (${(n + i) / 1000 * 0.00015 + i / 1000 * 0.0006:.6f})"
                                   for n in range(50) for i in range(40))


# ---- Blocking call path ----------------------------------------------------------------------

def test_call_sends_exactly_model_messages_and_format_and_uses_service_usage(make_broker, tmp_path):
    broker = make_broker(enable_logging=True)
    answer = response(content='{"criteria": []}', usage=usage(321, 45))
    completions = ScriptedCompletions(answer)
    broker.client = client_with(completions)
    got = broker._make_api_call(task_name="generate_rubric", messages=MESSAGES,
                                response_format=model_broker.RubricResponse, additional_info="q1")
    assert got is answer
    assert completions.calls == [{"model": MODEL, "messages": MESSAGES,
                                  "response_format": model_broker.RubricResponse}]
    assert completions.calls[0]["messages"] is MESSAGES
    assert log_entries(tmp_path / "usage.log")[1] == record("generate_rubric", 321, 45, "q1")
    assert broker.get_total_usage()["total_tokens"] == 366


@pytest.mark.parametrize("content", [None, ""])
def test_call_without_usage_and_empty_answer_counts_zero_output(make_broker, content):
    broker = make_broker()
    broker.client = client_with(ScriptedCompletions(response(content=content, usage=None)))
    broker._make_api_call(task_name="t", messages=MESSAGES, response_format=model_broker.RubricResponse)
    assert broker.total_output_tokens == 0
    assert broker.total_input_tokens == broker._count_message_tokens(MESSAGES)


def test_call_without_usage_counts_the_answer_text(make_broker):
    broker = make_broker()
    text = '{"reference_answer": "Plants make sugar from light."}'
    broker.client = client_with(ScriptedCompletions(response(content=text)))
    broker._make_api_call(task_name="t", messages=MESSAGES, response_format=model_broker.RubricResponse)
    assert broker.total_output_tokens == broker._count_tokens(text) > 0


def test_failed_call_is_recorded_and_the_same_error_propagates(make_broker, tmp_path):
    broker = make_broker(enable_logging=True)
    error = RuntimeError("service unavailable")
    broker.client = client_with(ScriptedCompletions(error))
    estimate = broker._count_message_tokens(MESSAGES)
    with pytest.raises(RuntimeError) as caught:
        broker._make_api_call(task_name="parse_answersheet", messages=MESSAGES,
                              response_format=model_broker.AnswersheetResponse, additional_info="ignored")
    assert caught.value is error
    assert log_entries(tmp_path / "usage.log")[1] == record(
        "parse_answersheet_FAILED", estimate, 0, "Error: service unavailable")
    assert (broker.total_input_tokens, broker.total_output_tokens) == (estimate, 0)


def test_error_while_reading_the_response_is_a_failed_call(make_broker, tmp_path):
    broker = make_broker(enable_logging=True)
    broker.client = client_with(ScriptedCompletions(response(usage=usage(17, 3))))
    calls = []

    def log(*args):
        calls.append(args)
        if len(calls) == 1:
            raise OSError("disk full")

    broker._log_token_usage = log
    with pytest.raises(OSError, match="^disk full$"):
        broker._make_api_call(task_name="t", messages=MESSAGES, response_format=model_broker.RubricResponse,
                              additional_info="i")
    # The service's figures had replaced the estimate when the record failed.
    assert calls == [("t", 17, 3, MODEL, "i"), ("t_FAILED", 17, 0, MODEL, "Error: disk full")]


def test_estimate_failure_propagates_without_a_record(make_broker):
    broker = make_broker()
    completions = ScriptedCompletions(response())
    broker.client = client_with(completions)
    with pytest.raises(AttributeError):
        broker._make_api_call(task_name="t", messages=[object()], response_format=model_broker.RubricResponse)
    assert completions.calls == [] and broker.total_input_tokens == 0


def test_interrupt_during_the_call_is_not_recorded(make_broker):
    broker = make_broker()
    broker.client = client_with(ScriptedCompletions(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        broker._make_api_call(task_name="t", messages=MESSAGES, response_format=model_broker.RubricResponse)
    assert broker.total_input_tokens == 0


def test_client_without_beta_chat_uses_chat_completions(make_broker):
    broker = make_broker()
    completions = ScriptedCompletions(response(usage=usage(1, 2)))
    broker.client = client_with(completions, beta=False)
    broker._make_api_call(task_name="t", messages=MESSAGES, response_format=model_broker.RubricResponse)
    assert len(completions.calls) == 1 and broker.total_output_tokens == 2


def test_blocking_calls_never_touch_the_rate_limiter(make_broker):
    broker = make_broker(requests_per_minute=1)
    broker._enforce_rate_limit = lambda: pytest.fail("blocking call used the rate limiter")
    broker.client = client_with(ScriptedCompletions(*[response(usage=usage(1, 1))] * 5))
    for _ in range(5):
        broker._make_api_call(task_name="t", messages=MESSAGES, response_format=model_broker.RubricResponse)
    assert broker._rate_limit_timestamps == [] and broker.total_input_tokens == 5


def test_log_file_open_error_propagates(make_broker, tmp_path):
    with pytest.raises(OSError):
        make_broker(token_log_file=str(tmp_path / "missing" / "dir" / "usage.log"))
    assert not os.path.exists(tmp_path / "missing")


def test_response_without_a_usage_member_is_estimated(make_broker):
    broker = make_broker()
    answer = response(content="")
    del answer.usage
    broker.client = client_with(ScriptedCompletions(answer))
    broker._make_api_call(task_name="t", messages=MESSAGES, response_format=model_broker.RubricResponse)
    assert (broker.total_input_tokens, broker.total_output_tokens) == (broker._count_message_tokens(MESSAGES), 0)
