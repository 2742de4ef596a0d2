"""`tovrane paper` and `tovrane grade` as a teacher runs them, against the loopback fake service."""

from __future__ import annotations

import csv
import json
import re
import shutil
import signal
import time

import pytest

from support.class_model import answersheet_reply, script_class, user_text
from support.cli import FAST, SAMPLE_CLASS, cli_env, run_cli, sample_manifest, sample_sheets, spawn_cli
from support.fake_openai import FakeOpenAIServer

MANIFEST = ".tovrane-manifest.json"


def parse_requests(server: FakeOpenAIServer) -> list:
    return [r for r in server.requests if r.schema_name == "AnswersheetResponse"]


@pytest.fixture(scope="module")
def model():
    with FakeOpenAIServer() as server:
        script_class(server)
        yield server


@pytest.fixture(scope="module")
def paper_run(model, tmp_path_factory):
    folder = tmp_path_factory.mktemp("paper")
    meta = sample_manifest()
    result = run_cli("paper", SAMPLE_CLASS / meta["paper"], "--subject", meta["subject"], "--language",
                     meta["language"], "--class-level", meta["class_level"], "--extractor", "local", *FAST,
                     cwd=folder, env=cli_env(model.base_url))
    return folder, result


@pytest.fixture(scope="module")
def paper_json(paper_run):
    folder, result = paper_run
    assert result.returncode == 0, result.stderr
    return folder / "paper.paper.json"


@pytest.fixture(scope="module")
def graded_class(model, paper_json, tmp_path_factory):
    """The whole sample class (scanned booklets included) graded once."""
    out = tmp_path_factory.mktemp("graded") / "out"
    result = run_cli("grade", paper_json, SAMPLE_CLASS / "sheets", "-o", out, "--extractor", "local", *FAST,
                     cwd=out.parent, env=cli_env(model.base_url))
    return out, result


def read_gradebook(path):
    with open(path, newline="", encoding="utf-8") as source:
        return list(csv.reader(source))


def text_class(tmp_path, count=3):
    """A folder with copies of the first `count` text-layer booklets."""
    folder = tmp_path / "class"
    folder.mkdir()
    for sheet in sample_sheets(text_layer=True)[:count]:
        shutil.copy(sheet, folder / sheet.name)
    return folder


# ---- paper -------------------------------------------------------------------------------------

def test_paper_writes_the_import_format_that_loads_back(paper_run, paper_json, monkeypatch, fake_openai):
    folder, result = paper_run
    lines = result.stdout.splitlines()
    assert lines[0].startswith("Page reader: local")
    assert lines[1].startswith("Language model: gpt-5-mini") and "127.0.0.1" in lines[1]
    assert f"Question paper: {paper_json}" in result.stdout
    data = json.loads(paper_json.read_text(encoding="utf-8"))
    meta = sample_manifest()
    assert (data["subject"], data["class_level"], data["language"]) == (meta["subject"], meta["class_level"],
                                                                       meta["language"])
    assert [q["q_id"] for q in data["questions"]] == [f"Q{n}" for n in range(1, 11)]
    assert all(q["rubric"]["criteria"] and q["reference_answer"] for q in data["questions"])
    assert (folder / "paper.paper.txt").read_text(encoding="utf-8").startswith("PROCESSED QUESTION PAPER")

    from tovrane_core.tovrane import Tovrane, TovraneConfig
    facade = Tovrane()
    facade.configure(TovraneConfig(extractor_type="local"))
    paper = facade.question_paper_from_json(paper_json.read_text(encoding="utf-8"))
    assert list(paper.get_question_ids()) == [q["q_id"] for q in data["questions"]]
    for entry in data["questions"]:
        question = paper.get_question(entry["q_id"])
        assert question.max_marks == entry["max_marks"]
        assert question.reference_answer == entry["reference_answer"]
        assert [(c.statement, c.mark) for c in question.rubric.criteria] == \
            [(c["statement"], c["mark"]) for c in entry["rubric"]["criteria"]]


# ---- grade -------------------------------------------------------------------------------------

