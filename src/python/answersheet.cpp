// Python module tovrane_core.datastructures.answersheet: a student's answers.
#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <utility>

#include "common/binding.hpp"
#include "common/docmodel.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/text/datastructures_texts.hpp"

namespace tovrane::answersheet {

namespace py = pybind11;
namespace dm = tovrane::docmodel;
namespace texts = tovrane::text::datastructures;
using namespace fmt::literals;

namespace {

using dm::OptionalText;
using dm::text_or_none;

/// One answer with the pages it was read from; evaluation adds the marked rubric and
/// feedback, and says whether it succeeded (`evaluated`) or why not (`evaluation_error`),
/// so an answer that was never marked is not mistaken for one that earned nothing.
/// Hosts may attach an `evaluation_result` attribute; there is none by default.
class Answer {
public:
    Answer(dm::Text q_id, dm::Text text, const py::object& pages)
        : q_id_(std::move(q_id.value)), text_(std::move(text.value)), pages_(pages) {}

    const std::string& q_id() const { return q_id_; }
    void set_q_id(dm::Text q_id) { q_id_ = std::move(q_id.value); }
    const std::string& text() const { return text_; }
    void set_text(dm::Text text) { text_ = std::move(text.value); }
    const py::list& pages() const { return pages_; }
    void set_pages(const py::object& pages) { pages_ = py::list(pages); }

    const py::object& eval_rubric() const { return eval_rubric_; }
    void set_eval_rubric(py::object rubric) { eval_rubric_ = std::move(rubric); }
    const std::string& feedback() const { return feedback_; }
    void set_feedback(dm::Text feedback) { feedback_ = std::move(feedback.value); }
    bool evaluated() const { return evaluated_; }
    void set_evaluated(const py::object& flag) { evaluated_ = py_util::truthy(flag); }
    const std::optional<std::string>& evaluation_error() const { return evaluation_error_; }
    void set_evaluation_error(OptionalText reason) { evaluation_error_ = text_or_none(std::move(reason)); }

    std::string repr() const {
        return fmt::format(texts::kAnswerRepr, "q_id"_a = dm::short_repr(q_id_), "pages"_a = py_util::repr_text(pages_));
    }

private:
    std::string q_id_;
    std::string text_;
    py::list pages_;  // list(x) keeps a list as the same object
    py::object eval_rubric_ = py::none();  // a marked Rubric, or None
    std::string feedback_;
    bool evaluated_ = false;
    std::optional<std::string> evaluation_error_;
};

/// `held` takes in `more`: the texts in order with a blank line between them (an empty
/// one adds nothing), the pages of both in order without repeats. A student who goes on
/// with an answer elsewhere in the booklet loses neither part.
void merge_answer(const py::object& held, const py::object& more) {
    py::object first = held.attr("text");
    py::object second = more.attr("text");
    if (!py_util::truthy(first.attr("strip")())) {
        held.attr("text") = second;
    } else if (py_util::truthy(second.attr("strip")())) {
        held.attr("text") = first + py_util::to_py(texts::kAnswerSeparator) + second;
    }
    py::list pages;
    for (const py::object& part : {py::object(held.attr("pages")), py::object(more.attr("pages"))}) {
        if (part.is_none()) continue;
        for (py::handle page : py_util::snapshot(part)) {
            if (!py_util::contains(pages, page)) pages.append(page);
        }
    }
    held.attr("pages") = pages;
}

/// A student's answers under their question identifiers, in the order added.
class Answersheet : public dm::Heading {
public:
    using Heading::Heading;

    void add_answer(const dm::Text& q_id, py::object answer) {
        py::str key(q_id.value);
        if (answers_.contains(key)) {
            py::object held = answers_[key];
            if (!held.is(answer)) merge_answer(held, answer);
            return;
        }
        answers_[key] = std::move(answer);
    }

    const py::list& unmatched_answers() const { return unmatched_; }
    void set_unmatched_answers(const py::object& ids) { unmatched_ = py::list(ids); }

    py::list question_ids() const { return py_util::snapshot(answers_); }
    py::object get_answer(const dm::Text& q_id) const { return dm::lookup(answers_, q_id.value); }
    py::dict all_answers() const { return py_util::dict_copy(answers_); }
    void restore_answers(py::dict answers) { answers_ = std::move(answers); }

