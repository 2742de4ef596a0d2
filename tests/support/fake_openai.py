"""A fake OpenAI chat-completions server for tests.

It speaks the real protocol over loopback so that tests drive the official ``openai``
client unchanged::

    with FakeOpenAIServer() as server:
        server.enqueue(content={"criteria": []})
        client = openai.OpenAI(api_key="test", base_url=server.base_url, max_retries=0)
        ...
        assert server.requests[-1].schema_name == "RubricResponse"

Replies are scripted per test. For each ``POST .../chat/completions`` the server answers
with, in this order:

1. the oldest reply queued with :meth:`FakeOpenAIServer.enqueue`;
2. the reply scripted with :meth:`FakeOpenAIServer.script` for the request's
   ``response_format`` schema name (the client's ``parse(response_format=Model)`` sends
   ``{"type": "json_schema", "json_schema": {"name": "Model", "schema": ..., "strict": true}}``);
3. otherwise HTTP 500 "nothing scripted", so a test never passes by accident.

A reply is either a completion (``content`` as a Python object, serialised with
``json.dumps``, or a raw string; ``refusal``; ``finish_reason``; token counts or
``usage=None`` to leave usage out) or a fault: ``status`` + ``error`` (+ ``headers`` such as
``retry-after`` or ``x-should-retry``), ``drop`` (close without answering), ``truncate``
(Content-Length larger than the bytes sent), ``raw_body`` (bytes sent as they are), and
``delay`` (seconds before answering). ``server.latency`` adds seconds to every reply.

Mind the client's own retries: ``openai`` retries 408, 409, 429, 5xx and connection errors
twice by default (0.5 s, then 1 s back-off, or what ``retry-after`` says). Fault tests
create their clients with ``max_retries=0`` or count on the retries on purpose. Replies the
server makes up itself (nothing scripted, unknown path, handler failure) carry
``x-should-retry: false``.

The ``fake_openai`` pytest fixture starts a server, points ``OPENAI_BASE_URL`` at it, sets a
dummy ``OPENAI_API_KEY`` and stops the server after the test.

Request times (``Request.time``, ``request_times``) are ``time.monotonic()`` values taken
when a request's headers have arrived, before any delay.

:class:`FaultInjector` is a script handler that answers each request with a fault drawn at
random from every kind the server can produce (seeded), or with a good answer; it counts
what it injected. Soak tests drive the broker through it::

    faults = FaultInjector(good_answers, seed=7, timeout=0.3)
    for name in ("RubricResponse", "EvaluationResponse"):
        server.script(name, faults)
"""

from __future__ import annotations

import dataclasses
import http.server
import collections
import itertools
import json
import random
import socket
import threading
import time
import traceback
from typing import Any, Callable, Optional, Union

import pytest

from support.secret_scan import SECRET_API_KEY
from tovrane_core.rehearsal import LoopbackHTTPServer

__all__ = [
    "FakeOpenAIServer",
    "Reply",
    "Request",
    "Connection",
    "chat_completion",
    "error_body",
    "TEST_API_KEY",
    "FaultInjector",
    "FAULTS",
    "fake_openai",
]

# The recognisable key of every test: whatever shows it has leaked it.
TEST_API_KEY = SECRET_API_KEY

DEFAULT_PROMPT_TOKENS = 10
DEFAULT_COMPLETION_TOKENS = 5

NOTHING_SCRIPTED = "fake OpenAI server: nothing scripted for this request (schema name: {name!r})"
STREAMING_UNSUPPORTED = "fake OpenAI server: streaming replies are not supported"
UNKNOWN_PATH = "fake OpenAI server: no route for {method} {path}"
HANDLER_FAILED = "fake OpenAI server: reply handler for {name!r} raised {error}"

# Error types the real service uses for these statuses.
_ERROR_TYPES = {
    400: "invalid_request_error",
    401: "invalid_request_error",
    403: "invalid_request_error",
    404: "invalid_request_error",
    429: "requests",
}

_AUTO = object()  # usage computed from the token counts