def test_grade_writes_every_student_and_a_gradebook_equal_to_their_json(graded_class, paper_json):
    out, result = graded_class
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr
    paper = json.loads(paper_json.read_text(encoding="utf-8"))
    q_ids = [q["q_id"] for q in paper["questions"]]
    maximum = sum(q["max_marks"] for q in paper["questions"])

    rows = read_gradebook(out / "gradebook.csv")
    assert rows[0] == ["file", *q_ids, "total", "maximum", "percentage", "error"]
    sheets = sample_sheets()
    assert [row[0] for row in rows[1:]] == sorted(s.name for s in sheets)
    for row in rows[1:]:
        stem = row[0][:-4]
        entries = json.loads((out / f"{stem}.json").read_text(encoding="utf-8"))
        assert [e["qid"] for e in entries] == q_ids
        assert (out / f"{stem}.txt").read_text(encoding="utf-8").startswith("PROCESSED STUDENT ANSWERSHEET")
        expected = [e["obtained_marks"] if e["attempted"] else 0 for e in entries]
        assert [float(cell) for cell in row[1:1 + len(q_ids)]] == expected
        total = float(row[1 + len(q_ids)])
        assert total == pytest.approx(sum(expected))
        assert float(row[2 + len(q_ids)]) == maximum
        assert float(row[3 + len(q_ids)]) == pytest.approx(round(total / maximum * 100, 1))
        assert row[-1] == ""
    # The class did not all score the same: the numbers come from each sheet.
    assert len({row[1 + len(q_ids)] for row in rows[1:]}) > 1

    report = (out / "report.html").read_text(encoding="utf-8")
    assert all(sheet.name in report for sheet in sheets)
    assert not list(out.glob(".*.tmp")) and not list(out.glob("*.tmp"))
    assert f"Gradebook: {out / 'gradebook.csv'}" in result.stdout


def test_grade_lines_name_the_answersheet_they_belong_to(graded_class):
    _, result = graded_class
    for sheet in sample_sheets():
        assert f"[{sheet.stem}] [SheetPipeline]: Processing PDF: " in result.stdout


def test_a_second_run_skips_finished_students_and_force_redoes_them(model, paper_json, tmp_path):
    folder = text_class(tmp_path)
    out = tmp_path / "out"
    env = cli_env(model.base_url)
    # Without --extractor the recommendation picks the vision reader, as a key is set; the
    # booklets have text layers, so no page goes to it.
    first = run_cli("grade", paper_json, folder, "-o", out, *FAST, cwd=tmp_path, env=env)
    assert first.returncode == 0, first.stderr
    assert first.stdout.splitlines()[0].startswith("Page reader: openai")
    assert "every page without a text layer is sent" in first.stdout.splitlines()[0]
    saved = {p.name: p.read_bytes() for p in out.glob("*.json")}

    before = len(parse_requests(model))
    again = run_cli("grade", paper_json, folder, "-o", out, *FAST, cwd=tmp_path, env=env)
    assert again.returncode == 0, again.stderr
    assert len(parse_requests(model)) == before
    assert "3 answersheets already graded" in again.stdout
    assert {p.name: p.read_bytes() for p in out.glob("*.json")} == saved
    assert len(read_gradebook(out / "gradebook.csv")) == 4

    # A changed PDF is graded again, alone.
    changed = sorted(folder.iterdir())[0]
    changed.write_bytes(changed.read_bytes() + b"\n% rescanned\n")
    third = run_cli("grade", paper_json, folder, "-o", out, *FAST, "--quiet", cwd=tmp_path, env=env)
    assert third.returncode == 0, third.stderr
    assert len(parse_requests(model)) == before + 1
    # --quiet keeps what was written and leaves out the pipelines' lines.
    assert f"Gradebook: {out / 'gradebook.csv'}" in third.stdout and "[SheetPipeline]" not in third.stdout

    forced = run_cli("grade", paper_json, folder, "-o", out, "--force", *FAST, cwd=tmp_path, env=env)
    assert forced.returncode == 0, forced.stderr
    assert len(parse_requests(model)) == before + 4

    # An edited paper makes every result stale; this editor saved it with a byte order mark.
    edited = tmp_path / "edited.json"
    data = json.loads(paper_json.read_text(encoding="utf-8"))
    data["questions"][0]["reference_answer"] = "Atmosphere, the blanket of air."
    edited.write_text(json.dumps(data), encoding="utf-8-sig")
    fifth = run_cli("grade", edited, folder, "-o", out, *FAST, cwd=tmp_path, env=env)
    assert fifth.returncode == 0, fifth.stderr
    assert len(parse_requests(model)) == before + 7


