// Python module tovrane_core.datastructures.answersheet: a student's answers.
#include "common/docmodel_util.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <fmt/format.h>

#include <optional>
#include <string>
#include <utility>

namespace py = pybind11;
namespace dm = tovrane::docmodel;

namespace {

constexpr const char* kModuleName = "tovrane_core.datastructures.answersheet";

using dm::OptionalText;
using dm::text_or_none;

/// One answer with the pages it was read from; evaluation adds the marked rubric and
/// feedback. Hosts may attach an `evaluation_result` attribute; there is none by default.
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

    std::string repr() const {
        return fmt::format("Answer(q_id={}, pages={})", dm::short_repr(q_id_),
                           py::repr(pages_).cast<std::string>());
    }

private:
    std::string q_id_;
    std::string text_;
    py::list pages_;  // list(x) keeps a list as the same object
    py::object eval_rubric_ = py::none();  // a marked Rubric, or None
    std::string feedback_;
};

/// A student's answers under their question identifiers, in the order added.
class Answersheet {
public:
    Answersheet(OptionalText subject, OptionalText language, OptionalText class_level)
        : subject_(text_or_none(std::move(subject))),
          language_(text_or_none(std::move(language))),
          class_level_(text_or_none(std::move(class_level))) {}

    const std::optional<std::string>& subject() const { return subject_; }
    void set_subject(OptionalText subject) { subject_ = text_or_none(std::move(subject)); }
    const std::optional<std::string>& language() const { return language_; }
    void set_language(OptionalText language) { language_ = text_or_none(std::move(language)); }
    const std::optional<std::string>& class_level() const { return class_level_; }
    void set_class_level(OptionalText level) { class_level_ = text_or_none(std::move(level)); }

    void add_answer(const dm::Text& q_id, py::object answer) {
        answers_[py::str(q_id.value)] = std::move(answer);
    }

    py::list question_ids() const { return dm::snapshot(answers_); }
    py::object get_answer(const dm::Text& q_id) const { return dm::lookup(answers_, q_id.value); }
    py::dict all_answers() const { return dm::dict_copy(answers_); }
    void restore_answers(py::dict answers) { answers_ = std::move(answers); }

    std::string repr() const {
        return fmt::format("Answersheet(subject={}, language={}, class_level={}, answers={})",
                           dm::optional_repr(subject_), dm::optional_repr(language_),
                           dm::optional_repr(class_level_), py::len(answers_));
    }

private:
    std::optional<std::string> subject_;
    std::optional<std::string> language_;
    std::optional<std::string> class_level_;
    py::dict answers_;
};

// Pickle states; copy.copy and copy.deepcopy go through them too, and deepcopy's memo
// then keeps shared sub-objects shared.

py::tuple answer_state(const py::object& self) {
    const auto& answer = self.cast<const Answer&>();
    return py::make_tuple(answer.q_id(), answer.text(), answer.pages(), answer.eval_rubric(),
                          answer.feedback(), dm::instance_dict(self));
}

std::pair<Answer, py::dict> answer_from_state(const py::tuple& state) {
    dm::check_state(state, 6, "Answer");
    Answer answer(state[0].cast<dm::Text>(), state[1].cast<dm::Text>(), state[2]);
    answer.set_eval_rubric(state[3]);
    answer.set_feedback(state[4].cast<dm::Text>());
    return {std::move(answer), state[5].cast<py::dict>()};
}

py::tuple sheet_state(const py::object& self) {
    const auto& sheet = self.cast<const Answersheet&>();
    return py::make_tuple(sheet.subject(), sheet.language(), sheet.class_level(),
                          sheet.all_answers(), dm::instance_dict(self));
}

std::pair<Answersheet, py::dict> sheet_from_state(const py::tuple& state) {
    dm::check_state(state, 5, "Answersheet");
    Answersheet sheet(state[0].cast<OptionalText>(), state[1].cast<OptionalText>(),
                      state[2].cast<OptionalText>());
    sheet.restore_answers(state[3].cast<py::dict>());  // a fresh dict, see sheet_state
    return {std::move(sheet), state[4].cast<py::dict>()};
}

void bind_answer(py::module_& m) {
    py::class_<Answer> cls(m, "Answer", py::dynamic_attr(),
                           "A student's answer to one question, with its pages.");
    cls.attr("__module__") = kModuleName;
    cls.def(py::init<dm::Text, dm::Text, const py::object&>(), py::kw_only(), py::arg("q_id"),
            py::arg("text"), py::arg("pages"))
        .def_property("q_id", &Answer::q_id, &Answer::set_q_id)
        .def_property("text", &Answer::text, &Answer::set_text)
        .def_property("pages", &Answer::pages, &Answer::set_pages)
        .def_property("eval_rubric", &Answer::eval_rubric, &Answer::set_eval_rubric)
        .def_property("feedback", &Answer::feedback, &Answer::set_feedback)
        .def("set_eval_rubric", &Answer::set_eval_rubric, py::arg("rubric"))
        .def("set_feedback", &Answer::set_feedback, py::arg("text"))
        .def("__repr__", &Answer::repr)
        .def(py::pickle(&answer_state, &answer_from_state));
}

void bind_answersheet(py::module_& m) {
    py::class_<Answersheet> cls(m, "Answersheet", py::dynamic_attr(),
                                "A student's answers under their question identifiers.");
    cls.attr("__module__") = kModuleName;
    cls.def(py::init<OptionalText, OptionalText, OptionalText>(), py::kw_only(),
            py::arg("subject"), py::arg("language"), py::arg("class_level"))
        .def_property("subject", &Answersheet::subject, &Answersheet::set_subject)
        .def_property("language", &Answersheet::language, &Answersheet::set_language)
        .def_property("class_level", &Answersheet::class_level, &Answersheet::set_class_level)
        .def("add_answer", &Answersheet::add_answer, py::arg("q_id"), py::arg("answer"),
             "Adds the answer under q_id; an existing one is replaced in place.")
        .def("get_question_ids", &Answersheet::question_ids, "Identifiers of the answers held.")
        .def("get_answer", &Answersheet::get_answer, py::arg("q_id"),
             "The answer held under q_id; KeyError when there is none.")
        .def("__repr__", &Answersheet::repr)
        .def(py::pickle(&sheet_state, &sheet_from_state));
}

}  // namespace

PYBIND11_MODULE(answersheet, m) {
    m.doc() = "Answersheets: Answersheet and Answer.";
    bind_answer(m);
    bind_answersheet(m);
}
