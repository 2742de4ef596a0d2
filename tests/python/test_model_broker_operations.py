"""ModelBroker's language-model operations: prompts, results, failures, argument checks.

Most tests replace ``_make_api_call`` / ``_make_api_call_async`` on the instance with a
recorder; the last group drives the real openai client against the loopback fake server.
"""

import asyncio
import copy
import pathlib
import re
import types
from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import pytest

from tovrane_core import model_broker as mb
from tovrane_core.datastructures import (Answersheet, Criterion, Question, QuestionPaper,
                                         Rubric)
import tovrane_core.datastructures.question_paper as question_paper_module
from support.broker_fakes import close_token_logger, make_broker  # noqa: F401  (fixture)

GOLDEN = pathlib.Path(__file__).parent / "golden"
MODES = ["sync", "async"]


def golden(name):
    return (GOLDEN / name).read_bytes().decode("utf-8")


def completion(parsed):
    return SimpleNamespace(choices=[SimpleNamespace(message=SimpleNamespace(parsed=parsed))])


class Recorder:
    """Stands in for both call paths: records the keyword arguments, then answers or fails."""

    def __init__(self, parsed=None, error=None):
        self.parsed, self.error, self.calls = parsed, error, []

    def __call__(self, **kwargs):
        self.calls.append(kwargs)
        if self.error is not None:
            raise self.error
        return completion(self.parsed)

    async def call_async(self, **kwargs):
        await asyncio.sleep(0)
        return self(**kwargs)


@pytest.fixture(scope="module")
def shared_broker(tmp_path_factory):
    # Construction makes two service clients; one broker serves the module.
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("OPENAI_API_KEY", "sk-test-operations")
        shared = mb.ModelBroker(token_log_file=str(tmp_path_factory.mktemp("ops") / "usage.log"))
    yield shared
    close_token_logger()


@pytest.fixture
def broker(shared_broker):
    yield shared_broker
    vars(shared_broker).pop("_make_api_call", None)
    vars(shared_broker).pop("_make_api_call_async", None)


def install(broker, parsed=None, error=None):
    recorder = Recorder(parsed, error)
    broker._make_api_call = recorder
    broker._make_api_call_async = recorder.call_async
    return recorder


def run(broker, mode, name, *args, **kwargs):
    if mode == "sync":
        return getattr(broker, name)(*args, **kwargs)
    return asyncio.run(getattr(broker, name + "_async")(*args, **kwargs))


def paper_of(*questions, subject="Science", language="English", class_level="Class 8", cls=QuestionPaper):
    paper = cls(subject=subject, language=language, class_level=class_level)
    for q_id, text in questions:
        paper.add_question(Question(q_id=q_id, text=text, max_marks=1.0))
    return paper


def rubric_of(*criteria):
    return Rubric([Criterion(statement=s, mark=m) for s, m in criteria])


# --- Prompts ---------------------------------------------------------------------------

PHOTOSYNTHESIS = rubric_of(("Names chlorophyll as the pigment", 2.0), ("States that sunlight is needed", 1.0))
EVALUATION_RUBRIC = rubric_of(("Mentions sunlight", 2.0), ("Names chlorophyll", 1.0),
                              ("States glucose is produced", 2.0))

