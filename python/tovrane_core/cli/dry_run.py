"""A model client that never leaves the process, for the cost estimate.

It stands in for the broker's `client` and `async_client` (the broker looks both up at
every call), so the broker builds the very prompts a run would send and counts them with
its own tokenizer and prices. Each request is answered by the rehearsal model's text rules
in-process; the answer lets the run go on (rubrics before reference answers, a sheet's
answers before their evaluations) and its length stands for the output tokens. The reply
carries no usage block, so the broker counts both sides itself.
"""

from __future__ import annotations

import types
from typing import Any


def _respond(messages: list[dict[str, Any]], response_format: Any) -> Any:
    from tovrane_core import _rehearsal

    content = _rehearsal.answer(response_format.__name__,
                                [(m.get("role", ""), m.get("content") or "") for m in messages])
    message = types.SimpleNamespace(role="assistant", content=content, refusal=None,
                                    parsed=response_format.model_validate_json(content))
    choice = types.SimpleNamespace(index=0, message=message, finish_reason="stop")
    return types.SimpleNamespace(choices=[choice], usage=None, model="dry-run")


class _Completions:
    def parse(self, *, messages: list, response_format: Any, **_: Any) -> Any:
        return _respond(messages, response_format)


class _AsyncCompletions:
    async def parse(self, *, messages: list, response_format: Any, **_: Any) -> Any:
        return _respond(messages, response_format)


class DryRunClient:
    """`client.beta.chat.completions.parse` (and `client.chat...`) answered on this machine."""

    base_url = "(none: nothing is sent)"

    def __init__(self, asynchronous: bool = False) -> None:
        completions = _AsyncCompletions() if asynchronous else _Completions()
        self.chat = types.SimpleNamespace(completions=completions)
        self.beta = types.SimpleNamespace(chat=self.chat)

    async def close(self) -> None:
        return None


def install(broker: Any) -> None:
    broker.client = DryRunClient()
    broker.async_client = DryRunClient(asynchronous=True)
