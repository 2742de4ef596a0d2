// Rubric and reference-answer generation: all questions (batch with fallback, or awaited)
// or one question. The two products share one walk, described by a Kind.
#include <fmt/format.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "common/python.hpp"
#include "engine/text/paper_pipeline_texts.hpp"
#include "paper_pipeline/internal.hpp"
#include "paper_pipeline/operations.hpp"

namespace tovrane::paper_pipeline {

namespace texts = tovrane::text::paper_pipeline;
using namespace fmt::literals;
using namespace py_util;

namespace {

/// What differs between generating rubrics and generating reference answers. The walks
/// take the table as a template argument, so every line it names is checked when compiled.
struct Kind {
    std::string_view opening;           ///< all-questions run, first line
    std::string_view nothing;           ///< nothing selected
    std::string_view batch_error;       ///< a failed batch record
    std::string_view closing;           ///< count of the products made
    std::string_view fallback_opening;  ///< the blocking fallback, one question after another
    std::string_view fallback_item;
    std::string_view fallback_error;
    const char* batch_sync;       ///< the broker's batch operations
    const char* batch_async;
    const char* fallback_method;  ///< the pipeline's own fallback, called through self
    const char* result_key;       ///< product key in a batch result record
    const char* error_attr;       ///< the question's note of why generating the product failed
    /// Prints the skip line and returns None, or returns the work record of a question.
    py::object (*select)(py::handle paper, py::handle q_id, py::handle question);
    /// The single broker call of the fallback, arguments taken from a work record.
    py::object (*generate)(py::handle broker, py::handle record);
    /// Stores the product into its question.
    void (*store)(py::handle question, py::handle product);
    /// Print a product's success line, in a batch and in the fallback.
    void (*batch_done)(const std::string& q_id, py::handle product);
    void (*fallback_done)(const std::string& q_id, py::handle product);
};

py::object select_rubric(py::handle paper, py::handle q_id, py::handle question) {
    if (has_criteria(py::getattr(question, "rubric", py::none()))) {
        say(texts::kRubricSkipExisting, "q_id"_a = str(q_id));
        return py::none();
    }
    return py::dict(py::arg("q_id") = q_id, py::arg("question") = question.attr("text"),
                    py::arg("max_marks") = question.attr("max_marks"),
                    py::arg("class_level") = paper.attr("class_level"), py::arg("subject") = paper.attr("subject"));
}

bool has_reference_answer(py::handle question) {
    py::object answer = py::getattr(question, "reference_answer", py::none());
    return !answer.is_none() && py::len(answer.attr("strip")()) > 0;
}

py::object select_answer(py::handle paper, py::handle q_id, py::handle question) {
    if (has_reference_answer(question)) {
        say(texts::kAnswerSkipExisting, "q_id"_a = str(q_id));
        return py::none();
    }
    py::object rubric = py::getattr(question, "rubric", py::none());
    if (!has_criteria(rubric)) {
        say(texts::kAnswerSkipNoRubric, "q_id"_a = str(q_id));
        return py::none();
    }
    return py::dict(py::arg("q_id") = q_id, py::arg("question") = question.attr("text"), py::arg("rubric") = rubric,
                    py::arg("class_level") = paper.attr("class_level"), py::arg("subject") = paper.attr("subject"));
}

py::object generate_rubric(py::handle broker, py::handle record) {
    return broker.attr("generateRubric")(py::arg("question") = record["question"],
                                         py::arg("max_marks") = record["max_marks"],
                                         py::arg("class_level") = record["class_level"],
                                         py::arg("subject") = record["subject"]);
}

py::object generate_answer(py::handle broker, py::handle record) {
    return broker.attr("generateRefAnswer")(py::arg("question") = record["question"],
                                            py::arg("rubric") = record["rubric"],
                                            py::arg("class_level") = record["class_level"],
                                            py::arg("subject") = record["subject"]);
}

void store_rubric(py::handle question, py::handle rubric) { question.attr("set_rubric")(rubric); }

void store_answer(py::handle question, py::handle answer) { question.attr("set_reference_answer")(answer); }

template <const std::string_view& line>
void announce_rubric(const std::string& q_id, py::handle rubric) {
    say(line, "q_id"_a = q_id, "c"_a = len_text(rubric.attr("criteria")), "t"_a = str(rubric.attr("total_marks")()));
}

template <const std::string_view& line>
void announce_answer(const std::string& q_id, py::handle answer) {
    say(line, "q_id"_a = q_id, "l"_a = len_text(answer));
}

constexpr Kind kRubrics{
    .opening = texts::kRubricsOpening,
    .nothing = texts::kRubricsNothing,
    .batch_error = texts::kRubricBatchError,
    .closing = texts::kRubricsClosing,
    .fallback_opening = texts::kRubricFallbackOpening,
    .fallback_item = texts::kRubricFallbackItem,
    .fallback_error = texts::kRubricFallbackError,
    .batch_sync = "generate_rubrics_batch_sync",
    .batch_async = "generate_rubrics_batch_async",
    .fallback_method = "_generate_rubrics_sync_fallback",
    .result_key = "rubric",
    .error_attr = "rubric_error",
    .select = select_rubric,
    .generate = generate_rubric,
    .store = store_rubric,
    .batch_done = announce_rubric<texts::kRubricBatchDone>,
    .fallback_done = announce_rubric<texts::kRubricFallbackDone>,
};

constexpr Kind kAnswers{
    .opening = texts::kAnswersOpening,
    .nothing = texts::kAnswersNothing,
    .batch_error = texts::kAnswerBatchError,
    .closing = texts::kAnswersClosing,
    .fallback_opening = texts::kAnswerFallbackOpening,
    .fallback_item = texts::kAnswerFallbackItem,
    .fallback_error = texts::kAnswerFallbackError,
    .batch_sync = "generate_ref_answers_batch_sync",
    .batch_async = "generate_ref_answers_batch_async",
    .fallback_method = "_generate_ref_answers_sync_fallback",
    .result_key = "ref_answer",
    .error_attr = "reference_answer_error",
    .select = select_answer,
    .generate = generate_answer,
    .store = store_answer,
    .batch_done = announce_answer<texts::kAnswerBatchDone>,
    .fallback_done = announce_answer<texts::kAnswerFallbackDone>,
};

/// Keeps the reason with the question, so the paper's validation can name it later.
/// Only a note: a question that does not take it is left as it is.
void note_failure(py::handle question, const char* error_attr, const std::string& error) {
    ordinary_error([&] { py::setattr(question, error_attr, py::str(error)); });
}

/// Opening line, selection with its skip lines; the work records of the selected questions.
template <const Kind& kind>
py::list select_work(py::handle question_paper) {
    require_paper(question_paper);
    py::object ids = question_paper.attr("get_question_ids")();
    say(kind.opening, "n"_a = len_text(ids));
    py::list work;
    for (py::handle q_id : ids) {
        py::object question = question_paper.attr("get_question")(q_id);
        py::object record = kind.select(question_paper, q_id, question);
        if (!record.is_none()) work.append(record);
    }
    return work;
}

/// Attaches the products of successful batch result records and reports the failed ones;
/// prints the closing line and returns identifier -> product.
template <const Kind& kind>
py::dict apply_results(py::handle question_paper, py::handle results) {
    py::dict generated;
    for (py::handle record : results) {
        if (truthy(record["success"])) {
            py::object q_id = record["q_id"];
            py::object product = record[kind.result_key];
            py::object question = question_paper.attr("get_question")(q_id);
            generated[q_id] = product;
            kind.store(question, product);
            kind.batch_done(str(q_id), product);
        } else {
            std::string error = str(record["error"]);
            say(kind.batch_error, "q_id"_a = str(record["q_id"]), "error"_a = error);
            ordinary_error(
                [&] { note_failure(question_paper.attr("get_question")(record["q_id"]), kind.error_attr, error); });
        }
    }
    say(kind.closing, "k"_a = len_text(generated));
    return generated;
}

/// After the batch was interrupted or cancelled: attaches the products it finished, which
/// the error carries, so that work already paid for is kept.
template <const Kind& kind>
void keep_finished(py::handle question_paper, const py::error_already_set& err) {
    if (is_ordinary(err)) return;
    py::object partial = partial_results(err);
    if (partial.is_none() || !truthy(partial)) return;
    // The interrupt goes on whatever happens here.
    ordinary_error([&] { apply_results<kind>(question_paper, partial); });
}

template <const Kind& kind>
py::object generate_all(py::object self, py::object question_paper) {
    py::list work = select_work<kind>(question_paper);
    if (work.empty()) {
        say(kind.nothing);
        return py::dict();
    }
    say(texts::kBatchCalling, "m"_a = len_text(work));
    py::object results;
    std::optional<std::string> failure;
    try {
        failure = ordinary_error([&] { results = self.attr("model_broker").attr(kind.batch_sync)(work); });
    } catch (py::error_already_set& err) {
        keep_finished<kind>(question_paper, err);
        throw;
    }
    if (failure) {
        say(texts::kBatchFailed, "error"_a = *failure);
        return self.attr(kind.fallback_method)(question_paper, work);
    }
    return apply_results<kind>(question_paper, results);
}

// The coroutine twin: the broker's batch awaited on the caller's event loop, no fallback.
template <const Kind& kind>
pyco::Task generate_all_async(py::object self, py::object question_paper) {
    py::list work = select_work<kind>(question_paper);
    if (work.empty()) {
        say(kind.nothing);
        co_return py::dict();
    }
    say(texts::kAsyncBatchCalling, "m"_a = len_text(work));
    // No guard: the caller decides what a failed batch means. Cancelled, it still leaves
    // what it finished in the paper.
    py::object results;
    try {
        results = co_await self.attr("model_broker").attr(kind.batch_async)(work);
    } catch (py::error_already_set& err) {
        keep_finished<kind>(question_paper, err);
        throw;
    }
    co_return apply_results<kind>(question_paper, results);
}

template <const Kind& kind>
py::object fallback(py::object self, py::object question_paper, py::object work) {
    say(kind.fallback_opening);
    py::dict generated;
    for (py::handle record : work) {
        py::object q_id = record["q_id"];
        std::string id = str(q_id);
        py::object question = question_paper.attr("get_question")(q_id);
        auto failure = ordinary_error([&] {
            say(kind.fallback_item, "q_id"_a = id);
            py::object product = kind.generate(self.attr("model_broker"), record);
            generated[q_id] = product;
            kind.store(question, product);
            kind.fallback_done(id, product);
        });
        if (failure) {
            say(kind.fallback_error, "q_id"_a = id, "error"_a = *failure);
            note_failure(question, kind.error_attr, *failure);
        }
    }
    return generated;
}

// Checks shared by the single-question routes; returns the question.
template <const std::string_view& unknown_id>
py::object find_question(py::handle question_paper, py::handle q_id) {
    require_paper(question_paper);
    if (!contains(question_paper.attr("get_question_ids")(), q_id)) {
        raise(PyExc_ValueError, fmt::format(unknown_id, "q_id"_a = str(q_id)));
    }
    return question_paper.attr("get_question")(q_id);
}

}  // namespace

py::object generate_rubrics_for_all_questions(py::object self, py::object question_paper) {
    return generate_all<kRubrics>(self, question_paper);
}

pyco::Task generate_rubrics_for_all_questions_async(py::object self, py::object question_paper) {
    return generate_all_async<kRubrics>(std::move(self), std::move(question_paper));
}

py::object generate_rubrics_sync_fallback(py::object self, py::object question_paper,
                                          py::object questions_to_process) {
    return fallback<kRubrics>(self, question_paper, questions_to_process);
}

py::object generate_reference_answers_for_all_questions(py::object self, py::object question_paper) {
    return generate_all<kAnswers>(self, question_paper);
}

pyco::Task generate_reference_answers_for_all_questions_async(py::object self, py::object question_paper) {
    return generate_all_async<kAnswers>(std::move(self), std::move(question_paper));
}

py::object generate_ref_answers_sync_fallback(py::object self, py::object question_paper,
                                              py::object questions_to_process) {
    return fallback<kAnswers>(self, question_paper, questions_to_process);
}

py::object generate_rubric_for_question(py::object self, py::object question_paper, py::object q_id) {
    py::object question = find_question<texts::kRubricUnknownId>(question_paper, q_id);
    std::string id = str(q_id);
    say(texts::kRubricSingle, "q_id"_a = id);
    return guarded(
        [&] {
            py::object rubric = self.attr("model_broker").attr("generateRubric")(
                py::arg("question") = question.attr("text"), py::arg("max_marks") = question.attr("max_marks"),
                py::arg("class_level") = question_paper.attr("class_level"),
                py::arg("subject") = question_paper.attr("subject"));
            question.attr("set_rubric")(rubric);
            announce_rubric<texts::kRubricSingleDone>(id, rubric);
            return rubric;
        },
        [&](const std::string& e) {
            note_failure(question, kRubrics.error_attr, e);
            return fmt::format(texts::kRubricSingleFailed, "q_id"_a = id, "error"_a = e);
        });
}

py::object generate_reference_answer_for_question(py::object self, py::object question_paper, py::object q_id) {
    py::object question = find_question<texts::kAnswerUnknownId>(question_paper, q_id);
    std::string id = str(q_id);
    py::object rubric = py::getattr(question, "rubric", py::none());
    if (!has_criteria(rubric)) raise(PyExc_ValueError, fmt::format(texts::kAnswerNoRubric, "q_id"_a = id));
    say(texts::kAnswerSingle, "q_id"_a = id);
    return guarded(
        [&] {
            py::object answer = self.attr("model_broker").attr("generateRefAnswer")(
                py::arg("question") = question.attr("text"), py::arg("rubric") = rubric,
                py::arg("class_level") = question_paper.attr("class_level"),
                py::arg("subject") = question_paper.attr("subject"));
            // Only text is stored: anything else would poison the saved paper.
            require_str(answer, texts::kReferenceAnswerName);
            question.attr("set_reference_answer")(answer);
            announce_answer<texts::kAnswerSingleDone>(id, answer);
            return answer;
        },
        [&](const std::string& e) {
            note_failure(question, kAnswers.error_attr, e);
            return fmt::format(texts::kAnswerSingleFailed, "q_id"_a = id, "error"_a = e);
        });
}

}  // namespace tovrane::paper_pipeline
