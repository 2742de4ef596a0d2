"""The cloud back ends ("aws", "gemini", "mathpix") against their local stand-ins: what they
share — pages asked and their order, concurrency, throttling, missing SDKs and credentials."""
import _thread
import contextlib
import sys
import threading
import time

import pytest

from conftest import ROOT, SAMPLES
from support.cloud_fakes import BACK_ENDS, page_text, page_width, png_size, sized_pages_pdf, start_stand
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

DATA = ROOT / "tests" / "data"
SHEET_SCAN = SAMPLES / "social_class7" / "social_class7_sheet_arjun.scan150.pdf"
SERVICE = {"aws": "AWS Textract", "gemini": "Gemini", "mathpix": "Mathpix"}


@pytest.fixture(params=sorted(BACK_ENDS))
def stand(request, monkeypatch, tmp_path):
    with contextlib.ExitStack() as stack:
        yield start_stand(request.param, monkeypatch, tmp_path, stack)


def client_for(stand, **kwargs):
    return ExtractorClient(extractor_type=stand.kind, region="eu-west-1", **kwargs)


def test_scanned_sheet_gives_the_stand_in_text_for_exactly_the_asked_pages(stand):
    pages = client_for(stand, max_workers=1).process_pdf(str(SHEET_SCAN), [2, 1])
    assert list(pages) == [2, 1]
    assert pages == {2: "a page of 1241x1754 pixels", 1: "a page of 1241x1754 pixels"}
    # One request per page, each an A4 page rendered at 150 dpi in 8-bit gray.
    assert len(stand.pngs) == 2
    for png in stand.pngs:
        assert png_size(png) == (1241, 1754) and png[24:26] == b"\x08\x00"


def test_pages_read_concurrently_within_max_workers_and_kept_in_order(stand, tmp_path):
    pdf = sized_pages_pdf(tmp_path / "sized.pdf", 6)
    stand.fake.latency = 0.4
    pages = client_for(stand, max_workers=3).process_pdf(pdf, [5, 1, 6, 3])
    assert list(pages) == [5, 1, 6, 3]
    assert pages == {n: f"handwriting of page {n}\nsecond line" for n in (5, 1, 6, 3)}
    assert sorted(png_size(png)[0] for png in stand.pngs) == sorted(page_width(n) for n in (5, 1, 6, 3))
    assert 2 <= stand.fake.max_in_flight <= 3  # several at once, never more than asked


def test_throttled_page_is_asked_again(stand, tmp_path):
    pdf = sized_pages_pdf(tmp_path / "sized.pdf", 1)
    stand.throttle()
    assert client_for(stand).process_pdf(pdf, [1]) == {1: "handwriting of page 1\nsecond line"}
    assert len(stand.fake.requests) == 2


def test_missing_sdk_names_the_extra_to_install(stand, monkeypatch):
    entry = BACK_ENDS[stand.kind]
    monkeypatch.setitem(sys.modules, entry["module"], None)
    client = client_for(stand)
    with pytest.raises(RuntimeError) as caught:
        client.process_pdf(str(SHEET_SCAN), [1])
    assert str(caught.value) == (
        f"The '{stand.kind}' extractor needs the Python package {entry['package']}: "
        f"pip install \"tovrane_core[{entry['extra']}]\" (or \"tovrane_core[cloud]\" for every cloud reader)")
    assert isinstance(caught.value.__cause__, ImportError)
    assert stand.fake.requests == []
    # Pages with a text layer need no reader at all.
    assert list(client.process_pdf(str(DATA / "many_pages.pdf"), [7])) == [7]


MISSING = {
    "aws": "The 'aws' extractor needs AWS credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY "
           "(or configure an AWS profile)",
    "gemini": "The 'gemini' extractor needs a Gemini API key: pass api_key or set GEMINI_API_KEY",
    "mathpix": "The 'mathpix' extractor needs Mathpix credentials: pass app_id and app_key or set "
               "MATHPIX_APP_ID and MATHPIX_APP_KEY",
}


@pytest.mark.parametrize("partial", [False, True], ids=["none set", "secret empty"])
def test_missing_credentials_name_the_variables(stand, monkeypatch, partial):
    names = list(BACK_ENDS[stand.kind]["credentials"])
    if partial:
        monkeypatch.setenv(names[-1], "")  # empty counts as unset
    else:
        for name in names:
            monkeypatch.delenv(name)
    with pytest.raises(RuntimeError) as caught:
        client_for(stand).process_pdf(str(SHEET_SCAN), [1])
    assert str(caught.value) == MISSING[stand.kind]
    assert stand.fake.requests == []


def test_service_refusal_gives_status_and_message_but_no_secret(stand, monkeypatch):
    secret = next(v for k, v in BACK_ENDS[stand.kind]["credentials"].items() if "ID" not in k)
    if stand.kind == "aws":
        stand.fake.enqueue("UnrecognizedClientException",
                           "The security token included in the request is invalid.")
        expected = ("AWS Textract OCR of page 1 failed: HTTP 400: UnrecognizedClientException: "
                    "The security token included in the request is invalid.")
    elif stand.kind == "gemini":
        monkeypatch.setenv("GEMINI_API_KEY", secret + "-revoked")
        expected = ("Gemini OCR of page 1 failed: HTTP 400: INVALID_ARGUMENT: "
                    "API key not valid. Please pass a valid API key.")
    else:
        monkeypatch.setenv("MATHPIX_APP_KEY", secret + "-revoked")
        expected = "Mathpix OCR of page 1 failed: HTTP 401: http_unauthorized: Invalid credentials"
    with pytest.raises(RuntimeError) as caught:
        client_for(stand).process_pdf(str(SHEET_SCAN), [1])
    assert str(caught.value) == expected
    assert secret not in str(caught.value)
    assert len(stand.fake.requests) == 1  # refusals are not retried


def test_check_reader_raises_what_the_first_page_would_and_sends_nothing(stand, monkeypatch):
    client = client_for(stand)
    assert client.check_reader() is None
    for name in BACK_ENDS[stand.kind]["credentials"]:
        monkeypatch.delenv(name)
    with pytest.raises(RuntimeError) as caught:
        client.check_reader()
    assert str(caught.value) == MISSING[stand.kind]
    monkeypatch.setitem(sys.modules, BACK_ENDS[stand.kind]["module"], None)
    with pytest.raises(RuntimeError, match=r"pip install \"tovrane_core\[" + stand.kind + r"\]\""):
        client.check_reader()
    assert stand.fake.requests == []


# Textract asks for no particular wait: its one-second back-off ends on its own.
@pytest.mark.parametrize("stand", ["gemini", "mathpix"], indirect=True)
def test_ctrl_c_ends_a_back_off_wait(stand, tmp_path):
    stand.fake.enqueue(429, {"error": "Too many requests"}, {"retry-after": "25"})
    timer = threading.Timer(0.5, _thread.interrupt_main)
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        client_for(stand).process_pdf(sized_pages_pdf(tmp_path / "one.pdf", 1), [1])
    timer.join()
    assert time.monotonic() - started < 10
    assert len(stand.fake.requests) == 1
