"""SheetPipeline with fake collaborators: PDF processing, evaluation, reporting, saving."""

import asyncio
import json
import os

import pytest

import tovrane_core.ocr_extractor.extractor_client as extractor_module
from tovrane_core.sheet_pipeline import SheetPipeline

P = "[SheetPipeline]: "
RULE60 = "=" * 60


# ---------------------------------------------------------------- fakes


class FakeRubric:
    def __init__(self, criteria, awarded=0):
        self.criteria = criteria
        self.awarded = awarded

    def get_awarded_marks(self):
        return self.awarded

    def to_list(self):
        return [{"statement": c, "fulfilled": True} for c in self.criteria]


class FakeQuestion:
    def __init__(self, q_id, text, max_marks, rubric=None, reference_answer=None):
        self.q_id, self.text, self.max_marks = q_id, text, max_marks
        self.rubric, self.reference_answer = rubric, reference_answer


class FakePaper:
    def __init__(self, questions, subject="Science", class_level="8"):
        self.subject, self.language, self.class_level = subject, "English", class_level
        self.questions = {q.q_id: q for q in questions}

    def get_question_ids(self):
        return list(self.questions)

    def get_question(self, q_id):
        return self.questions[q_id]


class FakeAnswer:
    def __init__(self, q_id, text, pages):
        self.q_id, self.text, self.pages = q_id, text, pages
        self.eval_rubric, self.feedback = None, ""

    def set_eval_rubric(self, rubric):
        self.eval_rubric = rubric

    def set_feedback(self, feedback):
        self.feedback = feedback


class FakeSheet:
    def __init__(self, answers):
        self.answers = {a.q_id: a for a in answers}

    def get_question_ids(self):
        return list(self.answers)

    def get_answer(self, q_id):
        return self.answers[q_id]


class FakeExtractorClass:
    recommended_for = []

    @classmethod
    def get_recommended_extractor_for_subject(cls, subject):
        cls.recommended_for.append(subject)
        return "openai"


class FakeExtractor:
    def __init__(self, pages=None, error=None):
        self.pages = pages if pages is not None else {1: "one", 3: "three"}
        self.error = error
        self.calls = []

    def change_extractor(self, kind):
        self.calls.append(("change_extractor", kind))

    def process_pdf(self, pdf_path, page_numbers):
        self.calls.append(("process_pdf", pdf_path, page_numbers))
        if self.error:
            raise self.error
        return self.pages


class FakeBroker:
    def __init__(self, sheet=None, results=None, evaluation=None, error=None):
        self.sheet, self.results, self.evaluation, self.error = sheet, results, evaluation, error
        self.calls = []

    def parseAnswersheet(self, extracted_texts, question_paper):
        self.calls.append(("parseAnswersheet", extracted_texts))
        if self.error:
            raise self.error
        return self.sheet

    def evaluate_answers_batch_sync(self, requests):
        self.calls.append(("batch", requests))
        if callable(self.results):
            return self.results(requests)
        return self.results

    def evaluateAnswer(self, **kwargs):
        self.calls.append(("evaluateAnswer", kwargs))
        if self.error:
            raise self.error
        return self.evaluation

    async def parseAnswersheet_async(self, extracted_texts, question_paper):
        await asyncio.sleep(0)
        return self.parseAnswersheet(extracted_texts, question_paper)

    async def evaluate_answers_batch_async(self, requests):
        await asyncio.sleep(0)
        self.calls.append(("batch_async", requests))
        return self.results(requests) if callable(self.results) else self.results

    async def evaluateAnswer_async(self, **kwargs):
        await asyncio.sleep(0)
        return self.evaluateAnswer(**kwargs)


@pytest.fixture(autouse=True)
def extractor_class(monkeypatch):
    FakeExtractorClass.recommended_for = []
    monkeypatch.setattr(extractor_module, "ExtractorClient", FakeExtractorClass, raising=False)
    return FakeExtractorClass


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def evaluation(awarded=4.0, feedback="Well done."):
    return {"rubric": FakeRubric(["a", "b"], awarded), "awarded_marks": awarded, "feedback": feedback}


def succeed_all(requests):
    return [{"q_id": r["q_id"], "success": True, "evaluation": evaluation()} for r in requests]


def usable(q_id, max_marks=5.0, text="What is it?"):
    return FakeQuestion(q_id, text, max_marks, FakeRubric(["a", "b"]), "Reference.")


@pytest.fixture
def pdf(tmp_path):
    path = tmp_path / "sheet.pdf"
    path.write_bytes(b"%PDF-1.4\n")
    return str(path)


# ---------------------------------------------------------------- PDF processing


