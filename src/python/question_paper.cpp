// Python module tovrane_core.datastructures.question_paper: question papers and questions.
#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <utility>

#include "common/binding.hpp"
#include "common/docmodel.hpp"
#include "common/errors.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/text/datastructures_texts.hpp"

namespace tovrane::question_paper {

namespace py = pybind11;
namespace dm = tovrane::docmodel;
namespace texts = tovrane::text::datastructures;
using namespace fmt::literals;

namespace {

using dm::OptionalText;
using dm::text_or_none;

/// One question of a paper; its rubric and reference answer arrive later. When generating
/// one of them fails, the reason stays with the question until one is stored.
class Question {
public:
    Question(dm::Text q_id, dm::Text text, double max_marks)
        : q_id_(std::move(q_id.value)), text_(std::move(text.value)), max_marks_(max_marks) {}

    const std::string& q_id() const { return q_id_; }
    void set_q_id(dm::Text q_id) { q_id_ = std::move(q_id.value); }
    const std::string& text() const { return text_; }
    void set_text(dm::Text text) { text_ = std::move(text.value); }
    double max_marks() const { return max_marks_; }
    void set_max_marks(double max_marks) { max_marks_ = max_marks; }

    const py::object& rubric() const { return rubric_; }
    void set_rubric(py::object rubric) {
        rubric_ = std::move(rubric);
        rubric_error_.reset();
    }
    const std::optional<std::string>& reference_answer() const { return reference_answer_; }
    void set_reference_answer(OptionalText text) {
        reference_answer_ = text_or_none(std::move(text));
        reference_answer_error_.reset();
    }
    const std::optional<std::string>& rubric_error() const { return rubric_error_; }
    void set_rubric_error(OptionalText reason) { rubric_error_ = text_or_none(std::move(reason)); }
    const std::optional<std::string>& reference_answer_error() const { return reference_answer_error_; }
    void set_reference_answer_error(OptionalText reason) {
        reference_answer_error_ = text_or_none(std::move(reason));
    }

    std::string repr() const {
        return fmt::format(texts::kQuestionRepr, "q_id"_a = dm::short_repr(q_id_),
                           "max_marks"_a = dm::float_repr(max_marks_));
    }

private:
    std::string q_id_;
    std::string text_;
    double max_marks_;
    py::object rubric_ = py::none();  // a Rubric, or None
    std::optional<std::string> reference_answer_;
    std::optional<std::string> rubric_error_;
    std::optional<std::string> reference_answer_error_;
};

/// A paper's questions under their identifiers, in paper order. A dict keeps that order
/// and lets a repeated identifier replace its question in place.
class QuestionPaper : public dm::Heading {
public:
    using Heading::Heading;

    void add_question(const dm::Text& q_id, py::object question) {
        questions_[py::str(q_id.value)] = std::move(question);
    }

    // The identifier is read through the attribute, so a host's replacement is seen.
    void add_own_question(const py::object& question) {
        py::object q_id = question.attr("q_id");
        py_util::require_str(q_id, "q_id");
        add_question(dm::Text{q_id.cast<std::string>()}, question);
    }

    void add_reference_answer(const dm::Text& q_id, const py::object& text) const {
        get_question(q_id).attr("set_reference_answer")(text);
    }

    py::list question_ids() const { return py_util::snapshot(questions_); }
    py::object get_question(const dm::Text& q_id) const { return dm::lookup(questions_, q_id.value); }
    py::dict all_questions() const { return py_util::dict_copy(questions_); }

    double total_marks() const {
        double total = 0.0;
        for (py::handle question : py_util::snapshot(questions_.attr("values")())) {
            total += dm::real_of(question.attr("max_marks"));
        }
        return total;
    }

    std::string repr() const {
        return fmt::format(texts::kQuestionPaperRepr, "subject"_a = dm::optional_repr(subject_),
                           "language"_a = dm::optional_repr(language_),
                           "class_level"_a = dm::optional_repr(class_level_), "questions"_a = py::len(questions_));
    }