# (operation, arguments, response model, task name, golden stem, system golden or None, info golden)
PROMPT_CASES = [
    pytest.param("parseQuestionPaper",
                 lambda: ({10: "Q3. Define power. [2 marks]", 2: "Q2. State Ohm’s law in {language}. (3)",
                           1: "Q1. What is 2 + 2? (1)\nप्रश्न 1"}, "Physics", "English", "Class 8"),
                 "QuestionPaperResponse", "parse_question_paper", "parse_question_paper.pages_10_2_1",
                 "parse_question_paper.pages_10_2_1.system", id="paper-pages-10-2-1"),
    pytest.param("parseQuestionPaper", lambda: ({}, "Mathematics", "Hindi", "Grade 10"),
                 "QuestionPaperResponse", "parse_question_paper", "parse_question_paper.empty",
                 "parse_question_paper.empty.system", id="paper-no-pages"),
    pytest.param("generateRubric", lambda: ("Explain photosynthesis.", 4, "Class 8", "Science"),
                 "RubricResponse", "generate_rubric", "generate_rubric.not_provided",
                 "generate_rubric.system", id="rubric-not-provided"),
    pytest.param("generateRubric", lambda: ("Define osmosis.", 2.5, "Grade 10", "Biology", "   "),
                 "RubricResponse", "generate_rubric", "generate_rubric.blank_reference",
                 "generate_rubric.system", id="rubric-blank-reference"),
    pytest.param("generateRefAnswer", lambda: ("Explain photosynthesis.", PHOTOSYNTHESIS, "Class 8", "Science"),
                 "ReferenceAnswerResponse", "generate_reference_answer", "generate_ref_answer.criteria",
                 "generate_ref_answer.criteria.system", id="ref-answer"),
    pytest.param("generateRefAnswer", lambda: ("What is 7 × 8?", Rubric([]), "Class 3", "Mathematics"),
                 "ReferenceAnswerResponse", "generate_reference_answer", "generate_ref_answer.no_criteria",
                 "generate_ref_answer.no_criteria.system", id="ref-answer-no-criteria"),
    pytest.param("parseAnswersheet",
                 lambda: ({3: "2(a) Force is a push or pull.", 1: "Q1 x = ±2"},
                          paper_of(("Q1", "Solve x^2 = 4."), ("2(a)", "Define force."))),
                 "AnswersheetResponse", "parse_answersheet", "parse_answersheet.two_questions",
                 "parse_answersheet.system", id="sheet"),
    pytest.param("parseAnswersheet", lambda: ({}, paper_of()),
                 "AnswersheetResponse", "parse_answersheet", "parse_answersheet.no_questions",
                 "parse_answersheet.system", id="sheet-no-questions"),
    pytest.param("evaluateAnswer",
                 lambda: ("Plants use sunlight to make food.", "Explain photosynthesis.", EVALUATION_RUBRIC,
                          "Plants make glucose from sunlight, water and CO₂ using chlorophyll."),
                 "EvaluationResponse", "evaluate_answer", "evaluate_answer.three_criteria",
                 "evaluate_answer.system", id="evaluation"),
    pytest.param("evaluateAnswer", lambda: ("", "Say hello.", Rubric([]), "Hello"),
                 "EvaluationResponse", "evaluate_answer", "evaluate_answer.no_criteria",
                 "evaluate_answer.system", id="evaluation-no-criteria"),
]

MINIMAL_ANSWERS = {
    "QuestionPaperResponse": lambda: mb.QuestionPaperResponse(questions=[]),
    "RubricResponse": lambda: mb.RubricResponse(criteria=[]),
    "ReferenceAnswerResponse": lambda: mb.ReferenceAnswerResponse(reference_answer="ok"),
    "ReferenceAnswerKeysResponse": lambda: mb.ReferenceAnswerKeysResponse(reference_answers=[]),
    "AnswersheetResponse": lambda: mb.AnswersheetResponse(answers=[]),
    "EvaluationResponse": lambda: mb.EvaluationResponse(fulfilled_criteria=[], awarded_marks=0, feedback="ok"),
}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name, args, model, task, stem, system", PROMPT_CASES)
def test_prompts_match_golden(broker, mode, name, args, model, task, stem, system):
    recorder = install(broker, MINIMAL_ANSWERS[model]())
    run(broker, mode, name, *args())
    assert recorder.calls == [{
        "messages": [{"role": "system", "content": golden(system + ".txt")},
                     {"role": "user", "content": golden(stem + ".user.txt")}],
        "task_name": task,
        "response_format": getattr(mb, model),
        "additional_info": golden(stem + ".info.txt"),
    }]


@pytest.mark.parametrize("stem, args", [
    ("two_questions", lambda: ({2: "2. Paris", 1: "1. 4"},
                               paper_of(("Q1", "What is 2 + 2?"), ("Q2", "Name the capital of France.")))),
    ("no_questions", lambda: ({1: "1. 4"}, paper_of())),
])
def test_answer_key_prompt_is_one_user_message_without_additional_info(broker, stem, args):
    recorder = install(broker, MINIMAL_ANSWERS["ReferenceAnswerKeysResponse"]())
    assert broker.parseReferenceAnswers(*args()) == {}
    assert recorder.calls == [{
        "messages": [{"role": "user", "content": golden(f"parse_reference_answers.{stem}.user.txt")}],
        "task_name": "extract_reference_answer",
        "response_format": mb.ReferenceAnswerKeysResponse,
    }]


