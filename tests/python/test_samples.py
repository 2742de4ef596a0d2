"""The sample class: each rendering agrees with its ground truth, the booklets' truth agrees
with the paper, the demo's package data is the samples' own, and the generator still makes
the committed bytes."""
import json
import pathlib
import re
import shutil
import subprocess

import pytest

import tovrane_core
from conftest import SAMPLES
from support.cer import cer, collapse_whitespace
from tovrane_core.ocr_extractor.extractor_client import ExtractorClient
from tovrane_core.tovrane import Tovrane, TovraneConfig

CLASS = SAMPLES / "social_class7"
GENERATOR = SAMPLES / "generator"
TRUTHS = {t["doc_id"]: t for t in (json.loads(p.read_text(encoding="utf-8")) for p in sorted(CLASS.glob("*.truth.json")))}
PAPER = TRUTHS["social_class7_paper"]
SHEETS = sorted(d for d, t in TRUTHS.items() if t["kind"] == "answersheet")
PACKAGE_DATA = pathlib.Path(tovrane_core.__file__).parent / "_data" / "sample_class"


def poppler(tool, *args):
    return subprocess.run([tool, *map(str, args)], check=True, capture_output=True, text=True).stdout


def page_count(path):
    return int(re.search(r"^Pages:\s+(\d+)$", poppler("pdfinfo", path), re.M).group(1))


def test_the_class_is_complete():
    assert PAPER["kind"] == "question_paper"
    assert len(SHEETS) == 6
    assert all(TRUTHS[s]["paper"] == PAPER["doc_id"] for s in SHEETS)


@pytest.mark.parametrize("doc_id", sorted(TRUTHS))
def test_text_layer_reads_exactly_as_the_truth(doc_id):
    truth = TRUTHS[doc_id]
    pages = ExtractorClient(extractor_type="local").process_pdf(str(CLASS / truth["files"]["digital"]), None)
    assert list(pages) == list(range(1, truth["page_count"] + 1))
    assert {n: cer(text, truth["pages"][str(n)]) for n, text in pages.items()} == dict.fromkeys(pages, 0.0)


@pytest.mark.parametrize("doc_id, rendering", [
    (d, r) for d in sorted(TRUTHS) for r in ("scan150", "scan300") if r in TRUTHS[d]["files"]])
def test_scans_are_gray_images_only(doc_id, rendering):
    truth = TRUTHS[doc_id]
    path = CLASS / truth["files"][rendering]
    assert page_count(path) == truth["page_count"]
    assert poppler("pdftotext", path, "-").strip("\f\n ") == ""
    # pdfimages -list: page num type width height color comp bpc enc interp object ID x-ppi y-ppi ...
    rows = [line.split() for line in poppler("pdfimages", "-list", path).splitlines()[2:]]
    assert [int(r[0]) for r in rows] == list(range(1, truth["page_count"] + 1))
    dpi = int(rendering[4:])
    for r in rows:
        assert (r[5], r[7]) == ("gray", "8")
        assert abs(int(r[12]) - dpi) <= 1 and abs(int(r[13]) - dpi) <= 1
    if rendering == "scan300":
        assert len(truth["scan300_tilt_degrees"]) == truth["page_count"]
        assert all(0.2 <= abs(t) <= 1.0 for t in truth["scan300_tilt_degrees"])


def test_paper_truth_imports_as_a_question_paper(fake_openai, capsys, tmp_path):
    tovrane = Tovrane()
    tovrane.configure(TovraneConfig(token_log_file=str(tmp_path / "usage.log")))
    paper = tovrane.question_paper_from_json(PAPER)
    assert paper.get_question_ids() == [q["q_id"] for q in PAPER["questions"]]
    assert (paper.subject, paper.class_level, paper.language) == ("Social Science", "Class 7", "English")
    assert paper.get_total_marks() == PAPER["total_marks"] == 30
    assert "Maximum Marks: 30" in PAPER["pages"]["1"]
    lines = [collapse_whitespace(line) for page in PAPER["pages"].values() for line in page.splitlines()]
    for q in PAPER["questions"]:
        if q["marks_printed"]:
            # printed at the right margin, on the last line of the question
            assert any(line.endswith(" " + q["marks_printed"]) for line in lines), q["q_id"]
        else:
            assert q["marks_source"] == "section header" and q["max_marks"] == 1
    assert "Questions 1 to 4 carry 1 mark each." in lines


def written_text(sheet, numbers):
    """The handwritten text of some pages, without the printed page numbers."""
    return collapse_whitespace(" ".join(
        line for n in numbers for line in sheet["pages"][str(n)].splitlines() if not line.startswith("Page No.")))