def test_process_pdf_prints_every_step_and_evaluates(pdf, capsys, extractor_class):
    paper = FakePaper([usable("q1"), FakeQuestion("q2", "Why?", 3, None, "Ref"),
                       FakeQuestion("q3", "How?", 2, FakeRubric(["x"]), " \n  \n")])
    sheet = FakeSheet([FakeAnswer("q1", "It is.", [1]), FakeAnswer("q2", "Because.", [1]),
                       FakeAnswer("q3", "Like so.", [3])])
    extractor, broker = FakeExtractor(), FakeBroker(sheet, succeed_all)
    pipeline = SheetPipeline(extractor, broker)
    pages = [3, 1]

    assert pipeline.process_pdf(pdf, paper, pages) is sheet

    assert lines(capsys) == [
        "[SheetPipeline]: Starting complete answersheet processing...",
        "[SheetPipeline]: Processing PDF: " + pdf,
        "[SheetPipeline]: Questions: 3",
        "[SheetPipeline]: Step 1/3: Extracting text from PDF...",
        "[SheetPipeline]: Processing pages: [3, 1]",
        "[SheetPipeline]: Successfully extracted text from 2 pages",
        "[SheetPipeline]: Step 2/3: Parsing student answers using AI...",
        "[SheetPipeline]: Successfully parsed 3 student answers",
        "[SheetPipeline]: Step 3/3: Evaluating all answers...",
        "[SheetPipeline]: Evaluating all 3 student answers using concurrent processing...",
        "[SheetPipeline]:   Skipping q2 - no rubric available",
        "[SheetPipeline]:   Skipping q3 - no reference answer available",
        "[SheetPipeline]:   Processing 1 evaluations concurrently...",
        "[SheetPipeline]:     q1: Awarded 4.0/5.0 marks",
        "[SheetPipeline]: Evaluated 1 answers successfully using concurrent processing",
        "[SheetPipeline]: Complete answersheet processing finished successfully!",
    ]
    assert extractor_class.recommended_for == ["Science"]
    assert extractor.calls == [("change_extractor", "openai"), ("process_pdf", pdf, [3, 1])]
    assert extractor.calls[1][2] is pages
    assert pipeline.extracted_texts is extractor.pages
    assert broker.calls[0] == ("parseAnswersheet", extractor.pages)
    request = broker.calls[1][1][0]
    assert list(request) == ["q_id", "student_answer", "question", "rubric", "reference_answer"]
    assert request["student_answer"] == "It is." and request["question"] == "What is it?"
    q1 = sheet.get_answer("q1")
    assert q1.feedback == "Well done." and q1.eval_rubric.awarded == 4.0
    assert sheet.get_answer("q2").eval_rubric is None


@pytest.mark.parametrize("pages", [None, []])
def test_process_pdf_without_pages_reads_all_and_passes_selection_on(pdf, capsys, pages):
    extractor = FakeExtractor()
    pipeline = SheetPipeline(extractor, FakeBroker(FakeSheet([]), succeed_all))
    result = pipeline.process_pdf(pdf, FakePaper([]), pages)
    out = lines(capsys)
    assert out[4] == "[SheetPipeline]: Processing all pages"
    assert extractor.calls[1][2] == pages and type(extractor.calls[1][2]) is type(pages)
    # An empty answersheet still goes through evaluation.
    assert out[-4:] == [
        "[SheetPipeline]: Step 3/3: Evaluating all answers...",
        "[SheetPipeline]: Evaluating all 0 student answers using concurrent processing...",
        "[SheetPipeline]: No valid questions found for evaluation",
        "[SheetPipeline]: Complete answersheet processing finished successfully!",
    ]
    assert result.get_question_ids() == []


def test_missing_pdf_fails_before_any_output(tmp_path, capsys):
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker())
    missing = str(tmp_path / "nope.pdf")
    for path in (missing, str(tmp_path)):
        with pytest.raises(FileNotFoundError) as err:
            pipeline.process_pdf(path, FakePaper([]))
        assert str(err.value) == "PDF file not found: " + path
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("args", [(b"x.pdf", None), ("x.pdf", (1, 2)), ("x.pdf", 1)])
def test_process_pdf_rejects_wrong_argument_types(args, capsys):
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker())
    with pytest.raises(TypeError):
        pipeline.process_pdf(args[0], FakePaper([]), args[1])
    with pytest.raises(TypeError):
        pipeline.process_pdf("x.pdf")
    assert capsys.readouterr().out == ""


def test_extraction_failure_is_wrapped_and_keeps_previous_texts(pdf, monkeypatch):
    pipeline = SheetPipeline(FakeExtractor(error=OSError("cannot render")), FakeBroker())
    pipeline.extracted_texts = {9: "old"}
    with pytest.raises(RuntimeError, match=r"^Failed to extract text from PDF: cannot render$"):
        pipeline.process_pdf(pdf, FakePaper([]))
    assert pipeline.extracted_texts == {9: "old"}

    def no_recommendation(subject):
        raise ValueError("unknown subject")

    monkeypatch.setattr(FakeExtractorClass, "get_recommended_extractor_for_subject", no_recommendation)
    pipeline.extractor_client = FakeExtractor()
    with pytest.raises(RuntimeError, match=r"^Failed to extract text from PDF: unknown subject$"):
        pipeline.process_pdf(pdf, FakePaper([]))
    assert pipeline.extractor_client.calls == []