@pytest.mark.parametrize("max_marks, shown", [(True, "1.0"), (Fraction(9, 2), "4.5"), (Decimal("7"), "7.0"),
                                              (0.1 + 0.2, "0.30000000000000004"), (10**3, "1000.0")])
def test_rubric_max_marks_is_any_number_shown_as_python_float(broker, max_marks, shown):
    recorder = install(broker, mb.RubricResponse(criteria=[]))
    broker.generateRubric("Q", max_marks, "Class 8", "Science")
    call = recorder.calls[0]
    assert f"Maximum Marks: {shown}\n" in call["messages"][1]["content"]
    assert f"sum to {shown}\n" in call["messages"][1]["content"]
    assert call["additional_info"] == f"Question marks: {shown}, Subject: Science"


def test_rubric_reference_answer_is_inserted_when_given(broker):
    recorder = install(broker, mb.RubricResponse(criteria=[]))
    broker.generateRubric(question="Q", max_marks=1, class_level="C", subject="S", reference_answer="Water boils.")
    assert "\n        Reference Answer: Water boils.\n" in recorder.calls[0]["messages"][1]["content"]


def test_criterion_marks_are_rendered_with_str(broker):
    # Integral marks print without ".0": the prompt shows what the rubric holds.
    rubric = SimpleNamespace(criteria=[SimpleNamespace(statement="Names it", mark=2, is_fulfilled=False,
                                                       set_fulfill=lambda flag: None)])
    recorder = install(broker, mb.ReferenceAnswerResponse(reference_answer="ok"))
    broker.generateRefAnswer("Q", rubric, "C", "S")
    assert "\n        - Names it (2 marks)\n" in recorder.calls[0]["messages"][1]["content"]


# --- Results ---------------------------------------------------------------------------

class SpyPaper(QuestionPaper):
    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.add_calls, self.reference_calls = [], []

    def add_question(self, *args):
        self.add_calls.append(args)
        return super().add_question(*args)

    def add_reference_answer(self, q_id, text):
        self.reference_calls.append((q_id, text))
        return super().add_reference_answer(q_id, text)


@pytest.mark.parametrize("mode", MODES)
def test_question_paper_is_built_from_the_answer(broker, monkeypatch, mode):
    monkeypatch.setattr(question_paper_module, "QuestionPaper", SpyPaper)
    install(broker, SimpleNamespace(questions=[
        SimpleNamespace(q_id="Q1", question_text="What is 2 + 2?", max_marks=3),
        SimpleNamespace(q_id="2(a)", question_text="Define force.", max_marks=0),
    ]))
    paper = run(broker, mode, "parseQuestionPaper", {1: "p"}, "Physics", "English", "Class 9")
    assert isinstance(paper, SpyPaper)
    assert (paper.subject, paper.language, paper.class_level) == ("Physics", "English", "Class 9")
    assert list(paper.get_question_ids()) == ["Q1", "2(a)"]
    marks = [paper.get_question(q).max_marks for q in ("Q1", "2(a)")]
    assert marks == [3.0, 0.0] and all(type(m) is float for m in marks)
    assert paper.get_question("2(a)").text == "Define force."
    # The synchronous form adds the question alone, the coroutine passes the identifier too.
    if mode == "sync":
        assert [len(a) for a in paper.add_calls] == [1, 1]
    else:
        assert [(a[0], a[1].q_id) for a in paper.add_calls] == [("Q1", "Q1"), ("2(a)", "2(a)")]