def error_body(message: str, status: int, type: Optional[str] = None,
               code: Optional[str] = None) -> dict:
    """The service's JSON error object."""
    if type is None:
        type = _ERROR_TYPES.get(status, "server_error" if status >= 500 else "invalid_request_error")
    return {"error": {"message": message, "type": type, "param": None, "code": code}}


def chat_completion(content: Any = None, *, model: str = "gpt-4o-mini",
                    refusal: Optional[str] = None, finish_reason: str = "stop",
                    usage: Any = _AUTO, prompt_tokens: int = DEFAULT_PROMPT_TOKENS,
                    completion_tokens: int = DEFAULT_COMPLETION_TOKENS,
                    id: str = "chatcmpl-fake", created: Optional[int] = None) -> dict:
    """A ``chat.completion`` object. Non-string content is serialised with ``json.dumps``;
    ``usage=None`` leaves the usage member out, a dict is sent as given."""
    if content is not None and not isinstance(content, str):
        content = json.dumps(content)
    body = {
        "id": id,
        "object": "chat.completion",
        "created": int(time.time()) if created is None else created,
        "model": model,
        "choices": [{
            "index": 0,
            "message": {"role": "assistant", "content": content, "refusal": refusal},
            "finish_reason": finish_reason,
            "logprobs": None,
        }],
        "system_fingerprint": None,
    }
    if usage is _AUTO:
        usage = {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens,
                 "total_tokens": prompt_tokens + completion_tokens}
    if usage is not None:
        body["usage"] = usage
    return body


@dataclasses.dataclass
class Reply:
    """One scripted answer; see the module docstring for the fields."""
    content: Any = None
    refusal: Optional[str] = None
    finish_reason: str = "stop"
    usage: Any = _AUTO
    prompt_tokens: int = DEFAULT_PROMPT_TOKENS
    completion_tokens: int = DEFAULT_COMPLETION_TOKENS
    model: Optional[str] = None          # default: echo the request's model
    status: int = 200
    error: Optional[str] = None
    error_type: Optional[str] = None
    error_code: Optional[str] = None
    headers: dict = dataclasses.field(default_factory=dict)
    body: Any = None                     # any JSON object, sent instead of a completion
    raw_body: Optional[bytes] = None     # sent as it is, e.g. invalid JSON
    delay: float = 0.0
    drop: bool = False
    truncate: bool = False

    def __post_init__(self) -> None:
        if self.error is not None and self.status < 400:
            raise ValueError("an error reply needs an HTTP status >= 400")
        if self.status >= 400 and (self.content is not None or self.refusal is not None):
            raise ValueError("an error reply carries no content or refusal")
        if self.body is not None and self.raw_body is not None:
            raise ValueError("give body or raw_body, not both")
        if isinstance(self.raw_body, str):
            self.raw_body = self.raw_body.encode()

    def encode(self, request: "Request", number: int) -> bytes:
        if self.raw_body is not None:
            return self.raw_body
        if self.body is not None:
            return json.dumps(self.body).encode()
        if self.status >= 400:
            message = self.error if self.error is not None else f"error {self.status}"
            return json.dumps(error_body(message, self.status, self.error_type,
                                         self.error_code)).encode()
        model = self.model
        if model is None:
            model = request.body.get("model", "gpt-4o-mini") if isinstance(request.body, dict) \
                else "gpt-4o-mini"
        return json.dumps(chat_completion(
            self.content, model=model, refusal=self.refusal, finish_reason=self.finish_reason,
            usage=self.usage, prompt_tokens=self.prompt_tokens,
            completion_tokens=self.completion_tokens, id=f"chatcmpl-fake-{number}")).encode()


@dataclasses.dataclass
class Request:
    """One request as the server received it (header names lower-case)."""
    method: str
    path: str
    headers: dict
    body: Any                 # parsed JSON, None if the body was not JSON
    time: float               # time.monotonic() at arrival
    raw_body: bytes = b""
    connection: int = 0       # Connection.id it arrived on

    @property
    def schema_name(self) -> Optional[str]:
        try:
            fmt = self.body["response_format"]
            if fmt.get("type") != "json_schema":
                return None
            return fmt["json_schema"]["name"]
        except (KeyError, TypeError, AttributeError):
            return None

    @property
    def messages(self) -> list:
        return self.body.get("messages", []) if isinstance(self.body, dict) else []