def test_interrupt_during_extraction_is_not_wrapped(pdf):
    pipeline = SheetPipeline(FakeExtractor(error=KeyboardInterrupt()), FakeBroker())
    with pytest.raises(KeyboardInterrupt):
        pipeline.process_pdf(pdf, FakePaper([]))


def test_parse_failure_is_wrapped_and_keeps_new_texts(pdf, capsys):
    broker = FakeBroker(error=RuntimeError("Failed to parse answersheet: bad json"))
    extractor = FakeExtractor(pages={2: "new"})
    pipeline = SheetPipeline(extractor, broker)
    pipeline.extracted_texts = {9: "old"}
    with pytest.raises(RuntimeError) as err:
        pipeline.process_pdf(pdf, FakePaper([]))
    assert str(err.value) == "Failed to parse answers: Failed to parse answersheet: bad json"
    assert pipeline.extracted_texts == {2: "new"}
    assert lines(capsys)[-1] == "[SheetPipeline]: Step 2/3: Parsing student answers using AI..."


def test_evaluation_failure_reaches_caller_unchanged(pdf):
    sheet = FakeSheet([FakeAnswer("q1", "It is.", [1])])
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker(sheet))
    pipeline.evaluate_all_answers = lambda s, p: (_ for _ in ()).throw(LookupError("gone"))
    with pytest.raises(LookupError, match="^gone$"):
        pipeline.process_pdf(pdf, FakePaper([usable("q1")]))


# ---------------------------------------------------------------- evaluation of all answers


def test_batch_results_are_applied_one_by_one(capsys):
    paper = FakePaper([usable("q1", 5.0), usable("q2", 2), usable("q3"), usable("q4", 4)])
    sheet = FakeSheet([FakeAnswer(q, "Answer text", [1]) for q in ("q1", "q2", "q3", "q4")])
    results = [
        {"q_id": "q1", "success": True, "evaluation": evaluation(4.0)},
        {"q_id": "q2", "success": False, "error": "rate limited"},
        {"success": False},
        {"q_id": "qX", "success": True, "evaluation": evaluation()},
        {"q_id": "q3", "success": True},
        ["not", "a", "record"],
        {"q_id": "q4", "success": True, "evaluation": {}},
    ]
    broker = FakeBroker(results=results)
    pipeline = SheetPipeline(FakeExtractor(), broker)

    record = pipeline.evaluate_all_answers(sheet, paper)

    assert lines(capsys) == [
        "[SheetPipeline]: Evaluating all 4 student answers using concurrent processing...",
        "[SheetPipeline]:   Processing 4 evaluations concurrently...",
        "[SheetPipeline]:     q1: Awarded 4.0/5.0 marks",
        "[SheetPipeline]:     Error evaluating answer for q2: rate limited",
        "[SheetPipeline]:     Error evaluating answer for unknown: Unknown error",
        "[SheetPipeline]:     Error processing result for qX: 'qX'",
        "[SheetPipeline]:     Error processing result for q3: 'evaluation'",
        "[SheetPipeline]:     Error processing result for unknown: 'list' object has no attribute 'get'",
        "[SheetPipeline]:     q4: Awarded 0/4 marks",
        "[SheetPipeline]: Evaluated 2 answers successfully using concurrent processing",
    ]
    assert list(record) == ["q1", "q4"]
    assert list(record["q1"]) == ["rubric", "awarded_marks", "feedback", "evaluated", "evaluation_error"]
    assert record["q1"]["awarded_marks"] == 4.0 and record["q1"]["feedback"] == "Well done."
    assert record["q4"] == {"rubric": None, "awarded_marks": 0, "feedback": "", "evaluated": True,
                            "evaluation_error": None}
    assert sheet.get_answer("q1").eval_rubric is record["q1"]["rubric"]
    assert sheet.get_answer("q2").eval_rubric is None


def test_questions_without_rubrics_make_no_model_call(capsys):
    paper = FakePaper([FakeQuestion("a", "?", 1, None, "r"), FakeQuestion("b", "?", 1, FakeRubric([]), "r")])
    sheet = FakeSheet([FakeAnswer("a", "x", [1]), FakeAnswer("b", "y", [1])])
    broker = FakeBroker(results=succeed_all)
    assert SheetPipeline(FakeExtractor(), broker)._evaluate_all_answers_sync(sheet, paper) == {}
    assert lines(capsys) == [
        "[SheetPipeline]:   Skipping a - no rubric available",
        "[SheetPipeline]:   Skipping b - no rubric available",
        "[SheetPipeline]: No valid questions found for evaluation",
    ]
    assert broker.calls == []


