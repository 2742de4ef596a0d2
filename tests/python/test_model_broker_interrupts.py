"""Ctrl-C during a blocking batch and an async batch, in a child process sent a real SIGINT
while the service is answering: KeyboardInterrupt within a second, no thread left behind,
no usage record cut in half."""

import pytest

from support.broker_fakes import log_entries
from support.fake_openai import FakeOpenAIServer
from support.interrupts import child_env, interrupt


@pytest.mark.parametrize("route, retries", [
    ("thread_pool", 0),
    ("thread_pool", 2),  # a call cut short is not retried by the client
    ("sync_wrapper", 0),
    ("async_batch", 2),
])
def test_ctrl_c_cuts_a_batch_short_while_the_service_is_answering(tmp_path, route, retries):
    log = tmp_path / "usage.log"
    with FakeOpenAIServer() as server:
        # Far longer than the test may take: only cutting the calls short ends the batch in time.
        server.script("RubricResponse", delay=60, content={"criteria": [{"statement": "s", "mark": 2}]})
        server.script("ReferenceAnswerResponse", content={"reference_answer": "still here"})
        took, report = interrupt([route, str(log)], child_env(server.base_url, retries),
                                 lambda: server.request_count >= 4)
        # Nothing started after the interrupt but the one call made afterwards.
        assert server.request_count == 5
    assert report["outcome"] == "interrupted"
    assert took < 1.0, f"{took:.2f} s from Ctrl-C to KeyboardInterrupt"
    assert report["after"] == report["before"], "threads left running"
    assert report["usable"]
    # No record was cut in half: the banner, then whole records only.
    entries = log_entries(log)
    assert "NEW MODEL BROKER SESSION STARTED" in entries[0]
    for entry in entries[1:]:
        assert entry.rstrip("\n").split("\n")[-1].startswith("COST: $"), entry