@pytest.mark.parametrize("mode", MODES)
def test_empty_question_list_gives_an_empty_paper(broker, mode):
    install(broker, mb.QuestionPaperResponse(questions=[]))
    paper = run(broker, mode, "parseQuestionPaper", {}, "S", "L", "C")
    assert list(paper.get_question_ids()) == []


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("criteria", [[("Names the law", 3), ("Gives an example", 4)], []])
def test_rubric_is_built_as_returned(broker, mode, criteria):
    install(broker, SimpleNamespace(criteria=[SimpleNamespace(statement=s, mark=m) for s, m in criteria]))
    rubric = run(broker, mode, "generateRubric", "Q", 5, "C", "S")
    assert isinstance(rubric, Rubric)
    got = [(c.statement, c.mark) for c in rubric.criteria]
    assert got == criteria  # not scaled to max_marks
    assert all(type(c.mark) is float for c in rubric.criteria)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("answer", ["Mitochondria make ATP.", None])
def test_reference_answer_is_returned(broker, mode, answer):
    install(broker, SimpleNamespace(reference_answer=answer))
    assert run(broker, mode, "generateRefAnswer", "Q", Rubric([]), "C", "S") == answer


@pytest.mark.parametrize("mode", MODES)
def test_answersheet_keeps_only_answers_to_questions_of_the_paper(broker, mode):
    paper = paper_of(("Q1", "Solve."), ("Q2", "Define."), subject="Physics", language="English",
                     class_level="Class 9")
    install(broker, mb.AnswersheetResponse(answers=[
        mb.StudentAnswerModel(q_id="Q1", answer_text="x = 2", page_numbers=[1, 2]),
        mb.StudentAnswerModel(q_id="Unknown", answer_text="?", page_numbers=[3]),
        mb.StudentAnswerModel(q_id="Z9", answer_text="stray", page_numbers=[3]),
        mb.StudentAnswerModel(q_id="Q2", answer_text="F = ma", page_numbers=[2]),
    ]))
    sheet = run(broker, mode, "parseAnswersheet", {1: "a", 2: "b"}, paper)
    assert isinstance(sheet, Answersheet)
    assert (sheet.subject, sheet.language, sheet.class_level) == ("Physics", "English", "Class 9")
    assert list(sheet.get_question_ids()) == ["Q1", "Q2"]
    first = sheet.get_answer("Q1")
    assert (first.q_id, first.text, list(first.pages)) == ("Q1", "x = 2", [1, 2])


def test_answer_key_fills_the_paper_and_keeps_the_later_of_repeated_answers(broker):
    paper = paper_of(("Q1", "2 + 2?"), ("Q2", "Capital of France?"), cls=SpyPaper)
    install(broker, mb.ReferenceAnswerKeysResponse(reference_answers=[
        mb.ReferenceAnswerModel(q_id="Q1", reference_answer="4"),
        mb.ReferenceAnswerModel(q_id="Z9", reference_answer="not ours"),
        mb.ReferenceAnswerModel(q_id="Q2", reference_answer="Paris"),
        mb.ReferenceAnswerModel(q_id="Q1", reference_answer="four"),
    ]))
    result = broker.parseReferenceAnswers({1: "key"}, paper)
    assert result == {"Q1": "four", "Q2": "Paris"}
    assert paper.reference_calls == [("Q1", "4"), ("Q2", "Paris"), ("Q1", "four")]
    assert paper.get_question("Q1").reference_answer == "four"


# --- Evaluation ------------------------------------------------------------------------

def evaluation_answer(indices, awarded=0.0, feedback="You named the light source."):
    return mb.EvaluationResponse(fulfilled_criteria=indices, awarded_marks=awarded, feedback=feedback)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("indices, flags, awarded", [
    ([0, 2], [True, False, True], 4.0),
    ([0, 0, 7], [True, False, False], 2.0),  # repeats count once, strays are ignored
    ([], [False, False, False], 0),
])
def test_evaluation_marks_a_copy_and_sums_the_fulfilled_criteria(broker, mode, indices, flags, awarded):
    rubric = rubric_of(("a", 2.0), ("b", 1.0), ("c", 2.0))
    rubric.criteria[1].set_fulfill(True)  # left over from an earlier evaluation
    answer = evaluation_answer(indices, awarded=99.0)
    install(broker, answer)
    record = run(broker, mode, "evaluateAnswer", "ans", "Q", rubric, "ref")
    expected_keys = ["rubric", "awarded_marks", "feedback"]
    if mode == "async":
        expected_keys += ["total_marks", "fulfilled_criteria_indices"]
        assert record["total_marks"] == 5.0
        assert record["fulfilled_criteria_indices"] == indices
    assert list(record) == expected_keys
    assert record["awarded_marks"] == awarded  # the model's 99.0 is not used
    assert record["feedback"] == "You named the light source."
    marked = record["rubric"]
    assert marked is not rubric and marked.criteria[0] is not rubric.criteria[0]
    assert [c.is_fulfilled for c in marked.criteria] == flags
    assert [c.is_fulfilled for c in rubric.criteria] == [False, True, False]