@pytest.mark.parametrize("sheet,paper", [(None, FakePaper([])), (FakeSheet([]), None), (FakeSheet([]), {})])
def test_evaluation_needs_both_inputs(sheet, paper, capsys):
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker())
    for call in (lambda: pipeline.evaluate_all_answers(sheet, paper),
                 lambda: pipeline.evaluate_answer_by_qid("q1", sheet, paper),
                 lambda: pipeline.get_answersheet_format(sheet, paper),
                 lambda: pipeline.save_to_file(sheet, paper, "never.json")):
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == "Answersheet and question paper cannot be None."
    assert capsys.readouterr().out == ""
    assert not os.path.exists("never.json")


def test_evaluate_all_answers_checks_the_record_type():
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker())
    pipeline._evaluate_all_answers_sync = lambda s, p: None
    assert pipeline.evaluate_all_answers(FakeSheet([]), FakePaper([])) is None
    pipeline._evaluate_all_answers_sync = lambda s, p: [1]
    with pytest.raises(TypeError):
        pipeline.evaluate_all_answers(FakeSheet([]), FakePaper([]))


# ---------------------------------------------------------------- evaluation of one answer


@pytest.mark.parametrize("sheet_ids,paper_ids,message", [
    ([], [], "Question ID 'q1' not found in answersheet"),
    (["q1"], [], "Question ID 'q1' not found in question paper"),
])
def test_evaluate_answer_by_qid_reports_unknown_ids(sheet_ids, paper_ids, message, capsys):
    sheet = FakeSheet([FakeAnswer(q, "text", [1]) for q in sheet_ids])
    paper = FakePaper([usable(q) for q in paper_ids])
    with pytest.raises(ValueError) as err:
        SheetPipeline(FakeExtractor(), FakeBroker()).evaluate_answer_by_qid("q1", sheet, paper)
    assert str(err.value) == message
    assert capsys.readouterr().out == ""


class IterOnlyIds:
    """Identifiers that can be iterated and counted but define no __contains__."""

    def __init__(self, ids):
        self.ids = list(ids)

    def __iter__(self):
        return iter(self.ids)

    def __len__(self):
        return len(self.ids)


class IterOnlySheet(FakeSheet):
    def get_question_ids(self):
        return IterOnlyIds(self.answers)


class IterOnlyPaper(FakePaper):
    def get_question_ids(self):
        return IterOnlyIds(self.questions)


def test_membership_falls_back_to_iteration_like_in(tmp_path):
    sheet = IterOnlySheet([FakeAnswer("q1", "text", [1])])
    paper = IterOnlyPaper([usable("q1"), usable("q2")])
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker(evaluation=evaluation()))
    assert pipeline.evaluate_answer_by_qid("q1", sheet, paper)["feedback"] == "Well done."
    with pytest.raises(ValueError, match="'q2' not found in answersheet"):
        pipeline.evaluate_answer_by_qid("q2", sheet, paper)
    assert [e["student_answer"] for e in pipeline.get_answersheet_format(sheet, paper)] == ["text", ""]
    pipeline.save_to_file(sheet, paper, str(tmp_path / "out.txt"), "txt")
    assert "Student Answer: [Not attempted or not found]" in (tmp_path / "out.txt").read_text(encoding="utf-8")


@pytest.mark.parametrize("question,reason,line", [
    (FakeQuestion("q1", "?", 2, None, "ref"), "no rubric", "no rubric available"),
    (FakeQuestion("q1", "?", 2, FakeRubric(["a"]), ""), "no reference answer", "no reference answer available"),
])
def test_evaluate_answer_by_qid_skips_unusable_questions(question, reason, line, capsys):
    broker = FakeBroker(evaluation=evaluation())
    result = SheetPipeline(FakeExtractor(), broker).evaluate_answer_by_qid(
        "q1", FakeSheet([FakeAnswer("q1", "text", [1])]), FakePaper([question]))
    assert result == {"qid": "q1", "status": "skipped", "reason": reason}
    assert list(result) == ["qid", "status", "reason"]
    assert lines(capsys) == [
        "[SheetPipeline]: Evaluating answer for question q1 using batch processing...",
        "[SheetPipeline]:   Skipping q1 - " + line,
        "[SheetPipeline]: Evaluation completed for q1",
    ]
    assert broker.calls == []


