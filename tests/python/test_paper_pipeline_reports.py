"""PaperPipeline: validation, summary, console report, evaluation input record and saving."""

import resource
import signal

import pytest

from tovrane_core.datastructures import Criterion, Question, QuestionPaper, Rubric
from tovrane_core.paper_pipeline import PaperPipeline

RULE60 = "=" * 60
TEXT_80 = "Describe the water cycle, naming evaporation, condensation and precipitation now"
TEXT_81 = TEXT_80 + "!"


def printed(capsys):
    out = capsys.readouterr().out
    assert out == "" or out.endswith("\n")
    return out.split("\n")[:-1]


def make_paper(*questions, subject="Science", class_level="Class 8"):
    paper = QuestionPaper(subject=subject, language="English", class_level=class_level)
    for q_id, text, marks in questions:
        paper.add_question(Question(q_id=q_id, text=text, max_marks=marks))
    return paper


def saved_paper():
    paper = make_paper(
        ("1a", "Name two gases found in air.", 2),
        ("2", "Explain “photosynthesis” — प्रकाश संश्लेषण.", 3),
    )
    first = paper.get_question("1a")
    first.set_rubric(Rubric([Criterion(statement="Names oxygen", mark=1), Criterion(statement='Names "nitrogen"', mark=1)]))
    first.rubric.criteria[1].set_fulfill(True)
    first.set_reference_answer("Oxygen and nitrogen.")
    return paper


EXPECTED_JSON = """{
    "class": "Class 8",
    "subject": "Science",
    "answer_pages": "pages 3-4",
    "questions": [
        {
            "qid": "1a",
            "question": "Name two gases found in air.",
            "max_marks": 2.0,
            "student_answer": "",
            "ref_answer": "Oxygen and nitrogen.",
            "rubric": [
                {
                    "statement": "Names oxygen",
                    "mark": 1.0,
                    "is_fulfilled": false
                },
                {
                    "statement": "Names \\"nitrogen\\"",
                    "mark": 1.0,
                    "is_fulfilled": true
                }
            ]
        },
        {
            "qid": "2",
            "question": "Explain “photosynthesis” — प्रकाश संश्लेषण.",
            "max_marks": 3.0,
            "student_answer": "",
            "ref_answer": "",
            "rubric": []
        }
    ]
}"""

EXPECTED_TEXT = """PROCESSED QUESTION PAPER
==================================================

Subject: Science
Class Level: Class 8
Total Questions: 2
Total Marks: 5.0

Question 1: 1a
Marks: 2.0
Text: Name two gases found in air.
Reference Answer: Oxygen and nitrogen.
----------------------------------------

Question 2: 2
Marks: 3.0
Text: Explain “photosynthesis” — प्रकाश संश्लेषण.
----------------------------------------

"""


# ---- validation ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, warned",
    [("  Name gases \n", False), ("   nine char ", True), ("  abcdefghi  ", True), ("  abcdefghij  ", False)],
)
def test_short_text_threshold(text, warned):
    result = PaperPipeline(None, None).validate_processing(make_paper(("Q1", text, 2)))
    assert result["warnings"] == (["Question Q1 has very short text (possible OCR issue)"] if warned else [])
    assert result["valid"] is True  # warnings alone keep the paper valid


def test_validation_record_with_issues_and_zero_total():
    paper = make_paper(("Q1", "Short", 0), ("Q2", "Long enough question text", -1), ("Q3", "Another long question", 1))
    result = PaperPipeline(None, None).validate_processing(paper)
    assert list(result.items()) == [
        ("valid", False),
        ("issues", ["Question Q1 has no marks assigned", "Question Q2 has no marks assigned", "Total marks is 0"]),
        ("warnings", ["Question Q1 has very short text (possible OCR issue)"]),
        ("total_marks", 0.0),
        ("question_count", 3),
    ]


def test_validation_and_summary_of_absent_paper():
    pipeline = PaperPipeline(None, None)
    assert list(pipeline.validate_processing(None).items()) == [("valid", False), ("error", "No question paper provided")]
    assert pipeline.get_summary(None) == {"error": "No question paper provided"}


# ---- summary ---------------------------------------------------------------------------


