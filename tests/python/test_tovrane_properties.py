"""The facade's JSON import and create_rubric_from_dict under arbitrary input: every value
gives either a clean ValidationError or exactly the paper (or rubric) the record describes,
never a crash, another error type, or a paper that differs from its record."""

import json
import math

import pytest
from hypothesis import example, given, strategies as st

from support.properties import any_float, any_int, any_json, any_text, as_number, has_surrogate
from tovrane_core.datastructures import Rubric
from tovrane_core.tovrane import Tovrane, TovraneConfig, ValidationError


@pytest.fixture(scope="module")
def tovrane(tmp_path_factory):
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("OPENAI_API_KEY", "sk-test-properties")
        mp.setenv("TOVRANE_EXTRACTOR", "local")
        for key in ("MATHPIX_APP_ID", "MATHPIX_APP_KEY", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY",
                    "GEMINI_API_KEY"):
            mp.delenv(key, raising=False)
        t = Tovrane()
        t.configure(TovraneConfig(token_log_file=str(tmp_path_factory.mktemp("log") / "usage.log")))
        yield t


class Refused(Exception):
    pass


def plain_text(value):
    """A text the document model holds: str, and encodable (no lone surrogates)."""
    return isinstance(value, str) and not has_surrogate(value)


def mark_of(value, positive):
    number = as_number(value)
    if number is None or number > 1000 or number < 0 or (positive and number == 0):
        raise Refused
    return number


def expected_criteria(entries, statement_as_text):
    if not isinstance(entries, list):
        raise Refused
    out = []
    for entry in entries:
        if not isinstance(entry, dict) or "statement" not in entry or "mark" not in entry:
            raise Refused
        statement = str(entry["statement"]) if statement_as_text else entry["statement"]
        if not plain_text(statement):
            raise Refused
        out.append((statement, mark_of(entry["mark"], positive=False)))
    return out


def expected_paper(record):
    """The paper an import of `record` must give, as plain values; Refused when it must fail."""
    if isinstance(record, str):
        try:
            record = json.loads(record)
        except ValueError:
            raise Refused
    if not isinstance(record, dict) or not all(k in record for k in ("subject", "class_level", "questions")):
        raise Refused
    heading = (record["subject"], record.get("language", "English"), record["class_level"])
    if not all(v is None or plain_text(v) for v in heading):
        raise Refused
    questions = record["questions"]
    if not isinstance(questions, list) or not questions:
        raise Refused
    out = []
    for q in questions:
        if not isinstance(q, dict) or not all(k in q for k in ("q_id", "question_text", "max_marks")):
            raise Refused
        if not all(plain_text(q[k]) and q[k].strip() for k in ("q_id", "question_text")):
            raise Refused
        marks = mark_of(q["max_marks"], positive=True)
        rubric = None
        if q.get("rubric"):
            if not isinstance(q["rubric"], dict) or "criteria" not in q["rubric"]:
                raise Refused
            rubric = expected_criteria(q["rubric"]["criteria"], statement_as_text=False)
        reference = q.get("reference_answer") or None
        if reference is not None and not plain_text(reference):
            raise Refused
        out.append((q["q_id"], q["question_text"], marks, rubric, reference))
    ids = [q[0] for q in out]
    if len(set(ids)) != len(ids):
        raise Refused
    return heading, out


def actual_paper(paper):
    questions = []
    for q_id in paper.get_question_ids():
        q = paper.get_question(q_id)
        rubric = None if q.rubric is None else [(c.statement, c.mark) for c in q.rubric.criteria]
        questions.append((q.q_id, q.text, q.max_marks, rubric, q.reference_answer))
    return (paper.subject, paper.language, paper.class_level), questions


def check_import(tovrane, record):
    try:
        expected = expected_paper(record)
    except Refused:
        expected = None
    try:
        paper = tovrane.question_paper_from_json(record)
    except ValidationError as err:
        assert expected is None, f"refused a valid record: {err}"
        assert str(err)
        return
    assert expected is not None, "imported a record that must be refused"
    assert actual_paper(paper) == expected
    assert paper.get_total_marks() == pytest.approx(math.fsum(q[2] for q in expected[1]))


# Values a model answer or a hand-edited file may hold where a number belongs.
numbers = any_float | any_int | st.booleans() | st.sampled_from(["5", " 2.5 ", "1e3", "1e999", "nan", "-1", "0", "x"])
criterion = st.fixed_dictionaries({"statement": any_text | any_json, "mark": numbers | any_json})
question = st.fixed_dictionaries(
    {"q_id": any_text | any_json, "question_text": any_text, "max_marks": numbers},
    optional={"rubric": st.none() | st.just({}) | st.fixed_dictionaries({"criteria": st.lists(criterion, max_size=3)})
              | any_json,
              "reference_answer": any_text | any_json})