@pytest.mark.parametrize("method,progress", [
    ("_evaluate_single_answer_sync", "[SheetPipeline]:   Evaluating q1 using batch processing..."),
    ("_evaluate_single_answer", "[SheetPipeline]:   Evaluating q1..."),
])
def test_single_evaluation_writes_back_and_reports(method, progress, capsys):
    question = usable("q1", 3)
    answer = FakeAnswer("q1", "My answer", [2])
    broker = FakeBroker(evaluation=evaluation(2.0, "Good start."))
    result = getattr(SheetPipeline(FakeExtractor(), broker), method)("q1", FakeSheet([answer]), FakePaper([question]))
    assert lines(capsys) == [progress, "[SheetPipeline]:     Awarded: 2.0/3 marks"]
    assert broker.calls == [("evaluateAnswer", {"student_answer": "My answer", "question": "What is it?",
                                                "rubric": question.rubric, "reference_answer": "Reference."})]
    assert list(result) == ["rubric", "awarded_marks", "feedback", "evaluated", "evaluation_error"]
    assert answer.eval_rubric is result["rubric"] and answer.feedback == "Good start."


def test_evaluate_answer_by_qid_wraps_errors(capsys):
    sheet, paper = FakeSheet([FakeAnswer("q1", "text", [1])]), FakePaper([usable("q1")])
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker(error=RuntimeError("Failed to evaluate answer: down")))
    with pytest.raises(RuntimeError) as err:
        pipeline.evaluate_answer_by_qid("q1", sheet, paper)
    assert str(err.value) == "Failed to evaluate answer for question q1: Failed to evaluate answer: down"
    assert lines(capsys) == [
        "[SheetPipeline]: Evaluating answer for question q1 using batch processing...",
        "[SheetPipeline]:   Evaluating q1 using batch processing...",
    ]
    pipeline._evaluate_single_answer_sync = lambda q, s, p: ["not a record"]
    with pytest.raises(RuntimeError, match="^Failed to evaluate answer for question q1: "):
        pipeline.evaluate_answer_by_qid("q1", sheet, paper)
    assert lines(capsys)[-1] == "[SheetPipeline]: Evaluation completed for q1"


# ---------------------------------------------------------------- coroutine twins


async def test_process_pdf_async_prints_its_own_lines(pdf, capsys):
    paper = FakePaper([usable("q1"), FakeQuestion("q2", "Why?", 3, None, "Ref")])
    sheet = FakeSheet([FakeAnswer("q1", "It is.", [1]), FakeAnswer("q2", "Because.", [3])])
    broker = FakeBroker(sheet, succeed_all)
    pipeline = SheetPipeline(FakeExtractor(), broker)
    coro = pipeline.process_pdf_async(pdf, paper)
    assert asyncio.iscoroutine(coro)
    assert await coro is sheet
    assert lines(capsys) == [
        "[SheetPipeline]: Starting complete answersheet processing (async)...",
        "[SheetPipeline]: Processing PDF: " + pdf,
        "[SheetPipeline]: Questions: 2",
        "[SheetPipeline]: Step 1/3: Extracting text from PDF...",
        "[SheetPipeline]: Processing all pages",
        "[SheetPipeline]: Successfully extracted text from 2 pages",
        "[SheetPipeline]: Step 2/3: Parsing student answers using async AI processing...",
        "Successfully parsed 2 student answers",
        "[SheetPipeline]: Step 3/3: Evaluating all answers using concurrent async processing...",
        "[SheetPipeline]:   Skipping q2 - no rubric available",
        "[SheetPipeline]:   Processing 1 evaluations concurrently...",
        "[SheetPipeline]:     q1: Awarded 4.0/5.0 marks",
        "[SheetPipeline]: Evaluated 1 answers successfully using concurrent processing",
        "[SheetPipeline]: Complete async answersheet processing finished successfully!",
    ]
    assert [c[0] for c in broker.calls] == ["parseAnswersheet", "batch_async"]
    assert sheet.get_answer("q1").feedback == "Well done."


async def test_process_pdf_async_failures(pdf, tmp_path, capsys):
    pipeline = SheetPipeline(FakeExtractor(pages={5: "new"}), FakeBroker(error=ValueError("bad reply")))
    with pytest.raises(TypeError):
        pipeline.process_pdf_async(pdf, FakePaper([]), "1")
    with pytest.raises(FileNotFoundError):
        await pipeline.process_pdf_async(str(tmp_path / "none.pdf"), FakePaper([]))
    assert capsys.readouterr().out == ""
    with pytest.raises(RuntimeError, match=r"^Failed to parse answers: bad reply$"):
        await pipeline.process_pdf_async(pdf, FakePaper([]))
    assert pipeline.extracted_texts == {5: "new"}


