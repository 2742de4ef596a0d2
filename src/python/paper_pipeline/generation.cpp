// Rubric and reference-answer generation: all questions (batch with fallback) or one question.
#include "paper_pipeline/generation.hpp"

#include "engine/text/paper_texts.hpp"
#include "paper_pipeline/ops.hpp"
#include "paper_pipeline/support.hpp"

namespace tovrane::paper {

namespace t = text::paper;
using namespace detail;
using namespace pybind11::literals;

namespace detail {
namespace {

void require_paper(py::handle question_paper) {
    if (question_paper.is_none()) raise(PyExc_ValueError, t::kNoPaper);
}

py::object select_rubric(py::handle paper, py::handle q_id, py::handle question) {
    if (has_criteria(optional_attr(question, "rubric"))) {
        say(t::kRubricSkipExisting, fmt::arg("q_id", text(q_id)));
        return py::none();
    }
    return py::dict("q_id"_a = q_id, "question"_a = question.attr("text"),
                    "max_marks"_a = question.attr("max_marks"),
                    "class_level"_a = paper.attr("class_level"), "subject"_a = paper.attr("subject"));
}

bool has_reference_answer(py::handle question) {
    py::object answer = optional_attr(question, "reference_answer");
    return !answer.is_none() && py::len(answer.attr("strip")()) > 0;
}

py::object select_answer(py::handle paper, py::handle q_id, py::handle question) {
    if (has_reference_answer(question)) {
        say(t::kAnswerSkipExisting, fmt::arg("q_id", text(q_id)));
        return py::none();
    }
    py::object rubric = optional_attr(question, "rubric");
    if (!has_criteria(rubric)) {
        say(t::kAnswerSkipNoRubric, fmt::arg("q_id", text(q_id)));
        return py::none();
    }
    return py::dict("q_id"_a = q_id, "question"_a = question.attr("text"), "rubric"_a = rubric,
                    "class_level"_a = paper.attr("class_level"), "subject"_a = paper.attr("subject"));
}

py::object generate_rubric(py::handle broker, py::handle record) {
    return broker.attr("generateRubric")("question"_a = record["question"], "max_marks"_a = record["max_marks"],
                                         "class_level"_a = record["class_level"],
                                         "subject"_a = record["subject"]);
}

py::object generate_answer(py::handle broker, py::handle record) {
    return broker.attr("generateRefAnswer")("question"_a = record["question"], "rubric"_a = record["rubric"],
                                            "class_level"_a = record["class_level"],
                                            "subject"_a = record["subject"]);
}

void store_rubric(py::handle question, py::handle rubric) { question.attr("set_rubric")(rubric); }

void store_answer(py::handle question, py::handle answer) { question.attr("set_reference_answer")(answer); }

void announce_rubric(const char* tmpl, const std::string& q_id, py::handle rubric) {
    say(tmpl, fmt::arg("q_id", q_id), fmt::arg("c", len_text(rubric.attr("criteria"))),
        fmt::arg("t", text(rubric.attr("total_marks")())));
}

void announce_answer(const char* tmpl, const std::string& q_id, py::handle answer) {
    say(tmpl, fmt::arg("q_id", q_id), fmt::arg("l", len_text(answer)));
}

/// Keeps the reason with the question, so the paper's validation can name it later.
/// Only a note: a question that does not take it is left as it is.
void note_failure(py::handle question, const Kind& kind, const std::string& error) {
    ordinary_error([&] { py::setattr(question, kind.error_attr, py::str(error)); });
}

}  // namespace

const Kind kRubrics{t::kRubricsOpening, t::kRubricsNothing, "generate_rubrics_batch_sync",
                    "generate_rubrics_batch_async", "_generate_rubrics_sync_fallback", "rubric", "rubric_error",
                    t::kRubricBatchDone, t::kRubricBatchError, t::kRubricsClosing,
                    t::kRubricFallbackOpening, t::kRubricFallbackItem, t::kRubricFallbackDone,
                    t::kRubricFallbackError, select_rubric, generate_rubric, store_rubric, announce_rubric};

const Kind kAnswers{t::kAnswersOpening, t::kAnswersNothing, "generate_ref_answers_batch_sync",
                    "generate_ref_answers_batch_async", "_generate_ref_answers_sync_fallback", "ref_answer",
                    "reference_answer_error",
                    t::kAnswerBatchDone, t::kAnswerBatchError, t::kAnswersClosing,
                    t::kAnswerFallbackOpening, t::kAnswerFallbackItem, t::kAnswerFallbackDone,
                    t::kAnswerFallbackError, select_answer, generate_answer, store_answer, announce_answer};

py::list select_work(py::handle question_paper, const Kind& kind) {
    require_paper(question_paper);
    py::object ids = question_paper.attr("get_question_ids")();
    say(kind.opening, fmt::arg("n", len_text(ids)));
    py::list work;
    for (py::handle q_id : ids) {
        py::object question = question_paper.attr("get_question")(q_id);
        py::object record = kind.select(question_paper, q_id, question);
        if (!record.is_none()) work.append(record);
    }
    return work;
}

py::dict apply_results(py::handle question_paper, py::handle results, const Kind& kind) {
    py::dict generated;
    for (py::handle record : results) {
        if (truthy(record["success"])) {
            py::object q_id = record["q_id"];
            py::object product = record[kind.result_key];
            py::object question = question_paper.attr("get_question")(q_id);
            generated[q_id] = product;
            kind.store(question, product);
            kind.announce(kind.batch_done, text(q_id), product);
        } else {
            std::string error = text(record["error"]);
            say(kind.batch_error, fmt::arg("q_id", text(record["q_id"])), fmt::arg("error", error));
            ordinary_error([&] { note_failure(question_paper.attr("get_question")(record["q_id"]), kind, error); });
        }
    }
    say(kind.closing, fmt::arg("k", len_text(generated)));
    return generated;
}

void keep_finished(py::handle question_paper, const py::error_already_set& err, const Kind& kind) {
    if (py_util::is_ordinary(err)) return;
    py::object partial = py_util::partial_results(err);
    if (partial.is_none() || !truthy(partial)) return;
    // The interrupt goes on whatever happens here.
    ordinary_error([&] { apply_results(question_paper, partial, kind); });
}

namespace {

py::object generate_all(py::object self, py::object question_paper, const Kind& kind) {
    py::list work = select_work(question_paper, kind);
    if (work.empty()) {
        say(kind.nothing);
        return py::dict();
    }
    say(t::kBatchCalling, fmt::arg("m", len_text(work)));
    py::object results;
    std::optional<std::string> failure;
    try {
        failure = ordinary_error([&] { results = self.attr("model_broker").attr(kind.batch_sync)(work); });
    } catch (py::error_already_set& err) {
        keep_finished(question_paper, err, kind);
        throw;
    }
    if (failure) {
        say(t::kBatchFailed, fmt::arg("error", *failure));
        return self.attr(kind.fallback_method)(question_paper, work);
    }
    return apply_results(question_paper, results, kind);
}

py::object fallback(py::object self, py::object question_paper, py::object work, const Kind& kind) {
    say(kind.fallback_opening);
    py::dict generated;
    for (py::handle record : work) {
        py::object q_id = record["q_id"];
        std::string id = text(q_id);
        py::object question = question_paper.attr("get_question")(q_id);
        auto failure = ordinary_error([&] {
            say(kind.fallback_item, fmt::arg("q_id", id));
            py::object product = kind.generate(self.attr("model_broker"), record);
            generated[q_id] = product;
            kind.store(question, product);
            kind.announce(kind.fallback_done, id, product);
        });
        if (failure) {
            say(kind.fallback_error, fmt::arg("q_id", id), fmt::arg("error", *failure));
            note_failure(question, kind, *failure);
        }
    }
    return generated;
}

// Checks shared by the single-question routes; returns the question.
py::object find_question(py::handle question_paper, py::handle q_id, const char* unknown_id) {
    require_paper(question_paper);
    if (!contains(question_paper.attr("get_question_ids")(), q_id))
        raise(PyExc_ValueError, fill(unknown_id, fmt::arg("q_id", text(q_id))));
    return question_paper.attr("get_question")(q_id);
}

}  // namespace
}  // namespace detail

py::object generate_rubrics_for_all_questions(py::object self, py::object question_paper) {
    return generate_all(self, question_paper, kRubrics);
}

py::object generate_rubrics_sync_fallback(py::object self, py::object question_paper,
                                          py::object questions_to_process) {
    return fallback(self, question_paper, questions_to_process, kRubrics);
}

py::object generate_reference_answers_for_all_questions(py::object self, py::object question_paper) {
    return generate_all(self, question_paper, kAnswers);
}

py::object generate_ref_answers_sync_fallback(py::object self, py::object question_paper,
                                              py::object questions_to_process) {
    return fallback(self, question_paper, questions_to_process, kAnswers);
}

py::object generate_rubric_for_question(py::object self, py::object question_paper, py::object q_id) {
    py::object question = find_question(question_paper, q_id, t::kRubricUnknownId);
    std::string id = text(q_id);
    say(t::kRubricSingle, fmt::arg("q_id", id));
    return guarded(
        [&] {
            py::object rubric = self.attr("model_broker").attr("generateRubric")(
                "question"_a = question.attr("text"), "max_marks"_a = question.attr("max_marks"),
                "class_level"_a = question_paper.attr("class_level"), "subject"_a = question_paper.attr("subject"));
            question.attr("set_rubric")(rubric);
            announce_rubric(t::kRubricSingleDone, id, rubric);
            return rubric;
        },
        [&](const std::string& e) {
            note_failure(question, kRubrics, e);
            return fill(t::kRubricSingleFailed, fmt::arg("q_id", id), fmt::arg("error", e));
        });
}

py::object generate_reference_answer_for_question(py::object self, py::object question_paper, py::object q_id) {
    py::object question = find_question(question_paper, q_id, t::kAnswerUnknownId);
    std::string id = text(q_id);
    py::object rubric = optional_attr(question, "rubric");
    if (!has_criteria(rubric)) raise(PyExc_ValueError, fill(t::kAnswerNoRubric, fmt::arg("q_id", id)));
    say(t::kAnswerSingle, fmt::arg("q_id", id));
    return guarded(
        [&] {
            py::object answer = self.attr("model_broker").attr("generateRefAnswer")(
                "question"_a = question.attr("text"), "rubric"_a = rubric,
                "class_level"_a = question_paper.attr("class_level"), "subject"_a = question_paper.attr("subject"));
            // Only text is stored: anything else would poison the saved paper.
            if (!py::isinstance<py::str>(answer))
                raise(PyExc_TypeError, fill(t::kAnswerNotText, fmt::arg("type", text(py::type::of(answer).attr("__name__")))));
            question.attr("set_reference_answer")(answer);
            announce_answer(t::kAnswerSingleDone, id, answer);
            return answer;
        },
        [&](const std::string& e) {
            note_failure(question, kAnswers, e);
            return fill(t::kAnswerSingleFailed, fmt::arg("q_id", id), fmt::arg("error", e));
        });
}

}  // namespace tovrane::paper
