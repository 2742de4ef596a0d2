"""Local stand-ins for the cloud page readers' services, and PDFs whose pages tell apart.

``FakeGemini`` and ``FakeMathpix`` are HTTP/1.1 servers on 127.0.0.1 that check the
credentials and the shape of each request as the services do and answer like them: the
page text, or the service's error body. Replies queued with ``enqueue(status, body,
headers, delay)`` come first (throttling, outages); otherwise a valid request gets the text
``text_for(png)`` makes of its image. ``max_in_flight`` is the most requests that were
being answered at once.

``sized_pages_pdf`` writes blank pages 25 * (8 + n) pixels wide at 150 dpi (page n), so a
stand-in can tell from the image alone which page it was sent: see ``page_text``.
"""

from __future__ import annotations

import base64
import dataclasses
import json
import re
import struct
import threading
import time
from typing import Any, Callable, Optional

from data.make_fixtures import write_pdf
from support.fake_openai import RequestHandler
from tovrane_core.rehearsal import LoopbackHTTPServer

GEMINI_KEY = "gemini-test-key-0123456789"
MATHPIX_ID = "tovrane-test-app"
MATHPIX_KEY = "mathpix-test-key-0123456789"


def png_size(png: bytes) -> tuple[int, int]:
    """Width and height of a PNG, from its header."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    return struct.unpack(">II", png[16:24])


def page_width(page: int) -> int:
    return 25 * (8 + page)


def page_text(png: bytes) -> str:
    """What the stand-ins read on an image: the page of sized_pages_pdf it shows."""
    width, height = png_size(png)
    if height == 300 and width % 25 == 0:
        return f"handwriting of page {width // 25 - 8}\nsecond line"
    return f"a page of {width}x{height} pixels"


def sized_pages_pdf(path, count: int) -> str:
    """Blank pages, page n 12 * (8 + n) points wide and 144 high (25 * (8 + n) by 300
    pixels at 150 dpi)."""
    kids = " ".join(f"{3 + n} 0 R" for n in range(count))
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>",
               f"<< /Type /Pages /Kids [{kids}] /Count {count} >>".encode()]
    for n in range(1, count + 1):
        objects.append(f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 {12 * (8 + n)} 144] "
                       f"/Resources << >> >>".encode())
    write_pdf(path, objects)
    return str(path)


@dataclasses.dataclass
class Request:
    method: str
    path: str
    headers: dict      # names in lower case
    body: Any          # parsed JSON, or None
    png: Optional[bytes] = None   # the page image the request carried


@dataclasses.dataclass
class Answer:
    status: int = 200
    body: Any = None   # JSON object, or bytes sent as they are
    headers: dict = dataclasses.field(default_factory=dict)
    delay: float = 0.0


class _Server(LoopbackHTTPServer):
    daemon_threads = True

    def __init__(self, owner) -> None:
        self.owner = owner
        super().__init__(RequestHandler)


class FakeService:
    """The common part: recording, queued answers, latency, in-flight counting."""

    def __init__(self) -> None:
        self.latency = 0.0
        self.text_for: Callable[[bytes], str] = page_text
        self._lock = threading.Lock()
        self._queue: list[Answer] = []
        self._requests: list[Request] = []
        self._in_flight = 0
        self.max_in_flight = 0
        self._httpd: Optional[_Server] = None

    def __enter__(self):
        self._httpd = _Server(self)
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()
        self._httpd.close_connections()
        self._thread.join(timeout=5)

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._httpd.server_address[1]}"

    def enqueue(self, status: int = 200, body: Any = None, headers: Optional[dict] = None,
                delay: float = 0.0) -> None:
        with self._lock:
            self._queue.append(Answer(status, body, dict(headers or {}), delay))

    @property
    def requests(self) -> list[Request]:
        with self._lock:
            return list(self._requests)

    def answer(self, request: Request) -> Answer:
        raise NotImplementedError

    def _serve(self, handler: _Handler) -> None:
        length = int(handler.headers.get("content-length") or 0)
        raw = handler.rfile.read(length) if length else b""
        try:
            body = json.loads(raw) if raw else None
        except ValueError:
            body = None
        request = Request(handler.command, handler.path,
                          {k.lower(): v for k, v in handler.headers.items()}, body)
        with self._lock:
            self._requests.append(request)
            self._in_flight += 1
            self.max_in_flight = max(self.max_in_flight, self._in_flight)
            queued = self._queue.pop(0) if self._queue else None
        try:
            reply = queued if queued is not None else self.answer(request)
            time.sleep(reply.delay + self.latency)
        finally:
            with self._lock:
                self._in_flight -= 1
        payload = reply.body if isinstance(reply.body, bytes) else json.dumps(reply.body).encode()
        handler.send_response(reply.status)
        handler.send_header("content-type", "application/json")
        for key, value in reply.headers.items():
            handler.send_header(key, str(value))
        handler.send_header("content-length", str(len(payload)))
        handler.end_headers()
        handler.wfile.write(payload)


def gemini_error(status: int, code: str, message: str) -> dict:
    return {"error": {"code": status, "message": message, "status": code}}


class FakeGemini(FakeService):
    """generateContent of the Gemini API (v1 or v1beta, as the SDK's version picks), key in
    x-goog-api-key."""

    def answer(self, request: Request) -> Answer:
        if request.headers.get("x-goog-api-key") != GEMINI_KEY:
            return Answer(400, gemini_error(400, "INVALID_ARGUMENT",
                                            "API key not valid. Please pass a valid API key."))
        match = re.fullmatch(r"/v1(?:beta)?/models/([^/:]+):generateContent", request.path)
        if request.method != "POST" or not match:
            return Answer(404, gemini_error(404, "NOT_FOUND", f"no route for {request.path}"))
        try:
            (content,) = request.body["contents"]
            image = next(p for p in content["parts"] if "inlineData" in p)["inlineData"]
            # The service reads proto JSON, which allows either spelling of a field name.
            assert image.get("mimeType", image.get("mime_type")) == "image/png"
            # Proto JSON bytes: standard or URL-safe base64.
            request.png = base64.b64decode(image["data"].replace("-", "+").replace("_", "/"), validate=True)
        except Exception as error:  # the service's answer to a malformed request
            return Answer(400, gemini_error(400, "INVALID_ARGUMENT", f"bad request: {error!r}"))
        return Answer(200, {
            "candidates": [{"content": {"parts": [{"text": self.text_for(request.png)}], "role": "model"},
                            "finishReason": "STOP", "index": 0}],
            "usageMetadata": {"promptTokenCount": 270, "candidatesTokenCount": 9, "totalTokenCount": 279},
            "modelVersion": match.group(1),
        })


def mathpix_error(error_id: str, message: str) -> dict:
    return {"error": message, "error_info": {"id": error_id, "message": message}}


class FakeMathpix(FakeService):
    """POST v3/text with app_id and app_key headers and the image as a data URL."""

    def answer(self, request: Request) -> Answer:
        if (request.headers.get("app_id"), request.headers.get("app_key")) != (MATHPIX_ID, MATHPIX_KEY):
            return Answer(401, mathpix_error("http_unauthorized", "Invalid credentials"))
        if request.method != "POST" or request.path != "/v3/text":
            return Answer(404, mathpix_error("http_not_found", f"no route for {request.path}"))
        src = (request.body or {}).get("src", "")
        prefix = "data:image/png;base64,"
        if not src.startswith(prefix):
            return Answer(200, mathpix_error("image_download_error", "Cannot download image"))
        request.png = base64.b64decode(src[len(prefix):], validate=True)
        return Answer(200, {"request_id": f"2026_12_08_{len(self.requests)}", "version": "RSK-M130",
                            "text": self.text_for(request.png), "confidence": 0.98,
                            "confidence_rate": 0.99, "is_printed": False, "is_handwritten": True})


class FakeTextract:
    """Amazon Textract DetectDocumentText inside moto's in-process mock, answering per image.

    moto answers every request with the same canned blocks; this stand-in replaces its
    handler so that each page gets LINE blocks (and their WORD blocks) made by
    ``text_for(png)``, and faults can be queued: ``enqueue(code, message, status)``.
    """

    def __init__(self) -> None:
        self.latency = 0.0
        self.text_for: Callable[[bytes], str] = page_text
        self._lock = threading.Lock()
        self._queue: list[tuple[str, str, int]] = []
        self._requests: list[Request] = []
        self._in_flight = 0
        self.max_in_flight = 0

    @property
    def requests(self) -> list[Request]:
        with self._lock:
            return list(self._requests)

    def enqueue(self, code: str, message: str, status: int = 400) -> None:
        with self._lock:
            self._queue.append((code, message, status))

    def handler(self):
        from moto.core.exceptions import JsonRESTError

        fake = self

        def detect_document_text(response) -> str:
            body = json.loads(response.body)
            request = Request("POST", "/", {k.lower(): v for k, v in response.headers.items()}, body,
                              base64.b64decode(body["Document"]["Bytes"], validate=True))
            with fake._lock:
                fake._requests.append(request)
                fake._in_flight += 1
                fake.max_in_flight = max(fake.max_in_flight, fake._in_flight)
                fault = fake._queue.pop(0) if fake._queue else None
            try:
                time.sleep(fake.latency)
            finally:
                with fake._lock:
                    fake._in_flight -= 1
            if fault is not None:
                code, message, status = fault
                error = JsonRESTError(code, message)
                error.code = status
                raise error
            blocks = [{"BlockType": "PAGE", "Id": "page", "Confidence": 99.9}]
            for number, line in enumerate(fake.text_for(request.png).split("\n")):
                blocks.append({"BlockType": "LINE", "Id": f"line-{number}", "Text": line, "Confidence": 99.0})
                for word_number, word in enumerate(line.split()):
                    blocks.append({"BlockType": "WORD", "Id": f"word-{number}-{word_number}", "Text": word,
                                   "TextType": "HANDWRITING", "Confidence": 98.0})
            return json.dumps({"DocumentMetadata": {"Pages": 1}, "Blocks": blocks,
                               "DetectDocumentTextModelVersion": "1.0"})

        return detect_document_text


AWS_KEY_ID = "AKIATOVRANETEST0001"
AWS_SECRET = "tovrane-aws-secret-test-key-0123456789"

# What each back end needs: the module it imports, the extra that installs it, the
# environment holding its credentials.
BACK_ENDS = {
    "aws": {"module": "boto3", "package": "boto3", "extra": "aws",
            "credentials": {"AWS_ACCESS_KEY_ID": AWS_KEY_ID, "AWS_SECRET_ACCESS_KEY": AWS_SECRET}},
    "gemini": {"module": "google.genai", "package": "google-genai", "extra": "gemini",
               "credentials": {"GEMINI_API_KEY": GEMINI_KEY}},
    "mathpix": {"module": "httpx", "package": "httpx", "extra": "mathpix",
                "credentials": {"MATHPIX_APP_ID": MATHPIX_ID, "MATHPIX_APP_KEY": MATHPIX_KEY}},
}


class Stand:
    """A running stand-in for one back end, found by the extractor through the environment."""

    def __init__(self, kind: str, fake) -> None:
        self.kind = kind
        self.fake = fake

    @property
    def pngs(self) -> list[bytes]:
        return [r.png for r in self.fake.requests if r.png is not None]

    def throttle(self) -> None:
        """Queue one throttling answer, as the service gives it."""
        if self.kind == "aws":
            self.fake.enqueue("ThrottlingException", "Rate exceeded")
        elif self.kind == "gemini":
            self.fake.enqueue(429, gemini_error(429, "RESOURCE_EXHAUSTED", "Resource has been exhausted"),
                              {"retry-after": "0"})
        else:
            self.fake.enqueue(429, mathpix_error("too_many_requests", "Too many requests"), {"retry-after": "0"})


def isolate_aws(monkeypatch, tmp_path) -> None:
    """No profile, shared file or instance metadata can lend this machine credentials."""
    for name in ("AWS_PROFILE", "AWS_DEFAULT_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL",
                 "AWS_ENDPOINT_URL_TEXTRACT", "AWS_DEFAULT_REGION", "AWS_REGION"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("AWS_CONFIG_FILE", str(tmp_path / "no-aws-config"))
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(tmp_path / "no-aws-credentials"))
    monkeypatch.setenv("AWS_EC2_METADATA_DISABLED", "true")


def clear_credentials(monkeypatch) -> None:
    for entry in BACK_ENDS.values():
        for name in entry["credentials"]:
            monkeypatch.delenv(name, raising=False)
    for name in ("GOOGLE_API_KEY", "TOVRANE_GEMINI_MODEL", "TOVRANE_GEMINI_BASE_URL", "TOVRANE_MATHPIX_BASE_URL",
                 "TOVRANE_OCR_TEXT_LAYER", "TOVRANE_EXTRACTOR"):
        monkeypatch.delenv(name, raising=False)


def start_stand(kind: str, monkeypatch, tmp_path, stack) -> Stand:
    """Starts the stand-in for `kind` on `stack` (a contextlib.ExitStack) and points the
    environment at it with valid credentials."""
    clear_credentials(monkeypatch)
    isolate_aws(monkeypatch, tmp_path)
    credentials = BACK_ENDS[kind]["credentials"]
    for name, value in credentials.items():
        monkeypatch.setenv(name, value)
    if kind == "aws":
        from moto import mock_aws
        from moto.textract.responses import TextractResponse

        fake = FakeTextract()
        # moto puts its own dummy keys in the environment (replaced below) and, leaving,
        # restores the ones it found: the test may have removed them meanwhile.
        stack.enter_context(mock_aws())
        monkeypatch.setattr(TextractResponse, "detect_document_text", fake.handler())
    elif kind == "gemini":
        fake = stack.enter_context(FakeGemini())
        monkeypatch.setenv("TOVRANE_GEMINI_BASE_URL", fake.base_url)
    else:
        fake = stack.enter_context(FakeMathpix())
        monkeypatch.setenv("TOVRANE_MATHPIX_BASE_URL", fake.base_url)
    for name, value in credentials.items():
        monkeypatch.setenv(name, value)
    return Stand(kind, fake)