async def test_cancelled_parse_is_not_wrapped(pdf):
    started = asyncio.Event()

    async def hang(extracted_texts, question_paper):
        started.set()
        await asyncio.Event().wait()

    broker = FakeBroker()
    broker.parseAnswersheet_async = hang
    task = asyncio.ensure_future(SheetPipeline(FakeExtractor(), broker).process_pdf_async(pdf, FakePaper([])))
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def test_evaluate_all_answers_async_applies_results(capsys):
    paper = FakePaper([usable("q1"), usable("q2")])
    sheet = FakeSheet([FakeAnswer("q1", "One", [1]), FakeAnswer("q2", "Two", [1])])
    results = [{"q_id": "q1", "success": True, "evaluation": evaluation(3.0)},
               {"q_id": "q2", "success": False, "error": "timeout"}]
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker(results=results))
    with pytest.raises(ValueError, match=r"^Answersheet and question paper cannot be None\.$"):
        await pipeline.evaluate_all_answers_async(sheet, None)
    record = await pipeline.evaluate_all_answers_async(sheet, paper)
    assert list(record) == ["q1"] and record["q1"]["awarded_marks"] == 3.0
    assert sheet.get_answer("q1").eval_rubric is record["q1"]["rubric"]
    assert lines(capsys) == [
        "[SheetPipeline]:   Processing 2 evaluations concurrently...",
        "[SheetPipeline]:     q1: Awarded 3.0/5.0 marks",
        "[SheetPipeline]:     Error evaluating answer for q2: timeout",
        "[SheetPipeline]: Evaluated 1 answers successfully using concurrent processing",
    ]


async def test_evaluate_answer_by_qid_async(capsys):
    question, answer = usable("q1", 3), FakeAnswer("q1", "Mine", [1])
    sheet, paper = FakeSheet([answer]), FakePaper([question])
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker(evaluation=evaluation(1.0, "Try again.")))
    with pytest.raises(ValueError, match="^Question ID 'q9' not found in answersheet$"):
        await pipeline.evaluate_answer_by_qid_async("q9", sheet, FakePaper([]))
    result = await pipeline.evaluate_answer_by_qid_async("q1", sheet, paper)
    assert result == {"rubric": answer.eval_rubric, "awarded_marks": 1.0, "feedback": "Try again.",
                      "evaluated": True, "evaluation_error": None}
    assert lines(capsys) == ["[SheetPipeline]:   Evaluating q1 using batch processing...",
                             "[SheetPipeline]:     Awarded: 1.0/3 marks"]
    # Errors reach the caller unwrapped on this route.
    pipeline.model_broker.error = RuntimeError("Failed to evaluate answer: down")
    with pytest.raises(RuntimeError, match="^Failed to evaluate answer: down$"):
        await pipeline.evaluate_answer_by_qid_async("q1", sheet, paper)


# ---------------------------------------------------------------- validation


def paper_of(count):
    return FakePaper([usable(f"q{i}") for i in range(1, count + 1)])


@pytest.mark.parametrize("answered,total,rate,warned", [(3, 10, 30.0, True), (5, 10, 50.0, False),
                                                         (1, 3, 1 / 3 * 100, True), (0, 0, 0, True)])
def test_attempt_rate(answered, total, rate, warned):
    sheet = FakeSheet([FakeAnswer(f"q{i}", "long enough", [1]) for i in range(1, answered + 1)])
    record = SheetPipeline(FakeExtractor(), FakeBroker()).validate_processing(sheet, paper_of(total))
    assert list(record) == ["valid", "issues", "warnings", "attempt_rate", "attempted_count", "total_count"]
    assert record["attempt_rate"] == rate and type(record["attempt_rate"]) is type(rate)
    expected = [f"Low attempt rate: {rate:.1f}% (possible parsing issues)"] if warned else []
    assert record["warnings"] == expected
    assert (record["valid"], record["attempted_count"], record["total_count"]) == (True, answered, total)


def test_short_answers_warn_and_missing_pages_invalidate():
    sheet = FakeSheet([FakeAnswer("q1", "  abcd \n", [1]), FakeAnswer("q2", " abcde ", [1]),
                       FakeAnswer("q3", "fine answer", []), FakeAnswer("q4", "fine answer", None)])
    record = SheetPipeline(FakeExtractor(), FakeBroker()).validate_processing(sheet, paper_of(4))
    assert record["warnings"] == ["Answer for q1 is very short (possible OCR issue)"]
    assert record["issues"] == ["Answer for q3 has no page numbers", "Answer for q4 has no page numbers"]
    assert record["valid"] is False


def test_reporting_without_inputs_returns_error_records(capsys):
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker())
    message = "Answersheet and question paper cannot be None"
    assert pipeline.validate_processing(None, paper_of(1)) == {"valid": False, "error": message}
    assert pipeline.get_summary(FakeSheet([]), None) == {"error": message}
    pipeline.print_summary(None, None)
    assert lines(capsys) == ["[SheetPipeline]: Error: " + message]


# ---------------------------------------------------------------- summary and export