@pytest.mark.parametrize("mode", MODES)
def test_evaluation_without_criteria(broker, mode):
    recorder = install(broker, evaluation_answer([0]))
    record = run(broker, mode, "evaluateAnswer", "ans", "Q", Rubric([]), "ref")
    assert record["awarded_marks"] == 0
    assert recorder.calls[0]["additional_info"] == "Max marks: 0"
    if mode == "async":
        assert record["total_marks"] == 0


def test_evaluation_uses_copy_deepcopy(broker, monkeypatch):
    copies = []

    def spy(obj, memo=None):
        copies.append(obj)
        return copy_deepcopy(obj, memo)

    copy_deepcopy = copy.deepcopy
    monkeypatch.setattr(copy, "deepcopy", spy)
    rubric = rubric_of(("a", 1.0))
    install(broker, evaluation_answer([0]))
    broker.evaluateAnswer("ans", "Q", rubric, "ref")
    assert copies[0] is rubric


# --- Failures --------------------------------------------------------------------------

FAILING_CALLS = [
    ("parseQuestionPaper", lambda: ({1: "p"}, "S", "L", "C"), "Failed to parse question paper: ",
     "Failed to parse question paper: "),
    ("generateRubric", lambda: ("Q", 2, "C", "S"), "Failed to generate rubric: ", "Failed to generate rubric: "),
    ("generateRefAnswer", lambda: ("Q", Rubric([]), "C", "S"), "Failed to generate reference answer: ",
     "Failed to generate reference answer (async): "),
    ("parseAnswersheet", lambda: ({1: "p"}, paper_of(("Q1", "t"))), "Failed to parse answersheet: ",
     "Failed to parse answersheet: "),
    ("evaluateAnswer", lambda: ("a", "Q", rubric_of(("x", 1.0)), "r"), "Failed to evaluate answer: ",
     "Failed to evaluate answer: "),
]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name, args, sync_prefix, async_prefix", FAILING_CALLS)
def test_service_errors_are_wrapped_with_the_operation_prefix(broker, mode, name, args, sync_prefix, async_prefix):
    cause = ConnectionError("service unavailable (503)")
    install(broker, error=cause)
    with pytest.raises(RuntimeError) as info:
        run(broker, mode, name, *args())
    prefix = sync_prefix if mode == "sync" else async_prefix
    assert str(info.value) == prefix + "service unavailable (503)"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name, args, sync_prefix, async_prefix", FAILING_CALLS)
def test_unusable_answers_are_wrapped_too(broker, mode, name, args, sync_prefix, async_prefix):
    install(broker, SimpleNamespace())  # parsed answer without any field
    prefix = sync_prefix if mode == "sync" else async_prefix
    with pytest.raises(RuntimeError, match="^" + re.escape(prefix) + ".*has no attribute"):
        run(broker, mode, name, *args())


def test_reference_answer_of_another_type_is_a_failure(broker):
    install(broker, SimpleNamespace(reference_answer=42))
    with pytest.raises(RuntimeError, match="^Failed to generate reference answer: .*int"):
        broker.generateRefAnswer("Q", Rubric([]), "C", "S")


@pytest.mark.parametrize("mode, name, args", [(m, c[0], c[1]) for c in FAILING_CALLS for m in MODES] + [
    ("sync", "parseReferenceAnswers", lambda: ({1: "p"}, paper_of(("Q1", "t"))))])
@pytest.mark.parametrize("error", [KeyboardInterrupt, asyncio.CancelledError])
def test_errors_of_no_ordinary_kind_pass_through(broker, capsys, mode, name, args, error):
    install(broker, error=error())
    with pytest.raises(error):
        run(broker, mode, name, *args())
    assert capsys.readouterr().out == ""