    void restore_questions(py::dict questions) { questions_ = std::move(questions); }

private:
    py::dict questions_;
};

// Pickle states; copy.copy and copy.deepcopy go through them too, and deepcopy's memo
// then keeps shared sub-objects shared.

// States written before questions kept their generation errors are one pair shorter.
constexpr std::size_t kQuestionStateSize = 8;
constexpr std::size_t kOlderQuestionStateSize = 6;

py::tuple question_state(const py::object& self) {
    const auto& q = self.cast<const Question&>();
    return py::make_tuple(q.q_id(), q.text(), q.max_marks(), q.rubric(), q.reference_answer(),
                          q.rubric_error(), q.reference_answer_error(), dm::instance_dict(self));
}

std::pair<Question, py::dict> question_from_state(const py::tuple& state) {
    const bool older = state.size() == kOlderQuestionStateSize;
    dm::check_state(state, older ? kOlderQuestionStateSize : kQuestionStateSize, "Question");
    Question q(state[0].cast<dm::Text>(), state[1].cast<dm::Text>(), state[2].cast<double>());
    q.set_rubric(state[3]);
    q.set_reference_answer(state[4].cast<OptionalText>());
    if (!older) {
        q.set_rubric_error(state[5].cast<OptionalText>());
        q.set_reference_answer_error(state[6].cast<OptionalText>());
    }
    return {std::move(q), state[state.size() - 1].cast<py::dict>()};
}

py::tuple paper_state(const py::object& self) {
    const auto& paper = self.cast<const QuestionPaper&>();
    return py::make_tuple(paper.subject(), paper.language(), paper.class_level(),
                          paper.all_questions(), dm::instance_dict(self));
}

std::pair<QuestionPaper, py::dict> paper_from_state(const py::tuple& state) {
    dm::check_state(state, 5, "QuestionPaper");
    QuestionPaper paper(state[0].cast<OptionalText>(), state[1].cast<OptionalText>(),
                        state[2].cast<OptionalText>());
    paper.restore_questions(state[3].cast<py::dict>());  // a fresh dict, see paper_state
    return {std::move(paper), state[4].cast<py::dict>()};
}

void bind_question(py::module_& m) {
    py::class_<Question> cls(m, "Question", py::dynamic_attr(),
                             "A question: identifier, text, maximum marks, rubric, reference answer.");
    cls.attr("__module__") = names::kQuestionPaperModule;
    py_util::Signed(cls)
        .def(py::init<dm::Text, dm::Text, double>(), py::kw_only(), py::arg("q_id"), py::arg("text"),
             py::arg("max_marks"), "q_id and text are str, max_marks a number; TypeError otherwise.")
        .def_property("q_id", &Question::q_id, &Question::set_q_id, "The question's identifier.")
        .def_property("text", &Question::text, &Question::set_text, "The question's text.")
        .def_property("max_marks", &Question::max_marks, &Question::set_max_marks, "The marks the question is worth.")
        .def_property("rubric", &Question::rubric, &Question::set_rubric, "The Rubric, or None.")
        .def_property("reference_answer", &Question::reference_answer, &Question::set_reference_answer,
                      "The reference answer text, or None.")
        .def_property("rubric_error", &Question::rubric_error, &Question::set_rubric_error,
                      "Why generating the rubric failed, or None; storing a rubric clears it.")
        .def_property("reference_answer_error", &Question::reference_answer_error,
                      &Question::set_reference_answer_error,
                      "Why generating the reference answer failed, or None; storing one clears it.")
        .def("set_rubric", &Question::set_rubric, py::arg("rubric"),
             "Stores the rubric (or None) and clears rubric_error.")
        .def("set_reference_answer", &Question::set_reference_answer, py::arg("text"),
             "Stores the reference answer (str or None) and clears reference_answer_error.")
        .def("__repr__", &Question::repr, "Question(q_id=..., max_marks=...).");
    cls.def(py::pickle(&question_state, &question_from_state));
}

void bind_question_paper(py::module_& m) {
    py::class_<QuestionPaper> cls(m, "QuestionPaper", py::dynamic_attr(),
                                  "The questions of a paper under their identifiers, in order.");
    cls.attr("__module__") = names::kQuestionPaperModule;
    dm::bind_heading(cls);
    // Two forms under one name: the text signature can state only their common shape.
    cls.def("add_question", &QuestionPaper::add_own_question, py::arg("question"),
            "add_question(self, *args, **kwargs)\n--\n\n"
            "Adds a question, under its own q_id (add_question(question)) or under the given one "
            "(add_question(q_id, question)). An existing one is replaced in place.")
        .def("add_question", &QuestionPaper::add_question, py::arg("q_id"), py::arg("question"));
    py_util::Signed(cls)
        .def("add_reference_answer", &QuestionPaper::add_reference_answer, py::arg("q_id"), py::arg("text"),
             "Sets the reference answer of the question held under q_id; KeyError when there is none.")
        .def("get_question_ids", &QuestionPaper::question_ids, "Identifiers in paper order.")
        .def("get_question", &QuestionPaper::get_question, py::arg("q_id"),
             "The question held under q_id; KeyError when there is none.")
        .def("get_all_questions", &QuestionPaper::all_questions,
             "A new dict of identifier to question, in paper order.")
        .def("get_total_marks", &QuestionPaper::total_marks, "Sum of the questions' max_marks.")
        .def("__repr__", &QuestionPaper::repr, "QuestionPaper(subject=..., ..., questions=n).");
    cls.def(py::pickle(&paper_state, &paper_from_state));
}

}  // namespace
}  // namespace tovrane::question_paper

PYBIND11_MODULE(question_paper, m) {
    m.doc() = "Question papers: QuestionPaper and Question.";
    // Each docstring is headed by its text signature (py_util::Signed).
    pybind11::options options;
    options.disable_function_signatures();
    tovrane::question_paper::bind_question(m);
    tovrane::question_paper::bind_question_paper(m);
}
