"""Document model: evaluation state of answers, repeated answers merged rather than lost,
unmatched identifiers kept, generation failures noted on questions; all of it survives
copies and pickling, and states saved before it existed still load."""

import copy
import pickle

import pytest

from tovrane_core.datastructures import Answer, Answersheet, Question, Rubric


def answer(q_id="Q1", text="First part.", pages=(1,)):
    return Answer(q_id=q_id, text=text, pages=list(pages))


def sheet():
    return Answersheet(subject="Science", language="English", class_level="8")


@pytest.mark.parametrize("first, second, text, pages", [
    (("Plants make food", [2, 1]), ("using sunlight.", [3, 2]), "Plants make food\n\nusing sunlight.", [2, 1, 3]),
    (("   ", [1]), ("Only this.", [1]), "Only this.", [1]),
    (("Only this.", [4]), ("", [1, 1]), "Only this.", [4, 1]),
])
def test_a_repeated_answer_is_merged_into_the_one_held(first, second, text, pages):
    s = sheet()
    s.add_answer("Q2", answer("Q2", "Other", [9]))
    held = answer("Q1", *first)
    s.add_answer("Q1", held)
    s.add_answer("Q1", answer("Q1", *second))
    assert s.get_question_ids() == ["Q2", "Q1"]
    assert s.get_answer("Q1") is held
    assert (held.text, held.pages) == (text, pages)


def test_adding_the_same_answer_again_changes_nothing():
    s, a = sheet(), answer(pages=(1, 2))
    s.add_answer("Q1", a)
    s.add_answer("Q1", a)
    assert (a.text, a.pages) == ("First part.", [1, 2])


def test_evaluation_state_defaults_and_survives_copies_and_pickles():
    a = answer()
    assert (a.evaluated, a.evaluation_error) == (False, None)
    a.evaluated, a.evaluation_error = True, None
    b = answer()
    b.evaluation_error = "no rubric"
    s = sheet()
    s.add_answer("Q1", a)
    s.add_answer("Q2", b)
    s.unmatched_answers = ("Unknown", "Q9")
    for clone in (copy.copy(s), copy.deepcopy(s), pickle.loads(pickle.dumps(s))):
        assert clone.unmatched_answers == ["Unknown", "Q9"]
        assert [(clone.get_answer(q).evaluated, clone.get_answer(q).evaluation_error) for q in ("Q1", "Q2")] == [
            (True, None), (False, "no rubric")]
    assert sheet().unmatched_answers == []


def test_states_saved_before_the_evaluation_state_still_load():
    a = Answer.__new__(Answer)
    a.__setstate__(("Q1", "Old answer", [1], None, "Old feedback", {}))
    assert (a.text, a.feedback, a.evaluated, a.evaluation_error) == ("Old answer", "Old feedback", False, None)
    s = Answersheet.__new__(Answersheet)
    s.__setstate__(("Science", "English", "8", {"Q1": a}, {}))
    assert (s.get_answer("Q1") is a, s.unmatched_answers) == (True, [])
    q = Question.__new__(Question)
    q.__setstate__(("Q1", "Text", 2.0, None, "Ref", {}))
    assert (q.reference_answer, q.rubric_error, q.reference_answer_error) == ("Ref", None, None)
    with pytest.raises(ValueError, match="^Invalid Answer state$"):
        Answer.__new__(Answer).__setstate__(("Q1", "t", [1], None, "f", False, {}))


def test_storing_a_product_clears_its_generation_note():
    q = Question(q_id="Q1", text="Text", max_marks=2)
    q.rubric_error, q.reference_answer_error = "service down", "service down"
    clone = pickle.loads(pickle.dumps(q))
    assert (clone.rubric_error, clone.reference_answer_error) == ("service down", "service down")
    q.set_rubric(Rubric([]))
    assert (q.rubric_error, q.reference_answer_error) == (None, "service down")
    q.reference_answer = "An answer."
    assert q.reference_answer_error is None