def test_summary_before_and_after_extraction():
    paper = make_paper(("Q1", "First question text", 4), ("Q2", "Second question text", 1.5))
    pipeline = PaperPipeline(None, None)
    summary = pipeline.get_summary(paper)
    assert list(summary.items()) == [
        ("total_questions", 2),
        ("total_marks", 5.5),
        ("question_ids", ["Q1", "Q2"]),
        ("marks_distribution", {"Q1": 4.0, "Q2": 1.5}),
        ("extracted_pages", []),
    ]
    pipeline.extracted_texts = {3: "c", 1: "a"}
    assert pipeline.get_summary(paper)["extracted_pages"] == [3, 1]
    pipeline.extracted_texts = {}
    assert pipeline.get_summary(paper)["extracted_pages"] == []


def test_print_summary_with_issues_warnings_and_previews(capsys):
    paper = make_paper(("Q1", "Short one", 0), ("Q2", TEXT_81, 5), ("Q3", TEXT_80, 2.5))
    assert len(TEXT_80) == 80
    pipeline = PaperPipeline(None, None)
    pipeline.extracted_texts = {1: "page one", 2: "page two"}
    assert pipeline.print_summary(paper) is None
    assert printed(capsys) == [
        "[PaperPipeline] ",
        RULE60,
        "[PaperPipeline] QUESTION PAPER PROCESSING SUMMARY",
        "[PaperPipeline] " + RULE60,
        "[PaperPipeline] Total Questions: 3",
        "[PaperPipeline] Total Marks: 7.5",
        "[PaperPipeline] Processed Pages: [1, 2]",
        "[PaperPipeline] Validation: Issues found",
        "[PaperPipeline]    Question Q1 has no marks assigned",
        "[PaperPipeline] Warnings:",
        "[PaperPipeline]    Question Q1 has very short text (possible OCR issue)",
        "[PaperPipeline] ",
        "Questions Overview:",
        "[PaperPipeline]    Q1: Short one (0.0 marks)",
        f"[PaperPipeline]    Q2: {TEXT_80}... (5.0 marks)",
        f"[PaperPipeline]    Q3: {TEXT_80} (2.5 marks)",
        "[PaperPipeline] " + RULE60,
    ]


def test_print_summary_passed_with_warnings_only(capsys):
    preview = "ब" * 81  # cut by characters, not bytes
    paper = make_paper(("Q1", "Tiny", 2), ("Q2", preview, 3))
    PaperPipeline(None, None).print_summary(paper)
    lines = printed(capsys)
    assert lines[5:13] == [
        "[PaperPipeline] Total Marks: 5.0",
        "[PaperPipeline] Processed Pages: []",
        "[PaperPipeline] Validation: Passed",
        "[PaperPipeline] Warnings:",
        "[PaperPipeline]    Question Q1 has very short text (possible OCR issue)",
        "[PaperPipeline] ",
        "Questions Overview:",
        "[PaperPipeline]    Q1: Tiny (2.0 marks)",
    ]
    assert lines[13] == f"[PaperPipeline]    Q2: {'ब' * 80}... (3.0 marks)"


def test_print_summary_uses_the_instance_operations(capsys):
    pipeline = PaperPipeline(None, None)
    pipeline.get_summary = lambda paper: {"error": "replaced"}
    pipeline.print_summary(make_paper())
    assert printed(capsys) == ["[PaperPipeline] Error: replaced"]
    del pipeline.get_summary
    pipeline.print_summary(None)
    assert printed(capsys) == ["[PaperPipeline] Error: No question paper provided"]


# ---- evaluation input record -----------------------------------------------------------


def test_input_data_format_uses_the_question_own_identifier():
    paper = make_paper()
    paper.add_question("K1", Question(q_id="X1", text="Stored under another key", max_marks=1))
    record = PaperPipeline(None, None).get_input_data_format(paper)
    assert list(record) == ["class", "subject", "answer_pages", "questions"]
    assert record["answer_pages"] == ""
    assert list(record["questions"][0].items()) == [
        ("qid", "X1"),
        ("question", "Stored under another key"),
        ("max_marks", 1.0),
        ("student_answer", ""),
        ("ref_answer", ""),
        ("rubric", []),
    ]


@pytest.mark.parametrize("method", ["get_input_data_format", "save_to_file"])
def test_conversion_and_saving_need_a_paper(tmp_path, method):
    args = (None, str(tmp_path / "x.json")) if method == "save_to_file" else (None,)
    with pytest.raises(ValueError, match=r"^Question paper cannot be None\.$"):
        getattr(PaperPipeline(None, None), method)(*args)
    assert list(tmp_path.iterdir()) == []


