// Evaluation of a parsed answersheet: all answers through the broker's batch, or one by
// id; each blocking route with its coroutine twin on the caller's event loop.
#include <fmt/format.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "common/python.hpp"
#include "engine/text/sheet_pipeline_texts.hpp"
#include "sheet_pipeline/internal.hpp"
#include "sheet_pipeline/operations.hpp"

namespace tovrane::sheet_pipeline {

namespace texts = tovrane::text::sheet_pipeline;
using namespace fmt::literals;
using namespace py_util;

namespace {

bool has_usable_rubric(py::handle question) {
    py::object rubric = question.attr("rubric");
    return truthy(rubric) && truthy(rubric.attr("criteria"));
}

bool has_usable_reference(py::handle question) {
    py::object reference = question.attr("reference_answer");
    return truthy(reference) && truthy(reference.attr("strip")());
}

/// The evaluation result record of one answer, from the broker's evaluation record.
py::dict result_record(py::handle evaluation) {
    py::dict record;
    record["rubric"] = evaluation.attr("get")("rubric");
    record["awarded_marks"] = evaluation.attr("get")("awarded_marks", 0);
    record["feedback"] = evaluation.attr("get")("feedback", "");
    record["evaluated"] = true;
    record["evaluation_error"] = py::none();
    return record;
}

/// Notes on the answer whether it was evaluated and, if not, why, so 0 marks without a
/// verdict are not read as a real zero. Only a note: an answer that does not take it (a
/// host's own object) is marked all the same.
void note_evaluation(py::handle answer, bool evaluated, const py::object& reason) {
    ordinary_error([&] {
        answer.attr("evaluated") = py::bool_(evaluated);
        answer.attr("evaluation_error") = reason;
    });
}

void note_not_evaluated(py::handle answer, const py::object& reason) { note_evaluation(answer, false, reason); }

/// Marks the answer with the evaluation's rubric and feedback.
void write_back(py::handle answer, py::handle evaluation) {
    answer.attr("set_eval_rubric")(evaluation.attr("get")("rubric"));
    answer.attr("set_feedback")(evaluation.attr("get")("feedback", ""));
    note_evaluation(answer, true, py::none());
}

/// The same for the answer a batch result names; an answer that cannot be found is
/// already reported by the result's own line.
void note_result_failure(py::handle answersheet, py::handle result, const py::object& reason) {
    ordinary_error([&] {
        if (!PyDict_Check(result.ptr()) || !contains(result, py::str("q_id"))) return;
        note_not_evaluated(answersheet.attr("get_answer")(result["q_id"]), reason);
    });
}

py::object result_qid(py::handle result) {
    if (PyDict_Check(result.ptr())) return result.attr("get")("q_id", to_py(texts::kUnknownQid));
    return to_py(texts::kUnknownQid);
}

/// `written` turns true once the evaluation is in the answer: it stays there, whatever fails later.
void apply_one_result(py::handle answersheet, py::handle question_paper, py::handle result, py::dict& records,
                      std::size_t& succeeded, bool& written) {
    if (!truthy(result.attr("get")("success", false))) {
        py::object error = result.attr("get")("error", to_py(texts::kUnknownError));
        say(texts::kErrorEvaluating, "q_id"_a = str(result.attr("get")("q_id", to_py(texts::kUnknownQid))),
            "error"_a = str(error));
        note_result_failure(answersheet, result, py::str(error));
        return;
    }
    py::object q_id = result["q_id"];
    py::object evaluation = result["evaluation"];
    write_back(answersheet.attr("get_answer")(q_id), evaluation);
    written = true;
    py::object awarded = evaluation.attr("get")("awarded_marks", 0);
    py::object max_marks = question_paper.attr("get_question")(q_id).attr("max_marks");
    say(texts::kAwardedFor, "q_id"_a = str(q_id), "awarded"_a = str(awarded), "max_marks"_a = str(max_marks));
    records[q_id] = result_record(evaluation);
    ++succeeded;
}

/// One evaluation request per answer whose question has a usable rubric and reference
/// answer; a skip line (and the reason, on the answer) for the others.
py::list collect_requests(py::object answersheet, py::object question_paper) {
    py::list requests;
    for (py::handle q_id : answersheet.attr("get_question_ids")()) {
        py::object question = question_paper.attr("get_question")(q_id);
        py::object answer = answersheet.attr("get_answer")(q_id);
        if (!has_usable_rubric(question)) {
            say(texts::kSkipNoRubric, "q_id"_a = str(q_id));
            note_not_evaluated(answer, to_py(texts::kSkipReasonNoRubric));
            continue;
        }
        if (!has_usable_reference(question)) {
            say(texts::kSkipNoReference, "q_id"_a = str(q_id));
            note_not_evaluated(answer, to_py(texts::kSkipReasonNoReference));
            continue;
        }
        py::dict request;
        request["q_id"] = q_id;
        request["student_answer"] = answer.attr("text");
        request["question"] = question.attr("text");
        request["rubric"] = question.attr("rubric");
        request["reference_answer"] = question.attr("reference_answer");
        requests.append(request);
    }
    return requests;
}

/// Writes the batch results into the answers and returns the result record.
py::dict apply_batch_results(py::handle answersheet, py::handle question_paper, py::handle results) {
    py::dict records;
    std::size_t succeeded = 0;
    for (py::handle result : results) {
        // One bad result must not cost the others their marks.
        bool written = false;
        try {
            apply_one_result(answersheet, question_paper, result, records, succeeded, written);
        } catch (...) {
            const std::string message = detail::caught_ordinary().text;
            say(texts::kErrorProcessing, "q_id"_a = str(result_qid(result)), "error"_a = message);
            if (!written) note_result_failure(answersheet, result, py::str(message));
        }
    }
    say(texts::kEvaluatedCount, "n"_a = succeeded);
    return records;
}

/// After the batch was interrupted or cancelled: applies the results it finished, which
/// the error carries, so that they are not lost with the rest.
void keep_finished_evaluations(py::handle answersheet, py::handle question_paper, const py::error_already_set& err) {
    if (is_ordinary(err)) return;
    py::object partial = partial_results(err);
    if (partial.is_none() || !truthy(partial)) return;
    // The interrupt goes on whatever happens here.
    ordinary_error([&] { apply_batch_results(answersheet, question_paper, partial); });
}

/// The skip record for a question that cannot be evaluated, after printing its skip line
/// and noting the reason on the answer.
std::optional<py::dict> skip_single(py::handle q_id, py::handle question, py::handle answer) {
    std::string_view reason;
    if (!has_usable_rubric(question)) {
        say(texts::kSkipNoRubric, "q_id"_a = str(q_id));
        reason = texts::kSkipReasonNoRubric;
    } else if (!has_usable_reference(question)) {
        say(texts::kSkipNoReference, "q_id"_a = str(q_id));
        reason = texts::kSkipReasonNoReference;
    } else {
        return std::nullopt;
    }
    note_not_evaluated(answer, to_py(reason));
    py::dict skip;
    skip["qid"] = q_id;
    skip["status"] = to_py(texts::kSkipped);
    skip["reason"] = to_py(reason);
    return skip;
}

/// The keyword arguments of evaluateAnswer for this answer and question.
py::dict evaluation_kwargs(py::handle answer, py::handle question) {
    return py::dict(py::arg("student_answer") = answer.attr("text"), py::arg("question") = question.attr("text"),
                    py::arg("rubric") = question.attr("rubric"),
                    py::arg("reference_answer") = question.attr("reference_answer"));
}

/// Notes an ordinary evaluation error on the answer as the reason it was not evaluated.
void note_evaluation_error(py::handle answer, const py::error_already_set& err) {
    if (is_ordinary(err)) note_not_evaluated(answer, py::str(err.value()));
}

/// Writes one evaluation into the answer, prints the marks and returns the result record.
py::dict apply_single_evaluation(py::handle answer, py::handle question, py::handle evaluation) {
    write_back(answer, evaluation);
    say(texts::kAwarded, "awarded"_a = str(evaluation.attr("get")("awarded_marks", 0)),
        "max_marks"_a = str(question.attr("max_marks")));
    return result_record(evaluation);
}

/// The answersheet-only and paper-only identifier checks of evaluate_answer_by_qid.
void require_known_qid(py::handle q_id, py::handle answersheet, py::handle question_paper) {
    if (!contains(answersheet.attr("get_question_ids")(), q_id)) {
        raise(PyExc_ValueError, fmt::format(texts::kNotInAnswersheet, "q_id"_a = str(q_id)));
    }
    if (!contains(question_paper.attr("get_question_ids")(), q_id)) {
        raise(PyExc_ValueError, fmt::format(texts::kNotInPaper, "q_id"_a = str(q_id)));
    }
}

/// One answer's evaluation on the blocking route; `progress` tells the two methods apart.
template <const std::string_view& progress>
py::dict evaluate_single(py::object self, py::object q_id, py::object answersheet, py::object question_paper) {
    py::object question = question_paper.attr("get_question")(q_id);
    py::object answer = answersheet.attr("get_answer")(q_id);
    if (auto skip = skip_single(q_id, question, answer)) return *skip;
    say(progress, "q_id"_a = str(q_id));
    py::object evaluation;
    try {
        evaluation = self.attr("model_broker").attr("evaluateAnswer")(**evaluation_kwargs(answer, question));
    } catch (py::error_already_set& err) {
        note_evaluation_error(answer, err);
        throw;
    }
    return apply_single_evaluation(answer, question, evaluation);
}

}  // namespace

// ---- all answers -------------------------------------------------------------------------

py::object evaluate_all_answers(py::object self, py::object answersheet, py::object question_paper) {
    require_inputs(answersheet, question_paper);
    say(texts::kEvaluatingAll, "n"_a = py::len(answersheet.attr("get_question_ids")()));
    py::object result = self.attr("_evaluate_all_answers_sync")(answersheet, question_paper);
    if (!result.is_none() && !PyDict_Check(result.ptr())) {
        raise(PyExc_TypeError, fmt::format(texts::kAllResultType, "type"_a = type_name(result)));
    }
    return result;
}

pyco::Task evaluate_all_answers_async(py::object self, py::object answersheet, py::object question_paper) {
    require_inputs(answersheet, question_paper);
    py::object record = co_await self.attr("_evaluate_all_answers_async")(answersheet, question_paper);
    co_return record;
}

py::dict evaluate_all_answers_sync(py::object self, py::object answersheet, py::object question_paper) {
    py::list requests = collect_requests(answersheet, question_paper);
    if (requests.empty()) {
        say(texts::kNoValidQuestions);
        return py::dict();
    }
    say(texts::kProcessingConcurrently, "n"_a = requests.size());
    py::object results;
    try {
        results = self.attr("model_broker").attr("evaluate_answers_batch_sync")(requests);
    } catch (py::error_already_set& err) {
        keep_finished_evaluations(answersheet, question_paper, err);
        throw;
    }
    return apply_batch_results(answersheet, question_paper, results);
}

pyco::Task evaluate_all_answers_async_impl(py::object self, py::object answersheet, py::object question_paper) {
    py::list requests = collect_requests(answersheet, question_paper);
    if (requests.empty()) {
        say(texts::kNoValidQuestions);
        co_return py::dict();
    }
    say(texts::kProcessingConcurrently, "n"_a = requests.size());
    py::object results;
    try {
        results = co_await self.attr("model_broker").attr("evaluate_answers_batch_async")(requests);
    } catch (py::error_already_set& err) {
        keep_finished_evaluations(answersheet, question_paper, err);
        throw;
    }
    co_return apply_batch_results(answersheet, question_paper, results);
}

// ---- one answer by its identifier ----------------------------------------------------------

py::object evaluate_answer_by_qid(py::object self, py::object q_id, py::object answersheet,
                                  py::object question_paper) {
    require_inputs(answersheet, question_paper);
    require_known_qid(q_id, answersheet, question_paper);
    say(texts::kEvaluatingOne, "q_id"_a = str(q_id));
    return guarded(
        [&] {
            py::object result = self.attr("_evaluate_single_answer_sync")(q_id, answersheet, question_paper);
            // Python's own str + identifier: a non-text identifier fails here as it would there.
            py::object line = to_py(texts::kEvaluationCompletedStem) + q_id;
            py::print(line);
            if (!PyDict_Check(result.ptr())) {
                raise(PyExc_TypeError, fmt::format(texts::kSingleResultType, "type"_a = type_name(result)));
            }
            return result;
        },
        [&](const std::string& err) {
            return fmt::format(texts::kEvaluateOneFailed, "q_id"_a = str(q_id), "error"_a = err);
        });
}

pyco::Task evaluate_answer_by_qid_async(py::object self, py::object q_id, py::object answersheet,
                                        py::object question_paper) {
    require_inputs(answersheet, question_paper);
    require_known_qid(q_id, answersheet, question_paper);
    py::object result = co_await self.attr("_evaluate_single_answer_async")(q_id, answersheet, question_paper);
    co_return result;
}

py::dict evaluate_single_answer_sync(py::object self, py::object q_id, py::object answersheet,
                                     py::object question_paper) {
    return evaluate_single<texts::kEvaluatingSingle>(self, q_id, answersheet, question_paper);
}

py::dict evaluate_single_answer(py::object self, py::object q_id, py::object answersheet,
                                py::object question_paper) {
    return evaluate_single<texts::kEvaluatingSingleShort>(self, q_id, answersheet, question_paper);
}

pyco::Task evaluate_single_answer_async(py::object self, py::object q_id, py::object answersheet,
                                        py::object question_paper) {
    py::object question = question_paper.attr("get_question")(q_id);
    py::object answer = answersheet.attr("get_answer")(q_id);
    if (std::optional<py::dict> skip = skip_single(q_id, question, answer)) co_return *skip;
    say(texts::kEvaluatingSingle, "q_id"_a = str(q_id));
    py::object evaluation;
    try {
        evaluation = co_await self.attr("model_broker").attr("evaluateAnswer_async")(
            **evaluation_kwargs(answer, question));
    } catch (py::error_already_set& err) {
        note_evaluation_error(answer, err);
        throw;
    }
    co_return apply_single_evaluation(answer, question, evaluation);
}

}  // namespace tovrane::sheet_pipeline