class Unprintable:
    def __str__(self):
        raise ValueError("page cannot be rendered")


class Uncopyable:
    criteria = []

    def __deepcopy__(self, memo):
        raise ValueError("rubric cannot be copied")


class BrokenPaper:
    def get_question_ids(self):
        return ["Q1"]

    def get_question(self, q_id):
        raise KeyError(q_id)


@pytest.mark.parametrize("name, args, error", [
    ("parseQuestionPaper", lambda: ({1: Unprintable()}, "S", "L", "C"), ValueError),
    ("parseQuestionPaper", lambda: ({1: "a", "2": "b"}, "S", "L", "C"), TypeError),  # sorted() on mixed keys
    ("parseAnswersheet", lambda: ({}, BrokenPaper()), KeyError),
    ("parseAnswersheet", lambda: ({Unprintable(): "x"}, paper_of()), ValueError),
    ("parseReferenceAnswers", lambda: ({}, BrokenPaper()), KeyError),
    ("evaluateAnswer", lambda: ("a", "Q", Uncopyable(), "r"), ValueError),
    ("generateRefAnswer", lambda: ("Q", SimpleNamespace(criteria=[SimpleNamespace(statement=Unprintable(), mark=1)]),
                                   "C", "S"), ValueError),
])
def test_errors_before_the_call_reach_the_caller_unchanged(broker, name, args, error):
    recorder = install(broker, error=AssertionError("must not be called"))
    with pytest.raises(error):
        getattr(broker, name)(*args())
    assert recorder.calls == []


def test_answer_key_failure_prints_the_last_question_of_the_paper(broker, capsys):
    paper = paper_of(("Q1", "a"), ("Q2", "b"))
    install(broker, error=ConnectionError("timed out"))
    assert broker.parseReferenceAnswers({1: "key"}, paper) == {}
    assert capsys.readouterr().out == "[ModelBroker]: Failed to extract reference answer for Q2: timed out\n"


def test_answer_key_failure_names_the_element_being_stored(broker, capsys):
    class RefusingPaper(SpyPaper):
        def add_reference_answer(self, q_id, text):
            if q_id == "Q1":
                return super().add_reference_answer(q_id, text)
            raise ValueError("read-only question")

    paper = paper_of(("Q1", "a"), ("Q2", "b"), ("Q3", "c"), cls=RefusingPaper)
    install(broker, mb.ReferenceAnswerKeysResponse(reference_answers=[
        mb.ReferenceAnswerModel(q_id="Q1", reference_answer="one"),
        mb.ReferenceAnswerModel(q_id="Q2", reference_answer="two"),
        mb.ReferenceAnswerModel(q_id="Q3", reference_answer="three"),
    ]))
    assert broker.parseReferenceAnswers({1: "key"}, paper) == {"Q1": "one"}
    assert capsys.readouterr().out == \
        "[ModelBroker]: Failed to extract reference answer for Q2: read-only question\n"
    assert paper.get_question("Q1").reference_answer == "one"


def test_answer_key_failure_with_an_empty_paper(broker, capsys):
    install(broker, error=ConnectionError("down"))
    assert broker.parseReferenceAnswers({}, paper_of()) == {}
    assert capsys.readouterr().out == "[ModelBroker]: Failed to extract reference answer for : down\n"


# --- Argument checks -------------------------------------------------------------------