def graded_fixture():
    text60 = "x" * 60
    paper = FakePaper([FakeQuestion("q1", text60, 5.0, FakeRubric(["a"]), "ref one"),
                       FakeQuestion("q2", "y" * 61, 3, None, "ref two"),
                       FakeQuestion("q3", "Unanswered?", 2.5, None, None)], "Science", "8")
    a1 = FakeAnswer("q1", "Photosynthesis", [1, 2])
    a1.set_eval_rubric(FakeRubric(["a"], 4.0))
    a1.set_feedback("Nice.")
    a2 = FakeAnswer("q2", "ab", [])
    return FakeSheet([a1, a2]), paper


def test_summary_record():
    sheet, paper = graded_fixture()
    summary = SheetPipeline(FakeExtractor(), FakeBroker()).get_summary(sheet, paper)
    assert list(summary) == ["total_questions", "attempted_questions", "total_marks", "obtained_marks",
                             "unattempted_questions", "attempted_details", "evaluated_answers",
                             "not_evaluated_answers", "unmatched_answers"]
    assert summary["total_marks"] == 10.5 and summary["obtained_marks"] == 4.0
    assert (summary["total_questions"], summary["attempted_questions"], summary["unattempted_questions"]) == (3, 2, 1)
    details = summary["attempted_details"]
    assert list(details) == ["q1", "q2"]
    assert list(details["q1"]) == ["pages", "answer_length", "question_marks", "obtained_marks"]
    assert details["q1"] == {"pages": [1, 2], "answer_length": 14, "question_marks": 5.0, "obtained_marks": 4.0}
    assert details["q2"] == {"pages": [], "answer_length": 2, "question_marks": 3, "obtained_marks": 0}


def test_print_summary(capsys):
    sheet, paper = graded_fixture()
    SheetPipeline(FakeExtractor(), FakeBroker()).print_summary(sheet, paper)
    assert lines(capsys) == [
        "[SheetPipeline]: ",
        RULE60,
        "[SheetPipeline]: ANSWERSHEET PROCESSING SUMMARY",
        "[SheetPipeline]: " + RULE60,
        "[SheetPipeline]: Total Questions: 3",
        "[SheetPipeline]: Attempted Questions: 2",
        "[SheetPipeline]: Total Marks: 10.5",
        "[SheetPipeline]: Obtained Marks: 4.0",
        "[SheetPipeline]: Unattempted Questions: 1",
        "[SheetPipeline]: Evaluated Answers: 1",
        "[SheetPipeline]: Not Evaluated Answers: 1",
        "[SheetPipeline]: Unmatched Answers: 0",
        "[SheetPipeline]: Validation: Issues found",
        "[SheetPipeline]:    Answer for q2 has no page numbers",
        "[SheetPipeline]: Warnings:",
        "[SheetPipeline]:    Answer for q2 is very short (possible OCR issue)",
        "[SheetPipeline]: ",
        "Attempted Questions Overview:",
        "[SheetPipeline]: q1 : " + "x" * 60,
        "[SheetPipeline]:     pages: [1, 2]",
        "[SheetPipeline]:     answer_length: 14",
        "[SheetPipeline]:     question_marks: 5.0",
        "[SheetPipeline]:     obtained_marks: 4.0",
        "[SheetPipeline]: q2 : " + "y" * 60 + "...",
        "[SheetPipeline]:     pages: []",
        "[SheetPipeline]:     answer_length: 2",
        "[SheetPipeline]:     question_marks: 3",
        "[SheetPipeline]:     obtained_marks: 0",
        "[SheetPipeline]: " + RULE60,
    ]


def test_print_summary_passing_validation(capsys):
    sheet = FakeSheet([FakeAnswer("q1", "A full answer", [1])])
    SheetPipeline(FakeExtractor(), FakeBroker()).print_summary(sheet, paper_of(1))
    out = lines(capsys)
    assert "[SheetPipeline]: Validation: Passed" in out and "[SheetPipeline]: Warnings:" not in out


def expected_export():
    return [
        {"qid": "q1", "question": "x" * 60, "ref_answer": "ref one", "student_answer": "Photosynthesis",
         "answer_pages": [1, 2], "rubric": [{"statement": "a", "fulfilled": True}], "max_marks": 5.0,
         "obtained_marks": 4.0, "feedback": "Nice.", "attempted": True, "evaluated": True, "evaluation_error": None},
        {"qid": "q2", "question": "y" * 61, "ref_answer": "ref two", "student_answer": "ab",
         "answer_pages": [], "rubric": [], "max_marks": 3, "obtained_marks": 0, "feedback": "",
         "attempted": True, "evaluated": False, "evaluation_error": None},
        {"qid": "q3", "question": "Unanswered?", "ref_answer": None, "student_answer": "",
         "answer_pages": [], "rubric": [], "max_marks": 2.5, "obtained_marks": 0, "feedback": "",
         "attempted": False, "evaluated": False, "evaluation_error": None},
    ]


