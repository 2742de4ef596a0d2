"""The fake chat-completions server, driven by the real openai client."""

import threading
import time

import openai
import pydantic
import pytest

from support.fake_openai import TEST_API_KEY, FakeOpenAIServer


class RubricResponse(pydantic.BaseModel):
    criteria: list[str]


MESSAGES = [{"role": "system", "content": "Grade."}, {"role": "user", "content": "Answer: 42"}]


def parse(client, **kwargs):
    completions = client.chat.completions
    if not hasattr(completions, "parse"):
        completions = client.beta.chat.completions
    return completions.parse(model="gpt-test", messages=MESSAGES, response_format=RubricResponse,
                             **kwargs)


def create(client):
    return client.chat.completions.create(model="gpt-test", messages=MESSAGES)


def test_structured_reply_through_environment(fake_openai):
    fake_openai.script("RubricResponse", content={"criteria": ["accuracy", "clarity"]})
    client = openai.OpenAI()  # base URL and key from the environment

    completion = parse(client)

    assert completion.choices[0].message.parsed == RubricResponse(criteria=["accuracy", "clarity"])
    assert completion.model == "gpt-test"
    assert completion.usage.total_tokens == completion.usage.prompt_tokens + completion.usage.completion_tokens
    (request,) = fake_openai.requests
    assert (request.method, request.path) == ("POST", "/v1/chat/completions")
    assert request.headers["authorization"] == f"Bearer {TEST_API_KEY}"
    assert request.body["messages"] == MESSAGES
    assert request.schema_name == "RubricResponse"
    assert request.body["response_format"]["json_schema"]["strict"] is True
    assert request.body["response_format"]["json_schema"]["schema"]["required"] == ["criteria"]


async def test_async_client(fake_openai):
    fake_openai.enqueue(content={"criteria": []}, prompt_tokens=12, completion_tokens=3)
    client = openai.AsyncOpenAI(max_retries=0)
    completions = client.chat.completions
    if not hasattr(completions, "parse"):
        completions = client.beta.chat.completions

    completion = await completions.parse(model="gpt-test", messages=MESSAGES,
                                         response_format=RubricResponse)

    assert completion.choices[0].message.parsed == RubricResponse(criteria=[])
    assert (completion.usage.prompt_tokens, completion.usage.completion_tokens,
            completion.usage.total_tokens) == (12, 3, 15)
    await client.close()


def test_queue_before_scripts_and_handlers_see_the_request(fake_openai):
    client = openai.OpenAI(max_retries=0)
    fake_openai.script("RubricResponse",
                       handler=lambda req: {"content": {"criteria": [req.messages[-1]["content"]]}})
    fake_openai.enqueue(content={"criteria": ["queued"]})

    assert parse(client).choices[0].message.parsed.criteria == ["queued"]
    assert parse(client).choices[0].message.parsed.criteria == ["Answer: 42"]
    assert fake_openai.pending == 0


def test_nothing_scripted_fails_without_client_retries(fake_openai):
    client = openai.OpenAI()  # default retries: the server's reply must stop them
    with pytest.raises(openai.InternalServerError) as caught:
        create(client)
    assert "nothing scripted" in caught.value.body["message"]
    assert fake_openai.request_count == 1


@pytest.mark.parametrize("reply, error", [
    (dict(status=400, error="bad schema", error_code="invalid_schema"), openai.BadRequestError),
    (dict(status=429, error="slow down", headers={"retry-after": "0", "x-should-retry": "false"}),
     openai.RateLimitError),
    (dict(drop=True), openai.APIConnectionError),
    (dict(truncate=True, content="a long enough answer"), openai.APIConnectionError),
])
def test_faults_reach_the_client_as_its_own_errors(fake_openai, reply, error):
    fake_openai.enqueue(**reply)
    fake_openai.enqueue(content="after the fault")
    client = openai.OpenAI(max_retries=0)

    with pytest.raises(error) as caught:
        create(client)
    if "error" in reply:
        assert caught.value.body["message"] == reply["error"]
        assert caught.value.code == reply.get("error_code")
    # The server stays usable after a broken connection.
    assert create(client).choices[0].message.content == "after the fault"


@pytest.mark.parametrize("reply, check", [
    (dict(content="x", usage=None), lambda c: c.usage is None),
    (dict(refusal="I can't"), lambda c: (c.choices[0].message.content, c.choices[0].message.refusal)
     == (None, "I can't")),
    (dict(content="{}", finish_reason="content_filter"),
     lambda c: c.choices[0].finish_reason == "content_filter"),
])
def test_completion_variants(fake_openai, reply, check):
    fake_openai.enqueue(**reply)
    assert check(create(openai.OpenAI(max_retries=0)))


def test_length_finish_reason_is_refused_by_parse(fake_openai):
    fake_openai.enqueue(content={"criteria": []}, finish_reason="length")
    with pytest.raises(openai.LengthFinishReasonError):
        parse(openai.OpenAI(max_retries=0))


def test_keep_alive_reuses_one_connection_with_nodelay(fake_openai):
    fake_openai.script("RubricResponse", content={"criteria": []})
    client = openai.OpenAI(max_retries=0)
    parse(client)
    parse(client)

    (connection,) = fake_openai.connections
    assert connection.nodelay
    assert [r.connection for r in fake_openai.requests] == [0, 0]


def wait_for_requests(server, count, limit=10.0):
    deadline = time.monotonic() + limit
    while server.request_count < count:
        assert time.monotonic() < deadline, "request never arrived"
        time.sleep(0.01)


def test_delay_does_not_hold_other_connections():
    class Slow(pydantic.BaseModel):
        x: int

    with FakeOpenAIServer() as server:
        server.script("Slow", content={"x": 1}, delay=30)
        server.script("RubricResponse", content={"criteria": ["fast"]})
        client = openai.OpenAI(api_key="k", base_url=server.base_url, max_retries=0)
        outcome = []

        def slow_call():
            try:
                client.chat.completions.parse(model="m", messages=MESSAGES, response_format=Slow)
            except openai.APIConnectionError as exc:
                outcome.append(exc)

        slow = threading.Thread(target=slow_call, daemon=True)
        slow.start()
        wait_for_requests(server, 1)
        assert parse(client).choices[0].message.parsed.criteria == ["fast"]
        assert slow.is_alive()
    # Stopping ends the delayed reply: the waiting client sees a closed connection.
    slow.join(timeout=10)
    assert not slow.is_alive()
    assert len(outcome) == 1


def test_stop_closes_idle_keep_alive_connections():
    server = FakeOpenAIServer().start()
    server.enqueue(content="one")
    client = openai.OpenAI(api_key="k", base_url=server.base_url, max_retries=0)
    create(client)
    server.stop()
    # A reused pooled connection now finds the server gone instead of hanging.
    with pytest.raises(openai.APIConnectionError):
        create(client)
    with pytest.raises(RuntimeError):
        server.base_url
