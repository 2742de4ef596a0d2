"""PaperPipeline: rubrics and reference answers for all questions or for one."""

import asyncio

import pytest

from tovrane_core.datastructures import Criterion, Question, QuestionPaper, Rubric
from tovrane_core.paper_pipeline import PaperPipeline


def printed(capsys):
    out = capsys.readouterr().out
    assert out == "" or out.endswith("\n")
    return out.split("\n")[:-1]


def rubric(*marks):
    return Rubric([Criterion(statement=f"Point {i}", mark=m) for i, m in enumerate(marks, 1)])


def make_paper(*questions):
    """questions: (q_id, max_marks, rubric or None, reference answer or None)."""
    paper = QuestionPaper(subject="Science", language="English", class_level="Class 8")
    for q_id, marks, rub, answer in questions:
        q = Question(q_id=q_id, text=f"Text of {q_id}", max_marks=marks)
        q.rubric = rub
        q.reference_answer = answer
        paper.add_question(q)
    return paper


class FakeBroker:
    """Batch results are scripted per q_id: a product, or an Exception for a failure record."""

    def __init__(self, outcomes=None, batch_error=None):
        self.outcomes = outcomes or {}
        self.batch_error = batch_error
        self.calls = []

    def _batch(self, name, key, work):
        self.calls.append((name, work))
        if self.batch_error:
            raise self.batch_error
        results = []
        for record in work:
            outcome = self.outcomes[record["q_id"]]
            if isinstance(outcome, Exception):
                results.append({"q_id": record["q_id"], "success": False, "error": str(outcome)})
            else:
                results.append({"q_id": record["q_id"], "success": True, key: outcome})
        return results

    def generate_rubrics_batch_sync(self, work):
        return self._batch("generate_rubrics_batch_sync", "rubric", work)

    def generate_ref_answers_batch_sync(self, work):
        return self._batch("generate_ref_answers_batch_sync", "ref_answer", work)

    def _single(self, name, kwargs):
        self.calls.append((name, kwargs))
        outcome = self.outcomes[kwargs["question"]]
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    def generateRubric(self, **kwargs):
        return self._single("generateRubric", kwargs)

    def generateRefAnswer(self, **kwargs):
        return self._single("generateRefAnswer", kwargs)


# ---- all questions: rubrics ------------------------------------------------------------


def test_rubric_batch_with_successes_and_failures(capsys):
    empty = Rubric([])
    paper = make_paper(("Q1", 4, None, None), ("Q2", 3, rubric(3), None), ("Q3", 2, empty, None), ("Q4", 3, None, None))
    r1, r4 = rubric(2, 2), rubric(3)
    broker = FakeBroker({"Q1": r1, "Q3": RuntimeError("Failed to generate rubric (async): refused"), "Q4": r4})
    result = PaperPipeline(None, broker).generate_rubrics_for_all_questions(paper)

    assert printed(capsys) == [
        "[PaperPipeline] Generating rubrics for all 4 questions...",
        "[PaperPipeline]   Skipping Q2 - rubric already exists",
        "[PaperPipeline] Processing 3 questions with batch processing...",
        "[PaperPipeline]   Generated rubric for Q1 with 2 criteria (4.0 marks)",
        "[PaperPipeline]   Error generating rubric for Q3: Failed to generate rubric (async): refused",
        "[PaperPipeline]   Generated rubric for Q4 with 1 criteria (3.0 marks)",
        "[PaperPipeline] Generated rubrics for 2 questions",
    ]
    assert list(result) == ["Q1", "Q4"] and result["Q1"] is r1 and result["Q4"] is r4
    assert paper.get_question("Q1").rubric is r1
    assert paper.get_question("Q3").rubric is empty
    [(name, work)] = broker.calls
    assert name == "generate_rubrics_batch_sync"
    assert [list(rec.items()) for rec in work] == [
        [("q_id", q), ("question", f"Text of {q}"), ("max_marks", m), ("class_level", "Class 8"), ("subject", "Science")]
        for q, m in (("Q1", 4.0), ("Q3", 2.0), ("Q4", 3.0))
    ]


