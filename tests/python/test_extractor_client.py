"""ExtractorClient: arguments and results, recommendation, page selection, text layers, bad files."""
import os
import pathlib
import sys

import pytest

from conftest import ROOT, SAMPLES
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

DATA = ROOT / "tests" / "data"
PAPER_DIGITAL = SAMPLES / "social_class7" / "social_class7_paper.digital.pdf"
TYPES = ("local", "openai", "aws", "gemini", "mathpix")
ENVIRONMENT = ("TOVRANE_EXTRACTOR", "TOVRANE_OCR_LANG", "TOVRANE_OCR_MODEL", "TOVRANE_OCR_TEXT_LAYER",
               "MATHPIX_APP_ID", "MATHPIX_APP_KEY", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY",
               "GEMINI_API_KEY", "OPENAI_API_KEY")


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    for name in ENVIRONMENT:
        monkeypatch.delenv(name, raising=False)


def local(**kwargs):
    return ExtractorClient(extractor_type="local", **kwargs)


# --- construction and settings ---------------------------------------------------------

def test_defaults_need_no_credentials():
    client = ExtractorClient()
    assert (client.extractor_type, client.region, client.dpi) == ("aws", "us-east-1", 150)
    assert client.ocr_languages is None and client.max_workers is None
    assert ExtractorClient.EXTRACTOR_TYPES == TYPES


def test_arguments_are_keyword_only():
    with pytest.raises(TypeError):
        ExtractorClient("local")


@pytest.mark.parametrize("kind", TYPES)
def test_every_type_is_accepted(kind):
    client = ExtractorClient(extractor_type=kind, region="eu-west-1", api_key="k", app_id="i", app_key="s")
    assert client.extractor_type == kind and client.region == "eu-west-1"


@pytest.mark.parametrize("kind", ["textract", "LOCAL", "", None, 3])
def test_unknown_type_lists_accepted_ones(kind):
    message = f"Unknown extractor type {kind!r}; accepted types: local, openai, aws, gemini, mathpix"
    with pytest.raises(ValueError) as caught:
        ExtractorClient(extractor_type=kind)
    assert str(caught.value) == message
    client = local()
    with pytest.raises(ValueError) as caught:
        client.change_extractor(kind)
    assert str(caught.value) == message
    assert client.extractor_type == "local"


def test_change_extractor_switches_back_end():
    client = ExtractorClient()
    assert client.change_extractor("local") is None
    assert client.extractor_type == "local"


@pytest.mark.parametrize("name", ["api_key", "app_id", "app_key", "ocr_languages"])
def test_text_arguments_reject_other_types(name):
    with pytest.raises(TypeError, match=f"^{name} must be a string or None, not int$"):
        ExtractorClient(**{name: 5})


@pytest.mark.parametrize("value", [0, -2, 1.5, "2", True, 1025])
def test_max_workers_must_be_positive_integer(value):
    with pytest.raises(ValueError) as caught:
        local(max_workers=value)
    assert str(caught.value) == f"max_workers must be an integer from 1 to 1024 or None, got {value!r}"


@pytest.mark.parametrize("languages", ["", "eng+", "../eng", "eng hin"])
def test_language_list_is_checked_at_construction(languages):
    with pytest.raises(ValueError, match=r"^Invalid OCR languages "):
        local(ocr_languages=languages)


@pytest.mark.parametrize("dpi", [1, 300, 2**31 - 1])
def test_set_dpi(dpi):
    client = local()
    assert client.set_dpi(dpi) is None
    assert client.dpi == dpi


@pytest.mark.parametrize("dpi", [0, -150, 150.0, "150", None, True, 2**31])
def test_set_dpi_rejects_anything_but_positive_integers(dpi):
    client = local()
    with pytest.raises(ValueError) as caught:
        client.set_dpi(dpi)
    assert str(caught.value) == f"dpi must be a positive integer, got {dpi!r}"
    assert client.dpi == 150


def test_repr_and_instance_attributes_keep_secrets_out():
    client = ExtractorClient(extractor_type="openai", api_key="sk-secret-123", app_key="mp-secret")
    assert repr(client) == "ExtractorClient(extractor_type='openai', region='us-east-1', dpi=150)"
    assert "secret" not in str(vars(client))
    client.note = "hosts may attach attributes"
    assert client.note == "hosts may attach attributes"


