"""Offline rehearsal: a stand-in for the language model on 127.0.0.1.

It speaks the chat-completions protocol that the official ``openai`` client uses, so the
broker, its accounting and its usage log run unchanged::

    with RehearsalServer() as server:
        os.environ["OPENAI_BASE_URL"] = server.base_url
        os.environ.setdefault("OPENAI_API_KEY", "rehearsal")   # any key is accepted
        ...

Answers come from deterministic text rules (compiled, in ``tovrane_core._rehearsal``); no
language model is involved, and ``REHEARSAL_NOTICE`` says so for the first line of a run.
Replies carry no ``usage`` block: the broker then counts the request and the answer with its
own tokenizer, the same estimate it makes for any service that reports no usage.
"""

from __future__ import annotations

import http.server
import itertools
import json
import socket
import socketserver
import threading
import time
from typing import Any, Optional

from tovrane_core import _rehearsal

__all__ = ["RehearsalServer", "REHEARSAL_NOTICE"]

REHEARSAL_NOTICE: str = _rehearsal.NOTICE


class RehearsalServer:
    """Threaded HTTP/1.1 server on a free loopback port answering ``POST .../chat/completions``.

    ``start()`` / ``stop()`` or a ``with`` block; ``base_url`` is what ``OPENAI_BASE_URL``
    takes. Stopping closes every connection and joins every thread it started.
    """

    def __init__(self) -> None:
        self._httpd: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None

    def start(self) -> "RehearsalServer":
        if self._httpd is not None:
            raise RuntimeError("rehearsal server already started")
        self._httpd = _Server()
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="tovrane-rehearsal", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        httpd, thread = self._httpd, self._thread
        if httpd is None:
            return
        self._httpd = self._thread = None
        httpd.shutdown()
        httpd.close_connections()
        httpd.server_close()  # joins the connection threads
        thread.join()

    def __enter__(self) -> "RehearsalServer":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    @property
    def base_url(self) -> str:
        if self._httpd is None:
            raise RuntimeError("rehearsal server not started")
        return f"http://127.0.0.1:{self._httpd.server_address[1]}/v1"


class LoopbackHTTPServer(http.server.ThreadingHTTPServer):
    """A ThreadingHTTPServer on a free port of 127.0.0.1 that replies without Nagle delays
    and can end the connections it holds open. Subclasses may watch connections come and go
    through ``connection_opened`` and ``connection_closed``."""

    def __init__(self, handler_class: type) -> None:
        self._connections_lock = threading.Lock()
        self._connections: set = set()
        super().__init__(("127.0.0.1", 0), handler_class)

    def server_bind(self) -> None:
        # HTTPServer.server_bind looks the host name up, which can stall without DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def get_request(self):
        sock, peer = super().get_request()
        # Headers and body go out in separate writes; with keep-alive, Nagle would hold
        # the body back until the client's delayed ACK.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with self._connections_lock:
            self._connections.add(sock)
        self.connection_opened(sock, peer)
        return sock, peer

    def shutdown_request(self, request) -> None:
        with self._connections_lock:
            self._connections.discard(request)
        self.connection_closed(request)
        super().shutdown_request(request)

    def close_connections(self) -> None:
        """Ends idle keep-alive connections so their threads finish; each thread closes its socket."""
        with self._connections_lock:
            sockets = list(self._connections)
        for sock in sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def connection_opened(self, sock: socket.socket, peer: tuple) -> None:
        pass

    def connection_closed(self, sock: socket.socket) -> None:
        pass


class _Server(LoopbackHTTPServer):
    daemon_threads = False      # server_close() joins them: nothing outlives stop()
    block_on_close = True
    request_queue_size = 64

    def __init__(self) -> None:
        self._numbers = itertools.count(1)
        self._numbers_lock = threading.Lock()
        super().__init__(_Handler)

    def next_number(self) -> int:
        with self._numbers_lock:
            return next(self._numbers)

    def handle_error(self, request, client_address) -> None:
        pass  # a client that went away mid-reply is no fault of ours


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: _Server

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def do_GET(self) -> None:
        self._error(404, f"rehearsal model: no route for GET {self.path}")

    def do_POST(self) -> None:
        length = int(self.headers.get("content-length") or 0)
        raw = self.rfile.read(length) if length else b""
        if not self.path.split("?", 1)[0].rstrip("/").endswith("/chat/completions"):
            return self._error(404, f"rehearsal model: no route for POST {self.path}")
        try:
            body = json.loads(raw)
            if body.get("stream"):
                return self._error(400, "rehearsal model: streaming replies are not supported")
            schema = (body.get("response_format") or {}).get("json_schema", {}).get("name", "")
            messages = [(m.get("role", ""), _text_of(m.get("content"))) for m in body.get("messages", [])]
        except (ValueError, AttributeError, TypeError):
            return self._error(400, "rehearsal model: the request body is not a chat completion request")
        try:
            content = _rehearsal.answer(schema, messages)
        except ValueError as err:
            return self._error(400, str(err))
        number = self.server.next_number()
        self._send(200, {
            "id": f"chatcmpl-rehearsal-{number}",
            "object": "chat.completion",
            "created": int(time.time()),
            "model": body.get("model") or "rehearsal",
            "choices": [{
                "index": 0,
                "message": {"role": "assistant", "content": content, "refusal": None},
                "finish_reason": "stop",
                "logprobs": None,
            }],
            "system_fingerprint": "tovrane-rehearsal",
        })

    def _error(self, status: int, message: str) -> None:
        self._send(status, {"error": {"message": message, "type": "invalid_request_error",
                                      "param": None, "code": None}})

    def _send(self, status: int, body: dict) -> None:
        payload = json.dumps(body).encode("ascii")
        self.send_response(status)
        self.send_header("content-type", "application/json")
        self.send_header("content-length", str(len(payload)))
        if status >= 400:
            self.send_header("x-should-retry", "false")
        self.end_headers()
        self.wfile.write(payload)


def _text_of(content: Any) -> str:
    """A message's content: a text, or the texts of its content parts."""
    if content is None:
        return ""
    if isinstance(content, str):
        return content
    return "".join(part.get("text", "") for part in content if isinstance(part, dict))