@dataclasses.dataclass
class Connection:
    """One accepted TCP connection."""
    id: int
    peer: tuple
    nodelay: bool             # TCP_NODELAY as read back from the socket


Handler = Callable[[Request], Union[dict, Reply]]


class _HTTPServer(LoopbackHTTPServer):
    daemon_threads = True
    request_queue_size = 128   # concurrency tests open many connections at once

    def __init__(self, owner: "FakeOpenAIServer") -> None:
        self.owner = owner
        super().__init__(RequestHandler)

    def connection_opened(self, sock, peer) -> None:
        self.owner._accepted(sock, peer)

    def connection_closed(self, sock) -> None:
        self.owner._forget(sock)

    def handle_error(self, request, client_address) -> None:
        self.owner._handler_error(traceback.format_exc())


class RequestHandler(http.server.BaseHTTPRequestHandler):
    """Hands every request to its server's owner (`owner._serve(handler)`); the other fake
    services use it too."""
    protocol_version = "HTTP/1.1"
    server: _HTTPServer

    def log_message(self, format, *args) -> None:
        pass

    def do_POST(self) -> None:
        self.server.owner._serve(self)

    def do_GET(self) -> None:
        self.server.owner._serve(self)

    def read_body(self) -> bytes:
        if self.headers.get("transfer-encoding", "").lower() == "chunked":
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("content-length") or 0)
        return self.rfile.read(length) if length else b""