def test_subclass_is_an_extractor_client():
    class Custom(ExtractorClient):
        def process_pdf(self, pdf_path, page_numbers=None):
            return {1: "custom"}

    custom = Custom(extractor_type="local")
    assert isinstance(custom, ExtractorClient)
    assert custom.process_pdf("any.pdf", None) == {1: "custom"}


# --- recommendation ------------------------------------------------------------------------

MATHPIX = {"MATHPIX_APP_ID": "id", "MATHPIX_APP_KEY": "key"}
AWS = {"AWS_ACCESS_KEY_ID": "id", "AWS_SECRET_ACCESS_KEY": "secret"}
GEMINI = {"GEMINI_API_KEY": "g"}
OPENAI = {"OPENAI_API_KEY": "o"}
ALL = {**MATHPIX, **AWS, **GEMINI, **OPENAI}


@pytest.mark.parametrize("subject, environment, expected", [
    ("Science", {}, "local"),
    ("Mathematics", ALL, "mathpix"),
    ("Physics", {**AWS, **OPENAI}, "openai"),
    ("Physics", {**AWS, **GEMINI, **OPENAI}, "gemini"),
    ("English", ALL, "aws"),
    ("English", {**MATHPIX, **OPENAI}, "openai"),
    ("Social Science", {**MATHPIX, **AWS}, "aws"),
    ("History", {"AWS_ACCESS_KEY_ID": "id"}, "local"),         # half a credential is none
    ("History", {"OPENAI_API_KEY": ""}, "local"),               # empty is absent
    ("Science", {**ALL, "TOVRANE_EXTRACTOR": "local"}, "local"),
    ("History", {"TOVRANE_EXTRACTOR": " OpenAI "}, "openai"),
    ("History", {**AWS, "TOVRANE_EXTRACTOR": "tesseract"}, "aws"),  # unknown override ignored
    ("", {}, "local"),
    ("गणित", MATHPIX, "mathpix"),
])
def test_recommendation_rule(monkeypatch, subject, environment, expected):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    assert ExtractorClient.get_recommended_extractor_for_subject(subject) == expected
    assert local().get_recommended_extractor_for_subject(subject) == expected


@pytest.mark.parametrize("subject", [None, 12, "x" * 100_000, "\x00\ufffd"])
def test_recommendation_never_fails(subject):
    assert ExtractorClient.get_recommended_extractor_for_subject(subject) in TYPES


# --- results and page selection -----------------------------------------------------------

def test_all_pages_in_ascending_order_with_int_keys():
    pages = local().process_pdf(str(DATA / "many_pages.pdf"), None)
    assert list(pages) == list(range(1, 201))
    assert all(type(k) is int and pages[k].startswith(f"Page {k}: the quick") for k in pages)


@pytest.mark.parametrize("requested, expected", [
    (None, [1, 2]), ([], [1, 2]), ([2], [2]), ([2, 1], [2, 1]), ([1, 2, 1, 1], [1, 2]), ((2,), [2]),
])
def test_page_selection(requested, expected):
    pages = local().process_pdf(str(PAPER_DIGITAL), requested)
    assert list(pages) == expected


def test_path_like_accepted_and_page_numbers_optional():
    assert list(local().process_pdf(PAPER_DIGITAL)) == [1, 2]


@pytest.mark.parametrize("requested, page, count, noun", [
    ([3], 3, 2, "pages"), ([1, 0], 0, 2, "pages"), ([-1], -1, 2, "pages"),
    ([10**30], 9223372036854775807, 2, "pages"),
])
def test_page_out_of_range_names_page_and_count(requested, page, count, noun):
    with pytest.raises(ValueError) as caught:
        local().process_pdf(str(PAPER_DIGITAL), requested)
    assert str(caught.value) == f"Page {page} is out of range: {PAPER_DIGITAL} has {count} {noun}"


def test_single_page_document_says_page():
    with pytest.raises(ValueError, match=r"has 1 page$"):
        local().process_pdf(str(DATA / "footer_only.pdf"), [2])


@pytest.mark.parametrize("requested, message", [
    ("1", "page_numbers must be a list of page numbers or None, not str"),
    ({1: 1}, "page_numbers must be a list of page numbers or None, not dict"),
    ([1, "2"], "page numbers must be integers, not str"),
    ([1.0], "page numbers must be integers, not float"),
    ([True], "page numbers must be integers, not bool"),
])
def test_page_numbers_type_errors(requested, message):
    with pytest.raises(TypeError) as caught:
        local().process_pdf(str(PAPER_DIGITAL), requested)
    assert str(caught.value) == message