R = Rubric([])
WRONG_ARGUMENTS = [
    ("parseQuestionPaper", ([(1, "p")], "S", "L", "C"), "argument 'extracted_texts' must be dict, not list"),
    ("parseQuestionPaper", ({}, b"S", "L", "C"), "argument 'subject' must be str, not bytes"),
    ("parseQuestionPaper", ({}, "S", None, "C"), "argument 'language' must be str, not NoneType"),
    ("parseQuestionPaper", ({}, "S", "L", 10), "argument 'class_level' must be str, not int"),
    ("parseQuestionPaper", ({}, "S", "L"), "incompatible function arguments"),
    ("generateRubric", (1, 5, "C", "S"), "argument 'question' must be str, not int"),
    ("generateRubric", ("Q", "5", "C", "S"), "argument 'max_marks' must be a number, not str"),
    ("generateRubric", ("Q", None, "C", "S"), "argument 'max_marks' must be a number, not NoneType"),
    ("generateRubric", ("Q", 5, "C", "S", None), "argument 'reference_answer' must be str, not NoneType"),
    ("generateRubric", ("Q", 5, "C"), "incompatible function arguments"),
    ("generateRefAnswer", ("Q", R, "C", 3), "argument 'subject' must be str, not int"),
    ("generateRefAnswer", ("Q", R, "C", "S", "extra"), "incompatible function arguments"),
    ("parseAnswersheet", (types.MappingProxyType({}), paper_of()),
     "argument 'extracted_texts' must be dict, not mappingproxy"),
    ("evaluateAnswer", ("a", "Q", R, 1.5), "argument 'reference_answer' must be str, not float"),
    ("evaluateAnswer", (["a"], "Q", R, "r"), "argument 'student_answer' must be str, not list"),
]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name, args, message", WRONG_ARGUMENTS)
def test_wrong_arguments_are_type_errors_before_any_call(broker, mode, name, args, message):
    recorder = install(broker, error=AssertionError("must not be called"))
    method = getattr(broker, name if mode == "sync" else name + "_async")
    with pytest.raises(TypeError, match=re.escape(message)):
        method(*args)  # the coroutine twin refuses at call time, before anything is awaited
    assert recorder.calls == []


def test_answer_key_arguments_are_checked(broker):
    recorder = install(broker, error=AssertionError("must not be called"))
    with pytest.raises(TypeError, match="argument 'extracted_texts' must be dict, not str"):
        broker.parseReferenceAnswers("page", paper_of())
    with pytest.raises(TypeError):
        broker.parseReferenceAnswers({})
    assert recorder.calls == []


def test_operations_accept_dict_subclasses_and_keywords(broker):
    from collections import OrderedDict
    recorder = install(broker, mb.QuestionPaperResponse(questions=[]))
    broker.parseQuestionPaper(extracted_texts=OrderedDict([(2, "b"), (1, "a")]), subject="S", language="L",
                              class_level="C")
    user = recorder.calls[0]["messages"][1]["content"]
    assert user.index("--- Page 1 ---\na\n") < user.index("--- Page 2 ---\nb\n")


@pytest.mark.parametrize("mode", MODES)
def test_texts_python_can_render_reach_the_prompt_unchanged(broker, mode):
    # A lone surrogate (a file decoded with surrogateescape, say) is text to str();
    # the prompt must carry it as Python would, not fail before the call.
    recorder = install(broker, mb.QuestionPaperResponse(questions=[]))
    run(broker, mode, "parseQuestionPaper", {1: "x\udcff y"}, "Science", "English", "Class 8")
    assert "--- Page 1 ---\nx\udcff y\n" in recorder.calls[0]["messages"][1]["content"]

    recorder = install(broker, mb.RubricResponse(criteria=[]))
    run(broker, mode, "generateRubric", "Why\udc80?", 2, "Class 8", "Sci\udc81")
    call = recorder.calls[0]
    assert "Question: Why\udc80?\n" in call["messages"][1]["content"]
    assert call["additional_info"] == "Question marks: 2.0, Subject: Sci\udc81"


def test_coroutine_twins_are_coroutines(broker):
    install(broker, mb.RubricResponse(criteria=[]))
    coro = broker.generateRubric_async("Q", 1, "C", "S")
    assert asyncio.iscoroutine(coro)
    assert isinstance(asyncio.run(coro), Rubric)


# --- Through the official client and the fake service ----------------------------------

PAPER_PAGES = {10: "Q3. Define power. [2 marks]", 2: "Q2. State Ohm’s law in {language}. (3)",
               1: "Q1. What is 2 + 2? (1)\nप्रश्न 1"}

