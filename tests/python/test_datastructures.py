"""Question papers, rubrics and answersheets."""

import copy
import pickle
import types

import pytest

from tovrane_core.datastructures import (
    Answer,
    Answersheet,
    Criterion,
    Question,
    QuestionPaper,
    Rubric,
)


def criterion(statement="Correct formula", mark=1.0):
    return Criterion(statement=statement, mark=mark)


def question(q_id="Q1", max_marks=2):
    return Question(q_id=q_id, text=f"Text of {q_id}", max_marks=max_marks)


def paper(*q_ids):
    p = QuestionPaper(subject="Physics", language="English", class_level="10")
    for q_id in q_ids:
        p.add_question(question(q_id))
    return p


def answer(q_id="Q1", pages=None):
    return Answer(q_id=q_id, text="Because energy is conserved.", pages=pages or [1])


def sheet(*q_ids):
    s = Answersheet(subject="Physics", language="English", class_level="10")
    for q_id in q_ids:
        s.add_answer(q_id, answer(q_id))
    return s


# Construction, defaults and types

@pytest.mark.parametrize("make, attr, expected", [
    (question, "rubric", None),
    (question, "reference_answer", None),
    (answer, "eval_rubric", None),
    (answer, "feedback", ""),
    (criterion, "is_fulfilled", False),
    (lambda: criterion(mark=5), "mark", 5.0),
    (lambda: question(max_marks=3), "max_marks", 3.0),
])
def test_defaults_and_number_storage(make, attr, expected):
    value = getattr(make(), attr)
    assert value == expected and type(value) is type(expected)


def test_answer_has_no_evaluation_result_until_a_host_sets_one():
    a = answer()
    assert not hasattr(a, "evaluation_result")
    a.evaluation_result = {"awarded_marks": 1}
    assert a.evaluation_result == {"awarded_marks": 1}


@pytest.mark.parametrize("action", [
    lambda: Question(q_id=b"Q1", text="t", max_marks=1),
    lambda: Question(q_id="Q1", text=None, max_marks=1),
    lambda: Question(q_id="Q1", text="t", max_marks="1"),
    lambda: Question("Q1", "t", 1),
    lambda: Criterion(statement=3, mark=1),
    lambda: setattr(question(), "text", b"bytes"),
    lambda: setattr(answer(), "feedback", None),
    lambda: answer().set_feedback(1),
    lambda: QuestionPaper(subject=1, language="en", class_level="10"),
    lambda: Answer(q_id="Q1", text="t", pages=None),
    lambda: Rubric(5),
    lambda: paper().add_question(types.SimpleNamespace(q_id=1)),
    lambda: paper().get_question(1),
])
def test_wrong_types_raise_type_error(action):
    with pytest.raises(TypeError):
        action()


@pytest.mark.parametrize("make", [
    lambda items: Rubric(items),
    lambda items: Rubric(criteria=items),
])
def test_rubric_holds_the_given_list(make):
    items = [criterion(mark=1)]
    rubric = make(items)
    assert rubric.criteria is items and rubric.criteria is rubric.criteria
    rubric.criteria.append(criterion(mark=2))
    assert rubric.total_marks() == 3.0


def test_non_list_iterables_become_lists():
    assert Rubric(iter([criterion()])).criteria[0].statement == "Correct formula"
    a = answer()
    a.pages = (2, 3)
    assert a.pages == [2, 3] and a.pages is a.pages


@pytest.mark.parametrize("flag, expected", [(1, True), ("yes", True), (0, False), ([], False)])
def test_set_fulfill_stores_truth_value(flag, expected):
    c = criterion()
    c.set_fulfill(flag)
    assert c.is_fulfilled is expected


# Sums and records

def test_rubric_sums_and_to_list():
    first, second = criterion("A", 2), criterion("B", 1.5)
    rubric = Rubric([first, second])
    assert (rubric.total_marks(), rubric.get_awarded_marks()) == (3.5, 0.0)
    second.set_fulfill(True)
    assert rubric.get_awarded_marks() == 1.5
    entries = rubric.to_list()
    assert entries == [
        {"statement": "A", "mark": 2.0, "is_fulfilled": False},
        {"statement": "B", "mark": 1.5, "is_fulfilled": True},
    ]
    assert list(entries[0]) == ["statement", "mark", "is_fulfilled"]


def test_sums_read_attributes_of_any_shaped_item():
    fake = types.SimpleNamespace(statement="x", mark=4, is_fulfilled=True)
    rubric = Rubric([fake, criterion(mark=1)])
    assert (rubric.total_marks(), rubric.get_awarded_marks()) == (5.0, 4.0)
    empty = Rubric([])
    assert type(empty.total_marks()) is float and empty.get_awarded_marks() == 0.0
    assert bool(empty)  # an empty rubric still counts as present


# Identifiers: order, replacement, lookup

def test_both_add_question_forms_key_by_identifier():
    p = paper()
    p.add_question(question("Q1"))
    p.add_question("custom", question("Q2"))
    assert p.get_question_ids() == ["Q1", "custom"]
    assert p.get_question("custom").q_id == "Q2"