@pytest.mark.parametrize(
    "method, lines",
    [
        (
            "generate_rubrics_for_all_questions",
            [
                "[PaperPipeline] Generating rubrics for all 2 questions...",
                "[PaperPipeline]   Skipping Q1 - rubric already exists",
                "[PaperPipeline]   Skipping Q2 - rubric already exists",
                "[PaperPipeline] No rubrics to generate - all questions already have rubrics",
            ],
        ),
        (
            "generate_reference_answers_for_all_questions",
            [
                "[PaperPipeline] Generating reference answers for all 2 questions...",
                "[PaperPipeline]   Skipping Q1 - reference answer already exists",
                "[PaperPipeline]   Skipping Q2 - reference answer already exists",
                "[PaperPipeline] No reference answers to generate - all questions already have reference answers or missing rubrics",
            ],
        ),
    ],
)
def test_nothing_to_do_calls_no_broker(capsys, method, lines):
    paper = make_paper(("Q1", 2, rubric(2), "Oxygen."), ("Q2", 2, rubric(1, 1), "Two."))
    broker = FakeBroker()
    assert getattr(PaperPipeline(None, broker), method)(paper) == {}
    assert printed(capsys) == lines
    assert broker.calls == []


def test_batch_failure_falls_back_question_by_question(capsys):
    paper = make_paper(("Q1", 4, None, None), ("Q4", 3, None, None))
    r1 = rubric(1, 3)
    broker = FakeBroker({"Text of Q1": r1, "Text of Q4": ValueError("quota exceeded")}, batch_error=RuntimeError("loop closed"))
    result = PaperPipeline(None, broker).generate_rubrics_for_all_questions(paper)

    assert printed(capsys) == [
        "[PaperPipeline] Generating rubrics for all 2 questions...",
        "[PaperPipeline] Processing 2 questions with batch processing...",
        "[PaperPipeline] Error in batch processing, falling back to sync processing: loop closed",
        "[PaperPipeline] Using sync fallback for rubric generation...",
        "[PaperPipeline]   Generating rubric for Q1...",
        "[PaperPipeline]     Generated rubric with 2 criteria (4.0 marks)",
        "[PaperPipeline]   Generating rubric for Q4...",
        "[PaperPipeline]     Error generating rubric for Q4: quota exceeded",
    ]
    assert result == {"Q1": r1}
    assert paper.get_question("Q1").rubric is r1 and paper.get_question("Q4").rubric is None
    assert broker.calls[1] == (
        "generateRubric",
        {"question": "Text of Q1", "max_marks": 4.0, "class_level": "Class 8", "subject": "Science"},
    )


def test_fallback_is_reached_through_the_instance(capsys):
    paper = make_paper(("Q1", 4, None, None))
    pipeline = PaperPipeline(None, FakeBroker(batch_error=RuntimeError("down")))
    seen = []
    pipeline._generate_rubrics_sync_fallback = lambda p, work: seen.append((p, work)) or {"Q1": "replaced"}
    assert pipeline.generate_rubrics_for_all_questions(paper) == {"Q1": "replaced"}
    assert seen[0][0] is paper and [r["q_id"] for r in seen[0][1]] == ["Q1"]


def test_batch_interrupt_is_not_a_fallback_case():
    paper = make_paper(("Q1", 4, None, None))
    with pytest.raises(KeyboardInterrupt):
        PaperPipeline(None, FakeBroker(batch_error=KeyboardInterrupt())).generate_rubrics_for_all_questions(paper)


# ---- all questions: reference answers --------------------------------------------------