@pytest.mark.parametrize("kind, module", [("aws", "boto3"), ("gemini", "google.genai"), ("mathpix", "httpx")])
def test_cloud_back_ends_take_text_layers_without_sdk_or_credentials(kind, module, monkeypatch):
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "GEMINI_API_KEY", "MATHPIX_APP_ID", "MATHPIX_APP_KEY"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setitem(sys.modules, module, None)
    pages = ExtractorClient(extractor_type=kind).process_pdf(str(PAPER_DIGITAL), None)
    assert pages == local().process_pdf(str(PAPER_DIGITAL), None)


# --- text layers ----------------------------------------------------------------------------

def test_text_layer_is_normalised_nfkc():
    # The born-digital paper's text layer spells "fi" and "ff" as ligature characters.
    raw = "".join(local().process_pdf(str(PAPER_DIGITAL), None).values())
    assert not any("\ufb00" <= ch <= "\ufb06" for ch in raw)
    assert "Pacific" in raw and "differences" in raw


def test_text_layer_keeps_question_numbers_on_their_lines():
    text = local().process_pdf(str(PAPER_DIGITAL), [1])[1]
    assert "\nQ1. Name the blanket of air that surrounds the earth.\n" in text


@pytest.mark.parametrize("switch", ["argument", "environment"])
def test_text_layer_can_be_turned_off(monkeypatch, switch):
    path = str(DATA / "invisible_text.pdf")
    layered = local().process_pdf(path, None)
    assert layered == {1: "This sentence is only in the text layer of the page, not in its picture."}
    if switch == "argument":
        client = local(use_text_layer=False)
    else:
        monkeypatch.setenv("TOVRANE_OCR_TEXT_LAYER", "off")
        client = local()
    # The picture of the page is blank.
    assert client.process_pdf(path, None) == {1: ""}


# --- bad input -------------------------------------------------------------------------------

@pytest.mark.parametrize("path, error, reason", [
    (SAMPLES / "hostile" / "empty.pdf", ValueError, "the file is empty"),
    (SAMPLES / "hostile" / "truncated.pdf", ValueError, "the file is damaged (Couldn't find trailer dictionary)"),
    (SAMPLES / "hostile" / "encrypted.pdf", ValueError, "the file is encrypted"),
    (DATA / "not_a_pdf.pdf", ValueError, "the file is not a PDF"),
    (DATA / "bad_body.pdf", ValueError, "the file is damaged (Couldn't find trailer dictionary)"),
    (DATA / "no_pages.pdf", ValueError, "the document has no pages"),
    (DATA, ValueError, "not a regular file"),
])
@pytest.mark.parametrize("kind", ["local", "openai"])
def test_bad_files_give_clear_errors(capfd, path, error, reason, kind):
    with pytest.raises(error) as caught:
        ExtractorClient(extractor_type=kind).process_pdf(str(path), None)
    assert str(caught.value) == f"Cannot open PDF {path}: {reason}"
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("name", [b"caf\xc3\xa9.pdf", b"not-utf8-\xff.pdf"])
def test_file_names_as_the_file_system_spells_them(tmp_path, name):
    path = os.path.join(os.fsencode(tmp_path), name)
    pathlib.Path(os.fsdecode(path)).write_bytes((DATA / "footer_only.pdf").read_bytes())
    for given in (path, os.fsdecode(path)):
        with pytest.raises(ValueError) as caught:
            local().process_pdf(given, [2])
        assert str(caught.value) == f"Page 2 is out of range: {os.fsdecode(path)} has 1 page"


def test_missing_file(tmp_path):
    missing = tmp_path / "nothing.pdf"
    with pytest.raises(FileNotFoundError) as caught:
        local().process_pdf(str(missing), None)
    assert str(caught.value) == f"PDF file not found: {missing}"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
def test_unreadable_file(tmp_path):
    locked = tmp_path / "locked.pdf"
    locked.write_bytes(pathlib.Path(PAPER_DIGITAL).read_bytes())
    locked.chmod(0)
    with pytest.raises(PermissionError, match="permission denied$"):
        local().process_pdf(str(locked), None)