# ---- saving ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fmt, expected",
    [("json", EXPECTED_JSON), ("JSON", EXPECTED_JSON), ("jSoN", EXPECTED_JSON), ("txt", EXPECTED_TEXT), ("markdown", EXPECTED_TEXT)],
)
def test_saved_files_byte_for_byte(tmp_path, capsys, fmt, expected):
    target = tmp_path / "out" / "nested" / "paper.out"
    PaperPipeline(None, None).save_to_file(saved_paper(), str(target), "pages 3-4", fmt)
    assert target.read_bytes() == expected.encode("utf-8")
    assert printed(capsys) == [f"[PaperPipeline] Saved processed data to: {target}"]
    assert sorted(p.name for p in target.parent.iterdir()) == ["paper.out"]


def test_default_format_is_json_and_answer_pages_empty(tmp_path):
    target = tmp_path / "paper.json"
    PaperPipeline(None, None).save_to_file(saved_paper(), str(target))
    assert target.read_text(encoding="utf-8") == EXPECTED_JSON.replace('"pages 3-4"', '""')


def test_text_layout_leaves_out_empty_subject_and_class(tmp_path):
    paper = make_paper(("Q1", "Define force.", 1), subject="", class_level=None)
    target = tmp_path / "paper.txt"
    PaperPipeline(None, None).save_to_file(paper, str(target), format="txt")
    assert target.read_text(encoding="utf-8") == (
        "PROCESSED QUESTION PAPER\n" + "=" * 50 + "\n\n"
        "Total Questions: 1\nTotal Marks: 1.0\n\n"
        "Question 1: Q1\nMarks: 1.0\nText: Define force.\n" + "-" * 40 + "\n\n"
    )


def test_path_without_folder_writes_into_current_directory(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    PaperPipeline(None, None).save_to_file(saved_paper(), "paper.json")
    assert [p.name for p in tmp_path.iterdir()] == ["paper.json"]
    assert printed(capsys) == ["[PaperPipeline] Saved processed data to: paper.json"]


def old_file(tmp_path):
    target = tmp_path / "paper.json"
    target.write_text("previous contents", encoding="utf-8")
    return target


def test_failed_write_leaves_old_file_and_no_partial_one(tmp_path, capsys):
    # Writes past the file size limit fail with EFBIG, for root too: the classic way
    # to stop a write halfway through.
    target = old_file(tmp_path)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100, hard))
    try:
        with pytest.raises(OSError) as err:
            PaperPipeline(None, None).save_to_file(saved_paper(), str(target))
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, previous)
    assert err.value.errno == 27  # EFBIG
    assert err.value.filename == str(target)
    assert target.read_text(encoding="utf-8") == "previous contents"
    assert [p.name for p in tmp_path.iterdir()] == ["paper.json"]
    assert printed(capsys) == []


def test_failed_encoding_leaves_old_file(tmp_path, capsys):
    target = old_file(tmp_path)
    with pytest.raises(TypeError):
        PaperPipeline(None, None).save_to_file(saved_paper(), str(target), object())
    assert target.read_text(encoding="utf-8") == "previous contents"
    assert [p.name for p in tmp_path.iterdir()] == ["paper.json"]
    assert printed(capsys) == []


def test_directory_in_the_way_fails_cleanly(tmp_path, capsys):
    target = tmp_path / "paper.json"
    target.mkdir()
    (target / "keep").write_text("x")
    with pytest.raises(IsADirectoryError):
        PaperPipeline(None, None).save_to_file(saved_paper(), str(target))
    assert [p.name for p in tmp_path.iterdir()] == ["paper.json"]
    assert (target / "keep").read_text() == "x"
    assert printed(capsys) == []


def test_save_uses_the_instance_conversion(tmp_path):
    pipeline = PaperPipeline(None, None)
    pipeline.get_input_data_format = lambda paper, pages: {"replaced": pages}
    pipeline.save_to_file(saved_paper(), str(tmp_path / "x.json"), "p1")
    assert (tmp_path / "x.json").read_text(encoding="utf-8") == '{\n    "replaced": "p1"\n}'