def test_reference_answer_selection_and_batch(capsys):
    r1, r6 = rubric(2), rubric(1, 1)
    paper = make_paper(
        ("Q1", 2, r1, "  \n\t"),  # white space only counts as missing
        ("Q2", 2, rubric(2), "Chlorophyll."),
        ("Q3", 2, Rubric([]), None),  # no criteria counts as no rubric
        ("Q4", 2, None, None),
        ("Q5", 2, None, "Given by hand."),  # the reference-answer test comes first
        ("Q6", 2, r6, ""),
    )
    answer = "Leaves make food — using “sunlight”."
    broker = FakeBroker({"Q1": answer, "Q6": RuntimeError("timed out")})
    result = PaperPipeline(None, broker).generate_reference_answers_for_all_questions(paper)

    assert printed(capsys) == [
        "[PaperPipeline] Generating reference answers for all 6 questions...",
        "[PaperPipeline]   Skipping Q2 - reference answer already exists",
        "[PaperPipeline]   Skipping Q3 - no rubric available (generate rubric first)",
        "[PaperPipeline]   Skipping Q4 - no rubric available (generate rubric first)",
        "[PaperPipeline]   Skipping Q5 - reference answer already exists",
        "[PaperPipeline] Processing 2 questions with batch processing...",
        f"[PaperPipeline]   Generated reference answer for Q1 ({len(answer)} characters)",
        "[PaperPipeline]   Error generating reference answer for Q6: timed out",
        "[PaperPipeline] Generated reference answers for 1 questions",
    ]
    assert len(answer) == 36  # counted in code points, not UTF-8 bytes
    assert result == {"Q1": answer}
    assert paper.get_question("Q1").reference_answer == answer
    assert paper.get_question("Q6").reference_answer == ""
    [(name, work)] = broker.calls
    assert name == "generate_ref_answers_batch_sync"
    assert [list(rec) for rec in work] == [["q_id", "question", "rubric", "class_level", "subject"]] * 2
    assert work[0]["rubric"] is r1 and work[1]["rubric"] is r6
    assert (work[1]["question"], work[1]["class_level"], work[1]["subject"]) == ("Text of Q6", "Class 8", "Science")


def test_reference_answer_fallback(capsys):
    r1 = rubric(2)
    paper = make_paper(("Q1", 2, r1, None), ("Q2", 2, rubric(2), None))
    broker = FakeBroker({"Text of Q1": "Oxygen and nitrogen.", "Text of Q2": RuntimeError("refused")}, batch_error=OSError("no loop"))
    result = PaperPipeline(None, broker).generate_reference_answers_for_all_questions(paper)
    assert printed(capsys)[2:] == [
        "[PaperPipeline] Error in batch processing, falling back to sync processing: no loop",
        "[PaperPipeline] Using sync fallback for reference answer generation...",
        "[PaperPipeline]   Generating reference answer for Q1...",
        "[PaperPipeline]     Generated reference answer (20 characters)",
        "[PaperPipeline]   Generating reference answer for Q2...",
        "[PaperPipeline]     Error generating reference answer for Q2: refused",
    ]
    assert result == {"Q1": "Oxygen and nitrogen."}
    assert broker.calls[1] == (
        "generateRefAnswer",
        {"question": "Text of Q1", "rubric": r1, "class_level": "Class 8", "subject": "Science"},
    )
    assert broker.calls[1][1]["rubric"] is r1


@pytest.mark.parametrize(
    "method", ["generate_rubrics_for_all_questions", "generate_reference_answers_for_all_questions"]
)
def test_all_questions_routes_need_a_paper(method):
    with pytest.raises(ValueError, match=r"^Question paper cannot be None\.$"):
        getattr(PaperPipeline(None, FakeBroker()), method)(None)


def test_unknown_identifier_in_batch_result_is_not_caught(capsys):
    paper = make_paper(("Q1", 4, None, None))

    class Stray(FakeBroker):
        def generate_rubrics_batch_sync(self, work):
            return [{"q_id": "Q9", "success": True, "rubric": rubric(1)}]

    with pytest.raises(KeyError):
        PaperPipeline(None, Stray()).generate_rubrics_for_all_questions(paper)


# ---- single questions ------------------------------------------------------------------


