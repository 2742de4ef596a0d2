"""Each cloud back end's own request and answers, against its local stand-in: Textract in
moto's mock, Gemini and Mathpix as HTTP servers on 127.0.0.1."""
import contextlib
import re
import sys
import time

import pytest

from conftest import ROOT, SAMPLES
from support import cloud_fakes as fakes
from support.cloud_fakes import gemini_error, mathpix_error, sized_pages_pdf, start_stand
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

SHEET_SCAN = SAMPLES / "social_class7" / "social_class7_sheet_arjun.scan150.pdf"
GEMINI_INSTRUCTION = (ROOT / "tests" / "data" / "golden" / "gemini_instruction.txt").read_text(encoding="utf-8")


@pytest.fixture
def stands(monkeypatch, tmp_path):
    """start(kind) runs that back end's stand-in for the rest of the test."""
    with contextlib.ExitStack() as stack:
        yield lambda kind: start_stand(kind, monkeypatch, tmp_path, stack)


@pytest.fixture
def one_page(tmp_path):
    return sized_pages_pdf(tmp_path / "one.pdf", 1)


PAGE_ONE = {1: "handwriting of page 1\nsecond line"}

# --- aws ------------------------------------------------------------------------------------


def test_textract_request_is_signed_for_the_region_and_keeps_line_blocks(stands, monkeypatch, one_page):
    stand = stands("aws")
    monkeypatch.setenv("AWS_SESSION_TOKEN", "session-token-for-test")
    client = ExtractorClient(extractor_type="aws", region="ap-south-1")
    assert client.process_pdf(one_page, None) == PAGE_ONE  # WORD blocks do not repeat the words
    (request,) = stand.fake.requests
    assert request.headers["x-amz-target"] == "Textract.DetectDocumentText"
    assert f"Credential={fakes.AWS_KEY_ID}/" in request.headers["authorization"]
    assert "/ap-south-1/textract/aws4_request" in request.headers["authorization"]
    assert request.headers["x-amz-security-token"] == "session-token-for-test"
    assert list(request.body) == ["Document"] and list(request.body["Document"]) == ["Bytes"]


@pytest.mark.parametrize("code, message, status", [
    ("DocumentTooLargeException", "S3 object size 11534336 is more than the maximum limit 10485760", 400),
    ("AccessDeniedException", "User is not authorized to perform: textract:DetectDocumentText", 403),
])
def test_textract_refusals(stands, one_page, code, message, status):
    stand = stands("aws")
    stand.fake.enqueue(code, message, status)
    with pytest.raises(RuntimeError) as caught:
        ExtractorClient(extractor_type="aws").process_pdf(one_page, [1])
    assert str(caught.value) == f"AWS Textract OCR of page 1 failed: HTTP {status}: {code}: {message}"
    assert len(stand.fake.requests) == 1


def test_textract_outage_is_retried_with_back_off(stands, one_page):
    stand = stands("aws")
    stand.fake.enqueue("InternalServerError", "Internal server error", 500)
    started = time.monotonic()
    assert ExtractorClient(extractor_type="aws").process_pdf(one_page, [1]) == PAGE_ONE
    assert len(stand.fake.requests) == 2
    assert time.monotonic() - started >= 0.9  # the first back-off is one second


def test_hidden_boto3_spares_the_other_back_ends(stands, monkeypatch, one_page):
    stands("gemini")
    monkeypatch.setitem(sys.modules, "boto3", None)
    client = ExtractorClient(extractor_type="aws")
    with pytest.raises(RuntimeError, match=r"needs the Python package boto3"):
        client.process_pdf(one_page, [1])
    client.change_extractor("gemini")
    assert client.process_pdf(one_page, [1]) == PAGE_ONE


# --- gemini ---------------------------------------------------------------------------------