class FakeOpenAIServer:
    """Threaded HTTP/1.1 server on 127.0.0.1 answering chat completions from a script."""

    def __init__(self, latency: float = 0.0, keep_requests: bool = True) -> None:
        self.latency = latency
        # Off for long runs: every request kept would be memory the test holds, not the client.
        self.keep_requests = keep_requests
        self._request_total = 0
        self._lock = threading.Lock()
        self._queue: list[Reply] = []
        self._scripts: dict[str, Union[Reply, Handler]] = {}
        self._requests: list[Request] = []
        self._connections: list[Connection] = []
        self._open: dict[socket.socket, int] = {}
        self._errors: list[str] = []
        self._numbers = itertools.count(1)
        self._stopping = threading.Event()
        self._httpd: Optional[_HTTPServer] = None
        self._thread: Optional[threading.Thread] = None

    # -- lifecycle -------------------------------------------------------------------------

    def start(self) -> "FakeOpenAIServer":
        if self._httpd is not None:
            raise RuntimeError("fake OpenAI server already started")
        self._stopping.clear()
        self._httpd = _HTTPServer(self)
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="fake-openai", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        httpd = self._httpd
        if httpd is None:
            return
        self._stopping.set()   # wakes delayed replies
        httpd.shutdown()
        httpd.server_close()
        # Keep-alive connections would otherwise keep handler threads (and clients) waiting.
        # Shut down, not close: the handler thread still owns the descriptor and closes it.
        httpd.close_connections()
        self._thread.join(timeout=5)
        self._httpd = None
        self._thread = None

    def __enter__(self) -> "FakeOpenAIServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("fake OpenAI server not started")
        return self._httpd.server_address[1]

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}/v1"

    # -- scripting -------------------------------------------------------------------------

    def enqueue(self, **reply: Any) -> Reply:
        """Queue the next reply (first in, first out); keywords are those of Reply."""
        item = Reply(**reply)
        with self._lock:
            self._queue.append(item)
        return item

    def script(self, schema_name: str, handler: Optional[Handler] = None, **reply: Any) -> None:
        """Answer every request whose schema name matches, when the queue is empty: with a
        fixed reply (keywords of Reply) or ``handler(request)`` returning such keywords or a
        Reply."""
        if handler is not None and reply:
            raise ValueError("give a handler or reply keywords, not both")
        entry = handler if handler is not None else Reply(**reply)
        with self._lock:
            self._scripts[schema_name] = entry

    def unscript(self, schema_name: str) -> None:
        with self._lock:
            self._scripts.pop(schema_name, None)

    @property
    def pending(self) -> int:
        """Queued replies not yet used."""
        with self._lock:
            return len(self._queue)

    # -- records ---------------------------------------------------------------------------

    @property
    def requests(self) -> list[Request]:
        with self._lock:
            return list(self._requests)

    @property
    def request_count(self) -> int:
        """Requests received, kept or not."""
        with self._lock:
            return self._request_total

    @property
    def request_times(self) -> list[float]:
        with self._lock:
            return [r.time for r in self._requests]

    @property
    def connections(self) -> list[Connection]:
        with self._lock:
            return list(self._connections)

    @property
    def errors(self) -> list[str]:
        """Tracebacks of failures inside the server (reply handlers, I/O)."""
        with self._lock:
            return list(self._errors)

    # -- serving (handler threads) ---------------------------------------------------------

    def _accepted(self, sock: socket.socket, peer: tuple) -> None:
        nodelay = bool(sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
        with self._lock:
            conn = Connection(len(self._connections), peer, nodelay)
            self._connections.append(conn)
            self._open[sock] = conn.id

    def _forget(self, sock: socket.socket) -> None:
        with self._lock:
            self._open.pop(sock, None)

    def _handler_error(self, text: str) -> None:
        if self._stopping.is_set():
            return
        # A client that gave up (time-out, cancelled task) is not a server failure.
        if "ConnectionResetError" in text or "BrokenPipeError" in text:
            return
        with self._lock:
            self._errors.append(text)

    def _serve(self, handler: RequestHandler) -> None:
        arrived = time.monotonic()
        raw = handler.read_body()
        try:
            body = json.loads(raw) if raw else None
        except ValueError:
            body = None
        with self._lock:
            request = Request(handler.command, handler.path,
                              {k.lower(): v for k, v in handler.headers.items()}, body, arrived,
                              raw, self._open.get(handler.connection, -1))
            self._request_total += 1
            if self.keep_requests:
                self._requests.append(request)
        reply = self._choose(request)
        number = next(self._numbers)
        wait = reply.delay + self.latency
        if wait > 0 and self._stopping.wait(wait):
            handler.close_connection = True
            return
        self._send(handler, request, reply, number)

    def _choose(self, request: Request) -> Reply:
        path = request.path.split("?", 1)[0].rstrip("/")
        if request.method != "POST" or not path.endswith("/chat/completions"):
            return self._own_error(404, UNKNOWN_PATH.format(method=request.method, path=request.path))
        if isinstance(request.body, dict) and request.body.get("stream"):
            return self._own_error(400, STREAMING_UNSUPPORTED)
        name = request.schema_name
        with self._lock:
            if self._queue:
                return self._queue.pop(0)
            entry = self._scripts.get(name) if name is not None else None
        if entry is None:
            return self._own_error(500, NOTHING_SCRIPTED.format(name=name))
        if isinstance(entry, Reply):
            return entry
        try:
            made = entry(request)
            return made if isinstance(made, Reply) else Reply(**made)
        except Exception as exc:
            with self._lock:
                self._errors.append(traceback.format_exc())
            return self._own_error(500, HANDLER_FAILED.format(name=name, error=repr(exc)))

    @staticmethod
    def _own_error(status: int, message: str) -> Reply:
        return Reply(status=status, error=message, headers={"x-should-retry": "false"})

    def _send(self, handler: RequestHandler, request: Request, reply: Reply, number: int) -> None:
        if reply.drop:
            handler.close_connection = True
            return
        payload = reply.encode(request, number)
        headers = {"content-type": "application/json", "x-request-id": f"req_fake_{number}"}
        headers.update({k.lower(): str(v) for k, v in reply.headers.items()})
        length = len(payload)
        if reply.truncate:
            payload = payload[: len(payload) // 2]
            handler.close_connection = True
        handler.send_response(reply.status)
        for key, value in headers.items():
            handler.send_header(key, value)
        handler.send_header("content-length", str(length))
        if handler.close_connection:
            handler.send_header("connection", "close")
        handler.end_headers()
        handler.wfile.write(payload)


# -- random faults ---------------------------------------------------------------------------

# Every fault the server can produce. The first four are answered by the client with an
# error; the next three reach the caller as a completion that cannot be used; a reply
# without usage is a good answer the broker has to count itself.
FAULTS = (
    "status",              # an error status, no retry-after
    "status_retry_after",  # 429/503 with a short retry-after
    "timeout",             # an answer later than the client waits
    "drop",                # connection closed without an answer
    "truncate",            # fewer body bytes than Content-Length announces
    "invalid_body",        # a 200 whose body is not JSON
    "schema_mismatch",     # valid JSON content that does not fill the schema
    "length",              # finish_reason "length": the answer was cut off
    "refusal",             # the model refuses
    "no_usage",            # a good answer without usage figures
)

# Statuses the client does not retry, then those it does (408, 409, 429 and 5xx).
_FINAL_STATUSES = (400, 401, 403, 404, 422)
_RETRIED_STATUSES = (408, 409, 429, 500, 502, 503)


class FaultInjector:
    """Answers with ``good(request)`` (content for a Reply) or, with probability
    ``fault_rate``, a fault drawn from ``faults`` (each kind once per ``len(faults)`` faults). ``timeout`` is the client's request
    time-out: the slow answers come half as late again. Draws come from one seeded
    generator; under concurrency the order in which requests draw depends on scheduling,
    the mix of faults does not. ``injected`` counts what was sent, by fault name and "ok"."""

    def __init__(self, good: Callable[[Request], Any], *, seed: int, timeout: float,
                 fault_rate: float = 0.5, faults: tuple = FAULTS) -> None:
        unknown = set(faults) - set(FAULTS)
        if unknown:
            raise ValueError(f"unknown faults: {sorted(unknown)}")
        self.good = good
        self.timeout = timeout
        self.fault_rate = fault_rate
        self.faults = tuple(faults)
        self.injected: collections.Counter = collections.Counter()
        self._rng = random.Random(seed)
        self._bag: list[str] = []
        self._lock = threading.Lock()

    def __call__(self, request: Request) -> Reply:
        with self._lock:
            fault = "ok"
            if self._rng.random() < self.fault_rate:
                # Drawn from a shuffled bag of every fault: any run of faults as long as the
                # list holds each kind.
                if not self._bag:
                    self._bag = list(self.faults)
                    self._rng.shuffle(self._bag)
                fault = self._bag.pop()
            status = self._rng.choice(_FINAL_STATUSES + _RETRIED_STATUSES)
            retry_status = self._rng.choice((429, 503))
            self.injected[fault] += 1
        return self.reply(fault, request, status=status, retry_status=retry_status)

    def reply(self, fault: str, request: Request, *, status: int = 500, retry_status: int = 429) -> Reply:
        """The Reply for one fault (or "ok")."""
        if fault == "ok":
            return Reply(content=self.good(request))
        if fault == "status":
            return Reply(status=status, error=f"injected fault: status {status}")
        if fault == "status_retry_after":
            return Reply(status=retry_status, error=f"injected fault: status {retry_status}",
                         headers={"retry-after": "0.01"})
        if fault == "timeout":
            return Reply(content=self.good(request), delay=self.timeout * 1.5)
        if fault == "drop":
            return Reply(drop=True)
        if fault == "truncate":
            return Reply(content=self.good(request), truncate=True)
        if fault == "invalid_body":
            return Reply(raw_body=b'{"id": "chatcmpl-broken", "choices": [{"index": 0, "mess')
        if fault == "schema_mismatch":
            return Reply(content={"unexpected": True})
        if fault == "length":
            return Reply(content='{"criteria": [{"statement": "cut o', finish_reason="length")
        if fault == "refusal":
            return Reply(refusal="injected fault: I cannot help with that")
        if fault == "no_usage":
            return Reply(content=self.good(request), usage=None)
        raise ValueError(f"unknown fault: {fault!r}")


@pytest.fixture
def fake_openai(monkeypatch):
    """A running FakeOpenAIServer that the openai client finds through the environment."""
    with FakeOpenAIServer() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.base_url)
        monkeypatch.setenv("OPENAI_API_KEY", TEST_API_KEY)
        yield server