def test_failed_answersheets_and_answers_are_named_and_the_rest_is_written(paper_json, tmp_path):
    folder = text_class(tmp_path, count=3)
    (folder / "torn.pdf").write_bytes(b"%PDF-1.4\nthis is not the rest of a PDF\n")
    sheets = sorted(p for p in folder.iterdir() if p.name != "torn.pdf")
    students = {s["file"].split("/")[-1]: s["student"].split()[0] for s in sample_manifest()["sheets"]}
    unparsed, unevaluated, whole = sheets

    def tagged_sheet(request):
        # One student's parse fails; another's answers come back tagged, and their evaluations fail.
        text = user_text(request)
        if f"Name: {students[unparsed.name]}" in text:
            return {"status": 400, "error": "scripted failure for this test"}
        reply = answersheet_reply(request)
        if f"Name: {students[unevaluated.name]}" in text:
            for answer in reply["content"]["answers"]:
                answer["answer_text"] += " (no evaluation)"
        return reply

    with FakeOpenAIServer() as server:
        script_class(server, fail_when=lambda r: "(no evaluation)" in user_text(r))
        server.script("AnswersheetResponse", tagged_sheet)
        out = tmp_path / "out"
        result = run_cli("grade", paper_json, folder, "-o", out, "--extractor", "local", *FAST, cwd=tmp_path,
                         env=cli_env(server.base_url))
    assert result.returncode == 1, result.stdout[-2000:]
    assert re.search(r"^torn\.pdf: Failed to extract text from PDF: ", result.stderr, re.M)
    assert re.search(rf"^{re.escape(unparsed.name)}: Failed to parse answers: ", result.stderr, re.M)
    assert re.search(rf"^{re.escape(unevaluated.name)}: Q1, Q2, .* not evaluated: ", result.stderr, re.M)
    assert not re.search(rf"^{re.escape(whole.name)}:", result.stderr, re.M)

    header, *rows = read_gradebook(out / "gradebook.csv")
    rows = {row[0]: dict(zip(header, row)) for row in rows}
    assert set(rows) == {"torn.pdf", *(p.name for p in sheets)}
    q_ids = header[1:-4]
    for name in ("torn.pdf", unparsed.name):
        assert [rows[name][q] for q in q_ids] == [""] * len(q_ids)
        assert rows[name]["total"] == rows[name]["percentage"] == "" and rows[name]["error"]
        assert not (out / name.replace(".pdf", ".json")).exists()
    assert rows["torn.pdf"]["error"].startswith("Failed to extract text from PDF")
    assert rows[unparsed.name]["error"].startswith("Failed to parse answers")

    entries = json.loads((out / f"{unevaluated.stem}.json").read_text(encoding="utf-8"))
    row = rows[unevaluated.name]
    assert row["total"] == row["percentage"] == "" and "not evaluated" in row["error"]
    for entry in entries:
        if entry["attempted"]:
            assert not entry["evaluated"] and entry["evaluation_error"]
            assert row[entry["qid"]] == ""
        else:
            assert row[entry["qid"]] == "0"
    assert rows[whole.name]["error"] == "" and rows[whole.name]["total"] != ""
    manifest = json.loads((out / MANIFEST).read_text(encoding="utf-8"))
    assert manifest["sheets"][unparsed.stem]["status"] == "failed"
    assert manifest["sheets"][unevaluated.stem]["status"] == "incomplete"
    assert manifest["sheets"][whole.stem]["status"] == "graded"