def test_export_records():
    sheet, paper = graded_fixture()
    entries = SheetPipeline(FakeExtractor(), FakeBroker()).get_answersheet_format(sheet, paper)
    assert entries == expected_export()
    assert [list(e) for e in entries] == [list(e) for e in expected_export()]


# ---------------------------------------------------------------- saving


@pytest.mark.parametrize("fmt", ["json", "JSON", "Json"])
def test_save_json(tmp_path, capsys, fmt):
    sheet, paper = graded_fixture()
    paper.questions["q3"].text = "Qu’est-ce que c’est ? ✓"
    target = tmp_path / "a" / "b" / "out.json"
    SheetPipeline(FakeExtractor(), FakeBroker()).save_to_file(sheet, paper, str(target), fmt)
    expected = expected_export()
    expected[2]["question"] = "Qu’est-ce que c’est ? ✓"
    assert target.read_bytes() == json.dumps(expected, indent=4, ensure_ascii=False).encode("utf-8")
    assert lines(capsys) == ["[SheetPipeline]: Saved processed answersheet data to: " + str(target)]


TEXT_HEADER = """PROCESSED STUDENT ANSWERSHEET
==================================================

Subject: Science
Class: 8
Total Questions: 3
Attempted Questions: 2

"""


@pytest.mark.parametrize("fmt", ["txt", "text", "pdf"])
def test_save_text_layout(tmp_path, fmt, capsys, monkeypatch):
    sheet, paper = graded_fixture()
    sheet.get_answer("q1").evaluation_result = {"awarded_marks": 4.0, "feedback": "Nice."}
    sheet.get_answer("q2").evaluation_result = {}
    monkeypatch.chdir(tmp_path)
    SheetPipeline(FakeExtractor(), FakeBroker()).save_to_file(sheet, paper, "report.txt", fmt)
    assert (tmp_path / "report.txt").read_text(encoding="utf-8") == TEXT_HEADER + (
        "Question: q1\nMax Marks: 5.0\nQuestion Text: " + "x" * 60 + "\n"
        "Student Answer (Pages [1, 2]): Photosynthesis\n"
        "Evaluation: 4.0/5.0 marks\n"
        "Feedback: Nice.\n"
        "Status: \u2705 Attempted\n" + "-" * 40 + "\n\n"
        "Question: q2\nMax Marks: 3\nQuestion Text: " + "y" * 61 + "\n"
        "Student Answer (Pages []): ab\n"
        "Status: \u2705 Attempted\n" + "-" * 40 + "\n\n"
        "Question: q3\nMax Marks: 2.5\nQuestion Text: Unanswered?\n"
        "Student Answer: [Not attempted or not found]\n"
        "Status: \u274c Not attempted\n" + "-" * 40 + "\n\n")
    assert os.listdir(tmp_path) == ["report.txt"]
    assert lines(capsys) == ["[SheetPipeline]: Saved processed answersheet data to: report.txt"]


def test_text_layout_evaluation_without_feedback(tmp_path):
    sheet = FakeSheet([FakeAnswer("q1", "Answer", [1])])
    sheet.get_answer("q1").evaluation_result = {"total_marks": 9}
    target = tmp_path / "r.txt"
    SheetPipeline(FakeExtractor(), FakeBroker()).save_to_file(sheet, paper_of(1), str(target), "txt")
    body = target.read_text(encoding="utf-8")
    assert "Student Answer (Pages [1]): Answer\nEvaluation: 0/9 marks\nStatus: \u2705 Attempted\n" in body


def test_failed_save_keeps_the_earlier_file(tmp_path, capsys):
    sheet, paper = graded_fixture()
    target = tmp_path / "out.json"
    target.write_text("earlier", encoding="utf-8")
    pipeline = SheetPipeline(FakeExtractor(), FakeBroker())
    # The records serialise part way before failing: a plain write would leave half a file.
    pipeline.get_answersheet_format = lambda s, p: [{"qid": "q1"}, object()]
    with pytest.raises(TypeError):
        pipeline.save_to_file(sheet, paper, str(target))
    assert target.read_text(encoding="utf-8") == "earlier"
    assert os.listdir(tmp_path) == ["out.json"]
    assert capsys.readouterr().out == ""


def test_save_onto_a_directory_fails_cleanly(tmp_path, capsys):
    sheet, paper = graded_fixture()
    target = tmp_path / "taken"
    target.mkdir()
    with pytest.raises(IsADirectoryError) as err:
        SheetPipeline(FakeExtractor(), FakeBroker()).save_to_file(sheet, paper, str(target), "txt")
    assert err.value.filename == str(target)
    assert os.listdir(tmp_path) == ["taken"] and os.listdir(target) == []
    assert capsys.readouterr().out == ""