@pytest.mark.parametrize("doc_id", SHEETS)
def test_booklet_truth_agrees_with_the_paper(doc_id):
    sheet = TRUTHS[doc_id]
    order = [q["q_id"] for q in PAPER["questions"]]
    marks = {q["q_id"]: q["max_marks"] for q in PAPER["questions"]}
    answered = [a["q_id"] for a in sheet["answers"]]
    assert len(set(answered)) == len(answered) and set(answered) <= set(order)
    assert sheet["unanswered"] == [q for q in order if q not in answered]
    later = [a for i, a in enumerate(answered) if any(order.index(b) > order.index(a) for b in answered[:i])]
    assert sheet["out_of_order"] == later
    assert sheet["spanning_pages"] == [a["q_id"] for a in sheet["answers"] if len(a["page_numbers"]) > 1]
    for a in sheet["answers"]:
        assert 0 <= a["expected_marks"] <= marks[a["q_id"]], a["q_id"]
        pages = a["page_numbers"]
        assert pages == list(range(pages[0], pages[-1] + 1)) and pages[-1] <= sheet["page_count"]
        # the label and the answer are on the pages the truth names, in writing order
        assert collapse_whitespace(f"{a['margin_label']} {a['answer_text']}") in written_text(sheet, pages)
    assert sheet["expected_total"] == sum(a["expected_marks"] for a in sheet["answers"])
    assert sheet["student"]["name"] in sheet["pages"]["1"]


def test_demo_package_data_is_the_sample_class():
    manifest = json.loads((PACKAGE_DATA / "manifest.json").read_text(encoding="utf-8"))
    assert {k: manifest[k] for k in ("subject", "class_level", "language", "total_marks", "paper_pages")} == {
        "subject": PAPER["subject"], "class_level": PAPER["class_level"], "language": PAPER["language"],
        "total_marks": PAPER["total_marks"], "paper_pages": PAPER["page_count"]}
    assert (PACKAGE_DATA / manifest["paper"]).read_bytes() == (CLASS / PAPER["files"]["digital"]).read_bytes()
    by_student = {TRUTHS[s]["student"]["name"]: TRUTHS[s] for s in SHEETS}
    assert sorted(s["student"] for s in manifest["sheets"]) == sorted(by_student)
    scanned = 0
    for entry in manifest["sheets"]:
        truth = by_student[entry["student"]]
        rendering = "digital" if entry["text_layer"] else "scan150"
        scanned += not entry["text_layer"]
        assert (PACKAGE_DATA / entry["file"]).read_bytes() == (CLASS / truth["files"][rendering]).read_bytes()
        assert (entry["roll"], entry["pages"]) == (truth["student"]["roll"], truth["page_count"])
    assert 1 <= scanned <= 2, "the demo reads one or two sheets by OCR"
    size = sum(p.stat().st_size for p in PACKAGE_DATA.rglob("*") if p.is_file())
    assert size < 3_000_000


def test_samples_stay_small():
    size = sum(p.stat().st_size for p in SAMPLES.rglob("*") if p.is_file())
    assert size < 8_000_000


def generator_missing():
    if not all(shutil.which(tool) for tool in ("pdftoppm", "img2pdf", "qpdf")):
        return "needs pdftoppm, img2pdf and qpdf"
    probe = "import gi, cairo, PIL; gi.require_version('PangoCairo', '1.0'); gi.require_foreign('cairo')"
    if subprocess.run(["/usr/bin/python3", "-c", probe], capture_output=True).returncode:
        return "needs Debian's python3-gi, python3-gi-cairo, python3-cairo and python3-pil"
    return None


@pytest.mark.skipif(generator_missing() is not None, reason=str(generator_missing()))
@pytest.mark.parametrize("content", ["social_class7_paper", "social_class7_sheet_kabir"])
def test_generator_makes_the_committed_bytes(tmp_path, content):
    subprocess.run(["/usr/bin/python3", GENERATOR / "render.py", GENERATOR / "content" / f"{content}.json",
                    tmp_path, "--only", "digital,scan150,truth"], check=True, capture_output=True)
    made = sorted(p.name for p in tmp_path.iterdir())
    assert made == [f"{content}.{suffix}" for suffix in ("digital.pdf", "scan150.pdf", "truth.json")]
    for name in made[:2]:
        assert (tmp_path / name).read_bytes() == (CLASS / name).read_bytes(), name
    # without the 300 dpi scan the truth lacks only what that scan adds
    expected = dict(TRUTHS[content])
    expected.pop("scan300_tilt_degrees", None)
    expected["files"] = {k: v for k, v in expected["files"].items() if k != "scan300"}
    assert json.loads((tmp_path / made[2]).read_text(encoding="utf-8")) == expected
    if content.endswith("_paper"):
        subprocess.run(["/usr/bin/python3", GENERATOR / "hostile.py", tmp_path / made[0], tmp_path / "hostile"],
                       check=True, capture_output=True)
        for name in ("empty.pdf", "truncated.pdf", "encrypted.pdf"):
            assert (tmp_path / "hostile" / name).read_bytes() == (SAMPLES / "hostile" / name).read_bytes(), name


def test_generator_refuses_answers_to_questions_the_paper_lacks(tmp_path):
    if generator_missing():
        pytest.skip(generator_missing())
    content = tmp_path / "content"
    shutil.copytree(GENERATOR / "content", content)
    sheet = json.loads((content / "social_class7_sheet_kabir.json").read_text(encoding="utf-8"))
    sheet["answers"][0]["q_id"] = "Q11"
    (content / "social_class7_sheet_kabir.json").write_text(json.dumps(sheet), encoding="utf-8")
    run = subprocess.run(["/usr/bin/python3", GENERATOR / "render.py", content / "social_class7_sheet_kabir.json",
                          tmp_path / "out", "--only", "digital,truth"], capture_output=True, text=True)
    assert run.returncode != 0
    assert "answers to questions the paper lacks: ['Q11']" in run.stderr
    assert list((tmp_path / "out").iterdir()) == [], "a failed run leaves nothing behind"