def test_ctrl_c_stops_promptly_keeps_finished_students_and_leaves_no_partial_file(paper_json, tmp_path):
    folder = text_class(tmp_path, count=4)
    out = tmp_path / "out"
    with FakeOpenAIServer(latency=0.1) as server:
        script_class(server)
        # One permit: two answersheets in flight, so some finish well before the others.
        process = spawn_cli("grade", paper_json, folder, "-o", out, "--extractor", "local", *FAST,
                            "--concurrency", "1", cwd=tmp_path, env=cli_env(server.base_url))
        deadline = time.monotonic() + 60
        while not list(out.glob("*.txt")) and time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        interrupted = time.monotonic()
        stdout, stderr = process.communicate(timeout=30)
        stopped = time.monotonic() - interrupted
    assert process.returncode == 130, stderr
    assert stopped < 5
    assert "Interrupted" in stderr
    assert not [p for p in out.iterdir() if p.name.endswith(".tmp")]
    manifest = json.loads((out / MANIFEST).read_text(encoding="utf-8"))
    finished = [stem for stem, e in manifest["sheets"].items() if e["status"] == "graded"]
    assert 1 <= len(finished) < 4
    for stem in finished:
        assert json.loads((out / f"{stem}.json").read_text(encoding="utf-8"))

    with FakeOpenAIServer() as server:
        script_class(server)
        result = run_cli("grade", paper_json, folder, "-o", out, "--extractor", "local", *FAST, cwd=tmp_path,
                         env=cli_env(server.base_url))
        assert result.returncode == 0, result.stderr
        assert len(parse_requests(server)) == 4 - len(finished)
    assert len(read_gradebook(out / "gradebook.csv")) == 5


def chromium_path():
    import shutil as _shutil
    return _shutil.which("chromium") or _shutil.which("chromium-browser")


@pytest.mark.skipif(chromium_path() is None, reason="needs Debian's chromium (scripts/setup.sh --test)")
def test_the_report_shows_charts_and_every_student_in_a_real_browser(graded_class):
    sync_api = pytest.importorskip("playwright.sync_api", reason="needs playwright (scripts/setup.sh --test)")
    out, result = graded_class
    assert result.returncode == 0, result.stderr
    problems, requests = [], []
    with sync_api.sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=chromium_path(), args=["--no-sandbox"])
        try:
            page = browser.new_page(viewport={"width": 1100, "height": 900})
            page.on("console", lambda message: message.type in ("error", "warning") and problems.append(message.text))
            page.on("pageerror", lambda error: problems.append(str(error)))
            page.on("request", lambda request: requests.append(request.url))
            page.goto((out / "report.html").as_uri())
            assert problems == []
            assert requests == [(out / "report.html").as_uri()]  # self-contained: nothing else is fetched
            for chart in ("#distribution-chart svg", "#question-chart svg"):
                box = page.locator(chart).bounding_box()
                assert box and box["width"] > 300 and box["height"] > 100
            assert page.locator("#distribution-chart rect").count() == 10
            drawn = [page.locator("#question-chart g.bar").nth(i).locator("rect").nth(1).get_attribute("width")
                     for i in range(page.locator("#question-chart g.bar").count())]
            assert len(drawn) == 10 and any(float(width) > 0 for width in drawn)
            names = page.locator("article.student h3").all_inner_texts()
            assert names == sorted(sheet.name for sheet in sample_sheets())
            for name in names:
                assert page.get_by_role("link", name=name).is_visible()
            shot = artifact_folder(out) / "report.png"
            page.screenshot(path=str(shot), full_page=True)
        finally:
            browser.close()
    assert shot.stat().st_size > 10_000
    print(f"report screenshot: {shot}")


def artifact_folder(fallback):
    """build/test-artifacts beside the built package when there is one, else the test's folder."""
    from support.cli import PACKAGE_ROOT
    build = PACKAGE_ROOT.parent.parent
    folder = build / "test-artifacts" if (build / "CMakeCache.txt").is_file() else fallback
    folder.mkdir(exist_ok=True)
    return folder
