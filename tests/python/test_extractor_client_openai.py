"""The "openai" back end against the fake chat-completions server."""
import base64
import struct
import threading
import _thread

import openai
import pytest

from conftest import ROOT, SAMPLES
from support.fake_openai import TEST_API_KEY
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

DATA = ROOT / "tests" / "data"
SHEET_SCAN = SAMPLES / "social_class7" / "social_class7_sheet_arjun.scan150.pdf"
INSTRUCTION = (DATA / "golden" / "openai_instruction.txt").read_text(encoding="utf-8")


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    for name in ("TOVRANE_OCR_MODEL", "TOVRANE_OCR_TEXT_LAYER"):
        monkeypatch.delenv(name, raising=False)


def openai_client(**kwargs):
    return ExtractorClient(extractor_type="openai", **kwargs)


def png_of(request):
    """The PNG bytes of the request's image part, after checking the message layout."""
    (message,) = request.messages
    assert message["role"] == "user"
    text, image = message["content"]
    assert text == {"type": "text", "text": INSTRUCTION}
    assert image["type"] == "image_url" and image["image_url"]["detail"] == "high"
    url = image["image_url"]["url"]
    prefix = "data:image/png;base64,"
    assert url.startswith(prefix)
    return base64.b64decode(url[len(prefix):], validate=True)


def test_pages_sent_as_images_and_answers_returned_per_page(fake_openai):
    fake_openai.enqueue(content="text of page two")
    fake_openai.enqueue(content="text of page one")
    # One worker: requests go out in the requested page order.
    pages = openai_client(max_workers=1).process_pdf(str(SHEET_SCAN), [2, 1])
    assert pages == {2: "text of page two", 1: "text of page one"}
    assert fake_openai.request_count == 2
    for request in fake_openai.requests:
        assert request.body["model"] == "gpt-5-mini-2025-08-07"
        assert request.headers["authorization"] == f"Bearer {TEST_API_KEY}"
        png = png_of(request)
        assert png[:8] == b"\x89PNG\r\n\x1a\n"
        width, height, depth, color = struct.unpack(">IIBB", png[16:26])
        assert (width, height, depth, color) == (1241, 1754, 8, 0)  # A4 at 150 dpi, 8-bit gray


def test_text_layer_pages_are_not_sent(fake_openai):
    for _ in range(3):
        fake_openai.enqueue(content="read by the model")
    pages = openai_client().process_pdf(str(DATA / "mixed.pdf"), None)
    assert pages[1].lstrip().startswith("KESTREL VALLEY PUBLIC SCHOOL")
    assert [pages[n] for n in (2, 3, 4)] == ["read by the model"] * 3
    assert fake_openai.request_count == 3


def test_model_and_key_from_settings(fake_openai, monkeypatch):
    monkeypatch.setenv("TOVRANE_OCR_MODEL", "vision-test-model")
    fake_openai.enqueue(content="x")
    openai_client(api_key="sk-from-argument").process_pdf(str(SHEET_SCAN), [1])
    request = fake_openai.requests[-1]
    assert request.body["model"] == "vision-test-model"
    assert request.headers["authorization"] == "Bearer sk-from-argument"


def test_missing_key_names_the_variable(fake_openai, monkeypatch):
    monkeypatch.delenv("OPENAI_API_KEY")
    client = openai_client()
    with pytest.raises(RuntimeError) as caught:
        client.process_pdf(str(SHEET_SCAN), [1])
    assert str(caught.value) == (
        "The 'openai' extractor needs an OpenAI API key: pass api_key or set OPENAI_API_KEY")
    assert fake_openai.request_count == 0
    # Text layers need no key at all.
    assert list(client.process_pdf(str(DATA / "many_pages.pdf"), [7])) == [7]


def test_client_created_at_first_use_and_replaceable(fake_openai):
    client = openai_client()
    assert not hasattr(client, "_openai_client")
    fake_openai.enqueue(content="first")
    client.process_pdf(str(SHEET_SCAN), [1])
    made = client._openai_client
    fake_openai.enqueue(content="second")
    client.process_pdf(str(SHEET_SCAN), [1])
    assert client._openai_client is made

    class Recorder:
        def __init__(self):
            self.calls = []
            self.chat = self
            self.completions = self

        def create(self, **kwargs):
            self.calls.append(kwargs)
            message = type("Message", (), {"content": "from the injected client"})
            return type("Response", (), {"choices": [type("Choice", (), {"message": message})]})

    client._openai_client = Recorder()
    assert client.process_pdf(str(SHEET_SCAN), [2]) == {2: "from the injected client"}
    assert client._openai_client.calls[0]["model"] == "gpt-5-mini-2025-08-07"
    assert fake_openai.request_count == 2


def test_service_error_names_the_page(fake_openai):
    fake_openai.enqueue(status=400, error="image too small")
    with pytest.raises(RuntimeError) as caught:
        openai_client(max_workers=1).process_pdf(str(SHEET_SCAN), [2])
    assert str(caught.value).startswith("OpenAI OCR of page 2 failed: ")
    assert "image too small" in str(caught.value)
    assert type(caught.value.__cause__).__name__ == "BadRequestError"


def test_refusal_is_an_error_not_an_empty_page(fake_openai):
    fake_openai.enqueue(refusal="I cannot help with that")
    with pytest.raises(RuntimeError, match=r"^OpenAI OCR of page 1 returned no text$"):
        openai_client().process_pdf(str(SHEET_SCAN), [1])


def test_pages_requested_concurrently(fake_openai):
    fake_openai.latency = 1.0
    for _ in range(2):
        fake_openai.enqueue(content="page")
    openai_client(max_workers=2).process_pdf(str(SHEET_SCAN), None)
    first, second = sorted(fake_openai.request_times)
    # The second request went out while the first was still waiting for its answer.
    assert second - first < 1.0


def test_ctrl_c_stops_the_remaining_pages(fake_openai):
    fake_openai.latency = 0.3
    for _ in range(20):
        fake_openai.enqueue(content="page")
    arrived = threading.Event()
    timer = threading.Thread(target=lambda: (arrived.wait(10), _thread.interrupt_main()))

    class FirstRequestWatcher:
        # Signals the timer once a request is on its way.
        def __init__(self, real):
            self.real = real

        def create(self, **kwargs):
            arrived.set()
            return self.real.chat.completions.create(**kwargs)

    client = openai_client(max_workers=1, use_text_layer=False)
    watcher = FirstRequestWatcher(openai.OpenAI())
    watcher.chat = watcher.completions = watcher
    client._openai_client = watcher
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        client.process_pdf(str(DATA / "many_pages.pdf"), list(range(1, 21)))
    timer.join()
    assert fake_openai.request_count < 20