def test_gemini_request_carries_key_model_image_and_instruction(stands, one_page):
    stand = stands("gemini")
    assert ExtractorClient(extractor_type="gemini").process_pdf(one_page, [1]) == PAGE_ONE
    (request,) = stand.fake.requests
    assert re.fullmatch(r"/v1(beta)?/models/gemini-2\.5-flash:generateContent", request.path)
    assert request.headers["x-goog-api-key"] == fakes.GEMINI_KEY
    (content,) = request.body["contents"]
    image, instruction = content["parts"]
    inline = image["inlineData"]
    assert inline.get("mimeType", inline.get("mime_type")) == "image/png"
    assert instruction == {"text": GEMINI_INSTRUCTION}
    assert request.body["generationConfig"]["temperature"] == 0.0


def test_gemini_model_from_variable_and_key_from_argument(stands, monkeypatch, one_page):
    stand = stands("gemini")
    monkeypatch.setenv("TOVRANE_GEMINI_MODEL", "gemini-test-model")
    monkeypatch.setenv("GEMINI_API_KEY", "not-the-one-used")
    client = ExtractorClient(extractor_type="gemini", api_key=fakes.GEMINI_KEY)
    assert client.process_pdf(one_page, [1]) == PAGE_ONE
    assert stand.fake.requests[0].path.endswith("/models/gemini-test-model:generateContent")


def test_a_key_given_for_one_service_never_goes_to_another(stands, monkeypatch, one_page):
    stand = stands("gemini")
    monkeypatch.delenv("GEMINI_API_KEY")
    client = ExtractorClient(extractor_type="openai", api_key="sk-openai-secret-key")
    client.change_extractor("gemini")
    with pytest.raises(RuntimeError, match="needs a Gemini API key"):
        client.process_pdf(one_page, [1])
    assert stand.fake.requests == []
    monkeypatch.setenv("GEMINI_API_KEY", fakes.GEMINI_KEY)
    assert client.process_pdf(one_page, [1]) == PAGE_ONE
    assert stand.fake.requests[0].headers["x-goog-api-key"] == fakes.GEMINI_KEY


def test_gemini_gives_up_after_bounded_retries(stands, one_page):
    stand = stands("gemini")
    for _ in range(5):
        stand.throttle()
    with pytest.raises(RuntimeError) as caught:
        ExtractorClient(extractor_type="gemini").process_pdf(one_page, [1])
    assert str(caught.value) == ("Gemini OCR of page 1 failed after 4 attempts: HTTP 429: "
                                 "RESOURCE_EXHAUSTED: Resource has been exhausted")
    assert len(stand.fake.requests) == 4


def test_gemini_message_echoing_the_key_is_blanked(stands, one_page):
    stand = stands("gemini")
    stand.fake.enqueue(403, gemini_error(403, "PERMISSION_DENIED", f"key {fakes.GEMINI_KEY} is suspended"))
    with pytest.raises(RuntimeError) as caught:
        ExtractorClient(extractor_type="gemini").process_pdf(one_page, [1])
    assert str(caught.value) == "Gemini OCR of page 1 failed: HTTP 403: PERMISSION_DENIED: key *** is suspended"


@pytest.mark.parametrize("answer, outcome", [
    ({"candidates": [{"content": {"role": "model", "parts": []}, "finishReason": "STOP"}]}, ""),
    ({"promptFeedback": {"blockReason": "PROHIBITED_CONTENT"}}, "Gemini returned no text (PROHIBITED_CONTENT)"),
    ({"candidates": [{"content": {"role": "model"}, "finishReason": "RECITATION"}]},
     "Gemini returned no text (RECITATION)"),
])
def test_gemini_answer_without_text(stands, one_page, answer, outcome):
    stand = stands("gemini")
    stand.fake.enqueue(200, answer)
    client = ExtractorClient(extractor_type="gemini")
    if outcome == "":
        assert client.process_pdf(one_page, [1]) == {1: ""}  # a blank page
    else:
        with pytest.raises(RuntimeError) as caught:
            client.process_pdf(one_page, [1])
        assert str(caught.value) == f"Gemini OCR of page 1 failed: {outcome}"