    std::string repr() const {
        return fmt::format(texts::kAnswersheetRepr, "subject"_a = dm::optional_repr(subject_),
                           "language"_a = dm::optional_repr(language_),
                           "class_level"_a = dm::optional_repr(class_level_), "answers"_a = py::len(answers_));
    }

private:
    py::dict answers_;
    py::list unmatched_;  // identifiers of parsed answers that matched no question
};

// Pickle states; copy.copy and copy.deepcopy go through them too, and deepcopy's memo
// then keeps shared sub-objects shared.

// States written before answers knew whether they were evaluated are one pair shorter.
constexpr std::size_t kAnswerStateSize = 8;
constexpr std::size_t kOlderAnswerStateSize = 6;

py::tuple answer_state(const py::object& self) {
    const auto& answer = self.cast<const Answer&>();
    return py::make_tuple(answer.q_id(), answer.text(), answer.pages(), answer.eval_rubric(),
                          answer.feedback(), answer.evaluated(), answer.evaluation_error(),
                          dm::instance_dict(self));
}

std::pair<Answer, py::dict> answer_from_state(const py::tuple& state) {
    const bool older = state.size() == kOlderAnswerStateSize;
    dm::check_state(state, older ? kOlderAnswerStateSize : kAnswerStateSize, "Answer");
    Answer answer(state[0].cast<dm::Text>(), state[1].cast<dm::Text>(), state[2]);
    answer.set_eval_rubric(state[3]);
    answer.set_feedback(state[4].cast<dm::Text>());
    if (!older) {
        answer.set_evaluated(state[5]);
        answer.set_evaluation_error(state[6].cast<OptionalText>());
    }
    return {std::move(answer), state[state.size() - 1].cast<py::dict>()};
}

// Older states lack the unmatched identifiers.
constexpr std::size_t kSheetStateSize = 6;
constexpr std::size_t kOlderSheetStateSize = 5;

py::tuple sheet_state(const py::object& self) {
    const auto& sheet = self.cast<const Answersheet&>();
    return py::make_tuple(sheet.subject(), sheet.language(), sheet.class_level(),
                          sheet.all_answers(), py::list(sheet.unmatched_answers()), dm::instance_dict(self));
}

std::pair<Answersheet, py::dict> sheet_from_state(const py::tuple& state) {
    const bool older = state.size() == kOlderSheetStateSize;
    dm::check_state(state, older ? kOlderSheetStateSize : kSheetStateSize, "Answersheet");
    Answersheet sheet(state[0].cast<OptionalText>(), state[1].cast<OptionalText>(),
                      state[2].cast<OptionalText>());
    sheet.restore_answers(state[3].cast<py::dict>());  // a fresh dict, see sheet_state
    if (!older) sheet.set_unmatched_answers(state[4]);
    return {std::move(sheet), state[state.size() - 1].cast<py::dict>()};
}

void bind_answer(py::module_& m) {
    py::class_<Answer> cls(m, "Answer", py::dynamic_attr(),
                           "A student's answer to one question, with its pages.");
    cls.attr("__module__") = names::kAnswersheetModule;
    py_util::Signed(cls)
        .def(py::init<dm::Text, dm::Text, const py::object&>(), py::kw_only(), py::arg("q_id"), py::arg("text"),
             py::arg("pages"), "q_id and text are str, pages the 1-based page numbers; TypeError otherwise.")
        .def_property("q_id", &Answer::q_id, &Answer::set_q_id, "The identifier of the question answered.")
        .def_property("text", &Answer::text, &Answer::set_text, "The student's answer text.")
        .def_property("pages", &Answer::pages, &Answer::set_pages, "The pages the answer was read from.")
        .def_property("eval_rubric", &Answer::eval_rubric, &Answer::set_eval_rubric,
                      "The marked copy of the rubric, or None before evaluation.")
        .def_property("feedback", &Answer::feedback, &Answer::set_feedback, "Feedback for the student.")
        .def_property("evaluated", &Answer::evaluated, &Answer::set_evaluated,
                      "True once an evaluation of this answer succeeded.")
        .def_property("evaluation_error", &Answer::evaluation_error, &Answer::set_evaluation_error,
                      "Why the answer was not evaluated (failed or skipped), or None.")
        .def("set_eval_rubric", &Answer::set_eval_rubric, py::arg("rubric"), "Stores the marked rubric (or None).")
        .def("set_feedback", &Answer::set_feedback, py::arg("text"), "Stores the feedback text.")
        .def("__repr__", &Answer::repr, "Answer(q_id=..., pages=[...]).");
    cls.def(py::pickle(&answer_state, &answer_from_state));
}

void bind_answersheet(py::module_& m) {
    py::class_<Answersheet> cls(m, "Answersheet", py::dynamic_attr(),
                                "A student's answers under their question identifiers.");
    cls.attr("__module__") = names::kAnswersheetModule;
    dm::bind_heading(cls);
    py_util::Signed(cls)
        .def("add_answer", &Answersheet::add_answer, py::arg("q_id"), py::arg("answer"),
             "Adds the answer under q_id. An answer already held there keeps its place and takes "
             "in this one: texts joined by a blank line, pages merged in order without repeats.")
        .def_property("unmatched_answers", &Answersheet::unmatched_answers, &Answersheet::set_unmatched_answers,
                      "Identifiers of parsed answers that matched no question of the paper and were dropped.")
        .def("get_question_ids", &Answersheet::question_ids, "Identifiers of the answers held.")
        .def("get_answer", &Answersheet::get_answer, py::arg("q_id"),
             "The answer held under q_id; KeyError when there is none.")
        .def("__repr__", &Answersheet::repr, "Answersheet(subject=..., ..., answers=n).");
    cls.def(py::pickle(&sheet_state, &sheet_from_state));
}

}  // namespace
}  // namespace tovrane::answersheet

PYBIND11_MODULE(answersheet, m) {
    m.doc() = "Answersheets: Answersheet and Answer.";
    // Each docstring is headed by its text signature (py_util::Signed).
    pybind11::options options;
    options.disable_function_signatures();
    tovrane::answersheet::bind_answer(m);
    tovrane::answersheet::bind_answersheet(m);
}