@pytest.mark.parametrize("make, add, get, replaced", [
    (paper, lambda c, k: c.add_question(k, question(k, 9)), lambda c, k: c.get_question(k), True),
    # A repeated answer is taken into the one held (see the answersheet merge tests).
    (sheet, lambda c, k: c.add_answer(k, answer(k, [9])), lambda c, k: c.get_answer(k), False),
])
def test_replacing_an_identifier_keeps_its_position(make, add, get, replaced):
    container = make("Q1", "Q2", "Q3")
    old = get(container, "Q2")
    add(container, "Q2")
    assert container.get_question_ids() == ["Q1", "Q2", "Q3"]
    assert (get(container, "Q2") is not old) == replaced


@pytest.mark.parametrize("action", [
    lambda: paper("Q1").get_question("Q9"),
    lambda: paper("Q1").add_reference_answer("Q9", "text"),
    lambda: sheet("Q1").get_answer("Q9"),
])
def test_unknown_identifier_raises_key_error_naming_it(action):
    with pytest.raises(KeyError) as info:
        action()
    assert info.value.args == ("Q9",)


def test_questions_are_held_not_copied():
    p = paper("Q1", "Q2")
    p.get_question("Q1").max_marks = 10
    p.add_reference_answer("Q2", "Energy is conserved.")
    assert p.get_all_questions()["Q1"].max_marks == 10.0
    assert p.get_question("Q2").reference_answer == "Energy is conserved."
    assert p.get_total_marks() == 12.0 and type(paper().get_total_marks()) is float


def test_returned_collections_are_new():
    p = paper("Q1")
    p.get_question_ids().append("Q9")
    del p.get_all_questions()["Q1"]
    assert p.get_question_ids() == ["Q1"]


# Copies

def test_deepcopy_of_rubric_has_independent_criteria():
    rubric = Rubric([criterion()])
    clone = copy.deepcopy(rubric)
    clone.criteria[0].set_fulfill(True)
    clone.criteria.append(criterion())
    assert not rubric.criteria[0].is_fulfilled and len(rubric.criteria) == 1


def test_deepcopy_of_paper_copies_nested_rubrics_and_keeps_sharing():
    p = paper("Q1", "Q2")
    shared = Rubric([criterion()])
    for q in p.get_all_questions().values():
        q.set_rubric(shared)
    p.get_question("Q1").notes = ["checked"]
    clone = copy.deepcopy(p)
    q1, q2 = clone.get_question("Q1"), clone.get_question("Q2")
    assert q1.rubric is q2.rubric and q1.rubric is not shared
    q1.rubric.criteria[0].set_fulfill(True)
    q1.notes.append("again")
    clone.add_question(question("Q3"))
    assert not shared.criteria[0].is_fulfilled
    assert p.get_question("Q1").notes == ["checked"] and p.get_question_ids() == ["Q1", "Q2"]


def test_deepcopy_of_answersheet_and_cycles():
    s = sheet("Q1")
    a = s.get_answer("Q1")
    a.set_eval_rubric(Rubric([criterion()]))
    a.owner = s
    clone = copy.deepcopy(s)
    ca = clone.get_answer("Q1")
    ca.pages.append(7)
    ca.eval_rubric.criteria[0].set_fulfill(True)
    assert ca.owner is clone and a.pages == [1]
    assert not a.eval_rubric.criteria[0].is_fulfilled


def test_shallow_copy_shares_items_but_not_containers():
    p = paper("Q1")
    p.tag = "a"
    clone = copy.copy(p)
    clone.add_question(question("Q2"))
    clone.tag = "b"
    assert clone.get_question("Q1") is p.get_question("Q1")
    assert (p.get_question_ids(), p.tag) == (["Q1"], "a")


def test_pickle_round_trip_and_subclass_copies():
    class Tagged(Question):
        pass

    q = Tagged(q_id="Q1", text="t", max_marks=1)
    q.set_reference_answer("r")
    assert type(copy.deepcopy(q)) is Tagged
    restored = pickle.loads(pickle.dumps(paper("Q1", "Q2")))
    assert restored.get_question_ids() == ["Q1", "Q2"]


# Python object model

def test_instance_attribute_shadows_a_method():
    p = paper("Q1")
    p.get_question_ids = lambda: ["other"]
    assert p.get_question_ids() == ["other"]
    assert paper("Q1").get_question_ids() == ["Q1"]


@pytest.mark.parametrize("cls, module", [
    (QuestionPaper, "question_paper"), (Question, "question_paper"),
    (Rubric, "rubric"), (Criterion, "rubric"),
    (Answersheet, "answersheet"), (Answer, "answersheet"),
])
def test_module_names(cls, module):
    assert cls.__module__ == f"tovrane_core.datastructures.{module}"


def test_reprs_are_short():
    assert repr(question("Q1", 2)) == "Question(q_id='Q1', max_marks=2.0)"
    assert repr(criterion("s", 1)) == "Criterion(statement='s', mark=1.0, is_fulfilled=False)"
    assert len(repr(criterion("x" * 5000))) < 120