paper_record = st.fixed_dictionaries(
    {"subject": any_text, "class_level": any_text | st.none(), "questions": st.lists(question, max_size=4)},
    optional={"language": any_text | any_json})
# Records that often pass: short ASCII identifiers repeat, so duplicates come up too.
plain_question = st.fixed_dictionaries(
    {"q_id": st.sampled_from(["Q1", "Q2", "Q3", "1a", " Q4 "]), "question_text": st.text(min_size=1),
     "max_marks": st.floats(0.5, 1000) | st.integers(1, 1000)},
    optional={"rubric": st.fixed_dictionaries({"criteria": st.lists(
        st.fixed_dictionaries({"statement": st.text(), "mark": st.floats(0, 1000)}), max_size=3)}),
        "reference_answer": st.text()})
plain_record = st.fixed_dictionaries({"subject": st.text(), "class_level": st.text(),
                                      "questions": st.lists(plain_question, min_size=1, max_size=4)})


@given(record=any_json | paper_record | plain_record)
@example(record={"subject": "S", "class_level": "8",
                 "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": 10**400}]})
@example(record={"subject": "S", "class_level": "8",
                 "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": 2,
                                "rubric": {"criteria": [{"statement": "s", "mark": 10**400}]}}]})
@example(record={"subject": "S", "class_level": "8",
                 "questions": [{"q_id": "Q\ud800", "question_text": "t", "max_marks": 2}]})
@example(record={"subject": "S\udfff", "class_level": "8",
                 "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": 2}]})
@example(record=["subject", "class_level", "questions"])
@example(record="subject class_level questions")
@example(record={"subject": "S", "class_level": "8", "questions": "questions"})
@example(record={"subject": "S", "class_level": "8",
                 "questions": [["q_id", "question_text", "max_marks"]]})
@example(record={"subject": "S", "class_level": "8",
                 "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": "1_000"}]})
@example(record={"subject": "S", "class_level": "8",
                 "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": True,
                                "rubric": ["criteria"], "reference_answer": 0}]})
def test_import_of_any_record_is_its_paper_or_a_validation_error(tovrane, capsys, record):
    check_import(tovrane, record)
    capsys.readouterr()


@given(record=paper_record | plain_record)
def test_import_of_json_text_is_the_import_of_its_record(tovrane, capsys, record):
    # The text route decodes what json.dumps wrote (NaN and Infinity included).
    try:
        text = json.dumps(record)
    except UnicodeEncodeError:
        return
    check_import(tovrane, text)
    capsys.readouterr()


@pytest.mark.parametrize("marks, accepted", [
    (10**400, False), ("1e999", False), (float("nan"), False), ("-0.0", False), (1000, True), (1000.0001, False),
    ("  7.5\n", True), (True, True)], ids=["10**400", "1e999", "nan", "-0.0", "1000", "1000.0001", "text", "True"])
def test_import_max_marks_edges_refused_with_their_own_message(tovrane, capsys, marks, accepted):
    record = {"subject": "S", "class_level": "8", "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": marks}]}
    if accepted:
        assert tovrane.question_paper_from_json(record).get_question("Q1").max_marks == float(marks)
    else:
        with pytest.raises(ValidationError) as err:
            tovrane.question_paper_from_json(record)
        assert str(err.value).startswith("max_marks must be")


# ---- create_rubric_from_dict ---------------------------------------------------------------

def expected_rubric(entries):
    """(statement, mark) per criterion, or the index of the first bad entry."""
    out = []
    for i, entry in enumerate(entries):
        try:
            out.extend(expected_criteria([entry], statement_as_text=True))
        except Refused:
            return i
    return out


@given(entries=st.lists(criterion | any_json, max_size=6))
@example(entries=[{"statement": "ok", "mark": 1}, {"statement": "x", "mark": 10**400}])
@example(entries=[{"statement": "\ud800", "mark": 1}])
@example(entries=[{"statement": {"nested": "\udc80"}, "mark": 1}])
@example(entries=[{"statement": ["a"], "mark": "2"}, {"mark": 1}])
def test_rubric_from_any_list_is_its_criteria_or_names_the_first_bad_one(entries):
    expected = expected_rubric(entries)
    try:
        rubric = Tovrane.create_rubric_from_dict(entries)
    except ValidationError as err:
        assert isinstance(expected, int), f"refused a valid list: {err}"
        # Statements that cannot be held fail in the document model, without an index.
        assert f"Criterion {expected} " in str(err) or str(err).startswith("Failed to create rubric: ")
        return
    assert isinstance(rubric, Rubric)
    assert not isinstance(expected, int), f"accepted a bad criterion at {expected}"
    assert [(c.statement, c.mark) for c in rubric.criteria] == expected


@pytest.mark.parametrize("value", [(), {"statement": "s", "mark": 1}, None, "[]"])
def test_rubric_from_anything_but_a_list_is_a_type_error(value):
    with pytest.raises(TypeError):
        Tovrane.create_rubric_from_dict(value)