def test_single_rubric_replaces_existing(capsys):
    old, new = rubric(5), rubric(1, 1.5)
    paper = make_paper(("Q1", 2.5, old, None))
    broker = FakeBroker({"Text of Q1": new})
    assert PaperPipeline(None, broker).generate_rubric_for_question(paper, "Q1") is new
    assert paper.get_question("Q1").rubric is new
    assert printed(capsys) == [
        "[PaperPipeline] Generating rubric for question Q1...",
        "[PaperPipeline] Generated rubric with 2 criteria (2.5 marks)",
    ]
    assert broker.calls == [
        ("generateRubric", {"question": "Text of Q1", "max_marks": 2.5, "class_level": "Class 8", "subject": "Science"})
    ]


def test_single_reference_answer_replaces_existing(capsys):
    r1 = rubric(2)
    paper = make_paper(("Q1", 2, r1, "Old answer."))
    broker = FakeBroker({"Text of Q1": "Carbon dioxide."})
    assert PaperPipeline(None, broker).generate_reference_answer_for_question(paper, "Q1") == "Carbon dioxide."
    assert paper.get_question("Q1").reference_answer == "Carbon dioxide."
    assert printed(capsys) == [
        "[PaperPipeline] Generating reference answer for question Q1...",
        "[PaperPipeline] Generated reference answer (15 characters)",
    ]
    assert broker.calls[0][1]["rubric"] is r1


@pytest.mark.parametrize(
    "method, paper, q_id, message",
    [
        ("generate_rubric_for_question", None, "Q1", "Question paper cannot be None."),
        ("generate_reference_answer_for_question", None, "Q1", "Question paper cannot be None."),
        (
            "generate_rubric_for_question",
            make_paper(("Q1", 2, None, None)),
            "Q7",
            "can not generate rubric. Question ID 'Q7' not found in question paper",
        ),
        (
            "generate_reference_answer_for_question",
            make_paper(("Q1", 2, rubric(2), None)),
            "Q7",
            "can not generate reference answer. Question ID 'Q7' not found in question paper",
        ),
        (
            "generate_reference_answer_for_question",
            make_paper(("Q1", 2, None, None)),
            "Q1",
            "No rubric available for question Q1. Generate rubric first.",
        ),
        (
            "generate_reference_answer_for_question",
            make_paper(("Q1", 2, Rubric([]), None)),
            "Q1",
            "No rubric available for question Q1. Generate rubric first.",
        ),
    ],
)
def test_single_routes_refuse_before_calling_broker(capsys, method, paper, q_id, message):
    broker = FakeBroker()
    with pytest.raises(ValueError) as err:
        getattr(PaperPipeline(None, broker), method)(paper, q_id)
    assert str(err.value) == message
    assert broker.calls == [] and printed(capsys) == []


@pytest.mark.parametrize(
    "method, outcome, message",
    [
        ("generate_rubric_for_question", RuntimeError("Failed to generate rubric: 429"),
         "Failed to generate rubric for question Q1: Failed to generate rubric: 429"),
        ("generate_reference_answer_for_question", RuntimeError("Failed to generate reference answer: 500"),
         "Failed to generate reference answer for question Q1: Failed to generate reference answer: 500"),
        ("generate_reference_answer_for_question", 42,
         "Failed to generate reference answer for question Q1: reference answer must be str, not int"),
    ],
)
def test_single_route_errors_are_wrapped_and_keep_old_product(capsys, method, outcome, message):
    old = rubric(2)
    paper = make_paper(("Q1", 2, old, "Old answer."))
    with pytest.raises(RuntimeError) as err:
        getattr(PaperPipeline(None, FakeBroker({"Text of Q1": outcome})), method)(paper, "Q1")
    assert str(err.value) == message
    assert paper.get_question("Q1").rubric is old
    assert paper.get_question("Q1").reference_answer == "Old answer."
    assert len(printed(capsys)) == 1


# ---- awaitable routes ------------------------------------------------------------------