# (operation, arguments, service answer, schema, golden user prompt, check of the result)
END_TO_END = [
    pytest.param("parseQuestionPaper", lambda: (PAPER_PAGES, "Physics", "English", "Class 8"),
                 {"questions": [{"q_id": "Q1", "question_text": "What is 2 + 2?", "max_marks": 1},
                                {"q_id": "Q2", "question_text": "State Ohm’s law.", "max_marks": 3}]},
                 "QuestionPaperResponse", "parse_question_paper.pages_10_2_1",
                 lambda paper: [(q, paper.get_question(q).max_marks) for q in paper.get_question_ids()]
                 == [("Q1", 1.0), ("Q2", 3.0)], id="paper"),
    pytest.param("generateRubric", lambda: ("Explain photosynthesis.", 4, "Class 8", "Science"),
                 {"criteria": [{"statement": "Names chlorophyll", "mark": 2},
                               {"statement": "Mentions sunlight", "mark": 2}]},
                 "RubricResponse", "generate_rubric.not_provided",
                 lambda rubric: [(c.statement, c.mark) for c in rubric.criteria]
                 == [("Names chlorophyll", 2.0), ("Mentions sunlight", 2.0)], id="rubric"),
    pytest.param("generateRefAnswer", lambda: ("Explain photosynthesis.", PHOTOSYNTHESIS, "Class 8", "Science"),
                 {"reference_answer": "Plants use light to make glucose."},
                 "ReferenceAnswerResponse", "generate_ref_answer.criteria",
                 lambda answer: answer == "Plants use light to make glucose.", id="ref-answer"),
    pytest.param("parseAnswersheet",
                 lambda: ({3: "2(a) Force is a push or pull.", 1: "Q1 x = ±2"},
                          paper_of(("Q1", "Solve x^2 = 4."), ("2(a)", "Define force."))),
                 {"answers": [{"q_id": "2(a)", "answer_text": "A push or pull.", "page_numbers": [3]},
                              {"q_id": "Unknown", "answer_text": "?", "page_numbers": [1]}]},
                 "AnswersheetResponse", "parse_answersheet.two_questions",
                 lambda sheet: list(sheet.get_question_ids()) == ["2(a)"]
                 and list(sheet.get_answer("2(a)").pages) == [3], id="sheet"),
    pytest.param("evaluateAnswer",
                 lambda: ("Plants use sunlight to make food.", "Explain photosynthesis.", EVALUATION_RUBRIC,
                          "Plants make glucose from sunlight, water and CO₂ using chlorophyll."),
                 {"fulfilled_criteria": [0, 2], "awarded_marks": 5, "feedback": "You covered light and glucose."},
                 "EvaluationResponse", "evaluate_answer.three_criteria",
                 lambda record: record["awarded_marks"] == 4.0
                 and [c.is_fulfilled for c in record["rubric"].criteria] == [True, False, True], id="evaluation"),
]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name, args, answer, schema, stem, check", END_TO_END)
def test_end_to_end_through_the_service(fake_openai, make_broker, mode, name, args, answer, schema, stem, check):
    broker = make_broker()
    fake_openai.enqueue(content=answer)
    assert check(run(broker, mode, name, *args()))
    request = fake_openai.requests[-1]
    assert request.schema_name == schema
    assert [m["role"] for m in request.messages] == ["system", "user"]
    assert request.messages[1]["content"] == golden(stem + ".user.txt")


def test_answer_key_end_to_end(fake_openai, make_broker):
    broker = make_broker()
    paper = paper_of(("Q1", "What is 2 + 2?"), ("Q2", "Name the capital of France."))
    fake_openai.enqueue(content={"reference_answers": [{"q_id": "Q2", "reference_answer": "Paris"}]})
    assert broker.parseReferenceAnswers({2: "2. Paris", 1: "1. 4"}, paper) == {"Q2": "Paris"}
    assert paper.get_question("Q2").reference_answer == "Paris"
    assert fake_openai.requests[-1].schema_name == "ReferenceAnswerKeysResponse"
    assert fake_openai.requests[-1].messages == [
        {"role": "user", "content": golden("parse_reference_answers.two_questions.user.txt")}]


@pytest.mark.parametrize("mode", MODES)
def test_answer_outside_the_schema_fails_the_evaluation(fake_openai, make_broker, mode):
    broker = make_broker()
    fake_openai.enqueue(content={"fulfilled_criteria": [0], "awarded_marks": 1})  # no feedback
    with pytest.raises(RuntimeError, match="(?s)^Failed to evaluate answer: .*feedback"):
        run(broker, mode, "evaluateAnswer", "a", "Q", EVALUATION_RUBRIC, "r")