def test_failed_page_ends_another_page_back_off(stands, tmp_path):
    stand = stands("gemini")
    stand.fake.enqueue(429, gemini_error(429, "RESOURCE_EXHAUSTED", "slow down"), {"retry-after": "25"})
    stand.fake.enqueue(401, gemini_error(401, "UNAUTHENTICATED", "key expired"), delay=0.5)
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=r"HTTP 401: UNAUTHENTICATED: key expired$"):
        ExtractorClient(extractor_type="gemini", max_workers=2).process_pdf(
            sized_pages_pdf(tmp_path / "two.pdf", 2), None)
    assert time.monotonic() - started < 10


# --- mathpix --------------------------------------------------------------------------------


def test_mathpix_request_is_the_documented_v3_text(stands, monkeypatch, one_page):
    stand = stands("mathpix")
    monkeypatch.setenv("TOVRANE_MATHPIX_BASE_URL", stand.fake.base_url + "/")
    assert ExtractorClient(extractor_type="mathpix").process_pdf(one_page, [1]) == PAGE_ONE
    (request,) = stand.fake.requests
    assert (request.method, request.path) == ("POST", "/v3/text")
    assert (request.headers["app_id"], request.headers["app_key"]) == (fakes.MATHPIX_ID, fakes.MATHPIX_KEY)
    body = dict(request.body)
    assert re.fullmatch(r"data:image/png;base64,[A-Za-z0-9+/]+=*", body.pop("src"))
    assert body == {"formats": ["text"], "rm_spaces": True, "math_inline_delimiters": ["$", "$"],
                    "math_display_delimiters": ["$$", "$$"]}


def test_mathpix_credentials_from_arguments(stands, monkeypatch, one_page):
    stand = stands("mathpix")
    monkeypatch.setenv("MATHPIX_APP_KEY", "stale-key")
    client = ExtractorClient(extractor_type="mathpix", app_id=fakes.MATHPIX_ID, app_key=fakes.MATHPIX_KEY)
    assert client.process_pdf(one_page, [1]) == PAGE_ONE
    assert stand.fake.requests[0].headers["app_key"] == fakes.MATHPIX_KEY


@pytest.mark.parametrize("status, body, headers, expected", [
    (200, mathpix_error("image_no_content", "Content not found"), {}, {1: ""}),
    (200, mathpix_error("image_max_size", "Image is too large to process"), {},
     "Mathpix OCR of page 1 failed: image_max_size: Image is too large to process"),
    (400, b"<html>Bad Gateway</html>", {},
     "Mathpix OCR of page 1 failed: HTTP 400: the answer is not JSON: <html>Bad Gateway</html>"),
    (503, mathpix_error("sys_exception", "Server overloaded"), {"retry-after": "0"}, {1: "retried"}),
])
def test_mathpix_answers(stands, one_page, status, body, headers, expected):
    stand = stands("mathpix")
    stand.fake.enqueue(status, body, headers)
    stand.fake.text_for = lambda png: "retried"
    client = ExtractorClient(extractor_type="mathpix")
    if isinstance(expected, dict):
        assert client.process_pdf(one_page, [1]) == expected
    else:
        with pytest.raises(RuntimeError) as caught:
            client.process_pdf(one_page, [1])
        assert str(caught.value) == expected


def test_mathpix_unreachable_names_the_address(stands, monkeypatch, one_page):
    stands("mathpix")
    monkeypatch.setenv("TOVRANE_MATHPIX_BASE_URL", "http://127.0.0.1:9")
    with pytest.raises(RuntimeError) as caught:
        ExtractorClient(extractor_type="mathpix").process_pdf(one_page, [1])
    assert str(caught.value).startswith(
        "Mathpix OCR of page 1 failed: no answer from http://127.0.0.1:9/v3/text: ")
    assert fakes.MATHPIX_KEY not in str(caught.value)