class AsyncBroker(FakeBroker):
    async def generate_rubrics_batch_async(self, work):
        await asyncio.sleep(0)
        return self._batch("generate_rubrics_batch_async", "rubric", work)

    async def generate_ref_answers_batch_async(self, work):
        await asyncio.sleep(0)
        return self._batch("generate_ref_answers_batch_async", "ref_answer", work)


async def test_async_rubrics_route(capsys):
    paper = make_paper(("Q1", 4, None, None), ("Q2", 3, rubric(3), None), ("Q3", 1, None, None))
    r1 = rubric(4)
    broker = AsyncBroker({"Q1": r1, "Q3": RuntimeError("refused")})
    pending = PaperPipeline(None, broker).generate_rubrics_for_all_questions_async(paper)
    assert asyncio.iscoroutine(pending)
    assert printed(capsys) == []  # nothing runs before it is awaited
    assert await pending == {"Q1": r1}
    assert printed(capsys) == [
        "[PaperPipeline] Generating rubrics for all 3 questions...",
        "[PaperPipeline]   Skipping Q2 - rubric already exists",
        "[PaperPipeline] Processing 2 questions with async batch processing...",
        "[PaperPipeline]   Generated rubric for Q1 with 1 criteria (4.0 marks)",
        "[PaperPipeline]   Error generating rubric for Q3: refused",
        "[PaperPipeline] Generated rubrics for 1 questions",
    ]
    assert paper.get_question("Q1").rubric is r1
    assert [r["q_id"] for r in broker.calls[0][1]] == ["Q1", "Q3"]


async def test_async_reference_answers_route(capsys):
    paper = make_paper(("Q1", 2, rubric(2), None), ("Q2", 2, None, None))
    broker = AsyncBroker({"Q1": "Nitrogen."})
    result = await asyncio.gather(PaperPipeline(None, broker).generate_reference_answers_for_all_questions_async(paper))
    assert result == [{"Q1": "Nitrogen."}]
    assert printed(capsys) == [
        "[PaperPipeline] Generating reference answers for all 2 questions...",
        "[PaperPipeline]   Skipping Q2 - no rubric available (generate rubric first)",
        "[PaperPipeline] Processing 1 questions with async batch processing...",
        "[PaperPipeline]   Generated reference answer for Q1 (9 characters)",
        "[PaperPipeline] Generated reference answers for 1 questions",
    ]
    assert broker.calls[0][0] == "generate_ref_answers_batch_async"


@pytest.mark.parametrize(
    "method", ["generate_rubrics_for_all_questions_async", "generate_reference_answers_for_all_questions_async"]
)
async def test_async_batch_error_propagates_without_fallback(capsys, method):
    paper = make_paper(("Q1", 2, rubric(2), None), ("Q2", 2, None, None))
    failure = ConnectionError("service gone")
    broker = AsyncBroker(batch_error=failure)
    with pytest.raises(ConnectionError) as err:
        await getattr(PaperPipeline(None, broker), method)(paper)
    assert err.value is failure
    lines = printed(capsys)
    assert lines[-1] == "[PaperPipeline] Processing 1 questions with async batch processing..."
    assert len(broker.calls) == 1  # no fallback calls
    with pytest.raises(ValueError, match=r"^Question paper cannot be None\.$"):
        await getattr(PaperPipeline(None, broker), method)(None)


async def test_async_nothing_to_do_and_cancellation(capsys):
    pipeline = PaperPipeline(None, AsyncBroker())
    assert await pipeline.generate_rubrics_for_all_questions_async(make_paper(("Q1", 2, rubric(2), None))) == {}
    assert printed(capsys)[-1] == "[PaperPipeline] No rubrics to generate - all questions already have rubrics"

    started = asyncio.Event()

    class Stuck(AsyncBroker):
        async def generate_rubrics_batch_async(self, work):
            started.set()
            await asyncio.Future()

    paper = make_paper(("Q1", 2, None, None))
    task = asyncio.ensure_future(PaperPipeline(None, Stuck()).generate_rubrics_for_all_questions_async(paper))
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert paper.get_question("Q1").rubric is None
