// Evaluation of a parsed answersheet: all answers through the broker's batch, or one by id.
#include <string>

#include "engine/text/sheet_texts.hpp"
#include "sheet_pipeline/operations.hpp"
#include "sheet_pipeline/steps.hpp"
#include "sheet_pipeline/support.hpp"

namespace tovrane::sheet_pipeline {

namespace texts = tovrane::text::sheet;
using detail::render;
using detail::say;
using namespace pybind11::literals;

namespace detail {

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
    py_util::ordinary_error([&] {
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
    py_util::ordinary_error([&] {
        if (!PyDict_Check(result.ptr()) || !detail::contains(result, py::str("q_id"))) return;
        note_not_evaluated(answersheet.attr("get_answer")(result["q_id"]), reason);
    });
}

py::object result_qid(py::handle result) {
    if (PyDict_Check(result.ptr())) return result.attr("get")("q_id", texts::kUnknownQid);
    return py::str(texts::kUnknownQid);
}

/// `written` turns true once the evaluation is in the answer: it stays there, whatever fails later.
void apply_one_result(py::handle answersheet, py::handle question_paper, py::handle result, py::dict& records,
                      std::size_t& succeeded, bool& written) {
    if (!truthy(result.attr("get")("success", false))) {
        py::object error = result.attr("get")("error", texts::kUnknownError);
        say(texts::kErrorEvaluating, render(result.attr("get")("q_id", texts::kUnknownQid)), render(error));
        note_result_failure(answersheet, result, py::str(error));
        return;
    }
    py::object q_id = result["q_id"];
    py::object evaluation = result["evaluation"];
    write_back(answersheet.attr("get_answer")(q_id), evaluation);
    written = true;
    py::object awarded = evaluation.attr("get")("awarded_marks", 0);
    py::object max_marks = question_paper.attr("get_question")(q_id).attr("max_marks");
    say(texts::kAwardedFor, render(q_id), render(awarded), render(max_marks));
    records[q_id] = result_record(evaluation);
    ++succeeded;
}

}  // namespace

py::list collect_requests(py::object answersheet, py::object question_paper) {
    py::list requests;
    for (py::handle q_id : answersheet.attr("get_question_ids")()) {
        py::object question = question_paper.attr("get_question")(q_id);
        py::object answer = answersheet.attr("get_answer")(q_id);
        if (!has_usable_rubric(question)) {
            say(texts::kSkipNoRubric, render(q_id));
            note_not_evaluated(answer, py::str(texts::kSkipReasonNoRubric));
            continue;
        }
        if (!has_usable_reference(question)) {
            say(texts::kSkipNoReference, render(q_id));
            note_not_evaluated(answer, py::str(texts::kSkipReasonNoReference));
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

py::dict apply_batch_results(py::object answersheet, py::object question_paper, py::object results) {
    py::dict records;
    std::size_t succeeded = 0;
    for (py::handle result : results) {
        // One bad result must not cost the others their marks.
        bool written = false;
        try {
            apply_one_result(answersheet, question_paper, result, records, succeeded, written);
        } catch (py::error_already_set& err) {
            if (!py_util::is_ordinary(err)) throw;
            std::string message = py_util::error_text(err);
            say(texts::kErrorProcessing, render(result_qid(result)), message);
            if (!written) note_result_failure(answersheet, result, py::str(message));
        } catch (const std::exception& err) {
            say(texts::kErrorProcessing, render(result_qid(result)), std::string(err.what()));
            if (!written) note_result_failure(answersheet, result, py::str(err.what()));
        }
    }
    say(texts::kEvaluatedCount, succeeded);
    return records;
}

void keep_finished_evaluations(py::handle answersheet, py::handle question_paper, const py::error_already_set& err) {
    if (py_util::is_ordinary(err)) return;
    py::object partial = py_util::partial_results(err);
    if (partial.is_none() || !truthy(partial)) return;
    // The interrupt goes on whatever happens here.
    py_util::ordinary_error([&] {
        apply_batch_results(py::reinterpret_borrow<py::object>(answersheet),
                            py::reinterpret_borrow<py::object>(question_paper), partial);
    });
}

std::optional<py::dict> skip_single(py::handle q_id, py::handle question, py::handle answer) {
    std::string_view reason;
    if (!has_usable_rubric(question)) {
        say(texts::kSkipNoRubric, render(q_id));
        reason = texts::kSkipReasonNoRubric;
    } else if (!has_usable_reference(question)) {
        say(texts::kSkipNoReference, render(q_id));
        reason = texts::kSkipReasonNoReference;
    } else {
        return std::nullopt;
    }
    note_not_evaluated(answer, py::str(reason));
    py::dict skip;
    skip["qid"] = q_id;
    skip["status"] = texts::kSkipped;
    skip["reason"] = reason;
    return skip;
}

py::dict evaluation_kwargs(py::handle answer, py::handle question) {
    return py::dict("student_answer"_a = answer.attr("text"), "question"_a = question.attr("text"),
                    "rubric"_a = question.attr("rubric"), "reference_answer"_a = question.attr("reference_answer"));
}

void note_evaluation_error(py::handle answer, const py::error_already_set& err) {
    if (py_util::is_ordinary(err)) note_not_evaluated(answer, py::str(err.value()));
}

py::dict apply_single_evaluation(py::handle answer, py::handle question, py::handle evaluation) {
    write_back(answer, evaluation);
    say(texts::kAwarded, render(evaluation.attr("get")("awarded_marks", 0)), render(question.attr("max_marks")));
    return result_record(evaluation);
}

void require_known_qid(py::handle q_id, py::handle answersheet, py::handle question_paper) {
    if (!contains(answersheet.attr("get_question_ids")(), q_id)) {
        raise(PyExc_ValueError, fmt::format(texts::kNotInAnswersheet, render(q_id)));
    }
    if (!contains(question_paper.attr("get_question_ids")(), q_id)) {
        raise(PyExc_ValueError, fmt::format(texts::kNotInPaper, render(q_id)));
    }
}

}  // namespace detail

py::object evaluate_all_answers(py::object self, py::object answersheet, py::object question_paper) {
    detail::require_inputs(answersheet, question_paper);
    say(texts::kEvaluatingAll, py::len(answersheet.attr("get_question_ids")()));
    py::object result = self.attr("_evaluate_all_answers_sync")(answersheet, question_paper);
    if (!result.is_none() && !PyDict_Check(result.ptr())) {
        detail::raise(PyExc_TypeError,
                      fmt::format(texts::kAllResultType, render(py::type::of(result).attr("__name__"))));
    }
    return result;
}

py::dict evaluate_all_answers_sync(py::object self, py::object answersheet, py::object question_paper) {
    py::list requests = detail::collect_requests(answersheet, question_paper);
    if (requests.empty()) {
        say(texts::kNoValidQuestions);
        return py::dict();
    }
    say(texts::kProcessingConcurrently, requests.size());
    py::object results;
    try {
        results = self.attr("model_broker").attr("evaluate_answers_batch_sync")(requests);
    } catch (py::error_already_set& err) {
        detail::keep_finished_evaluations(answersheet, question_paper, err);
        throw;
    }
    return detail::apply_batch_results(answersheet, question_paper, results);
}

py::object evaluate_answer_by_qid(py::object self, py::object q_id, py::object answersheet,
                                  py::object question_paper) {
    detail::require_inputs(answersheet, question_paper);
    detail::require_known_qid(q_id, answersheet, question_paper);
    say(texts::kEvaluatingOne, render(q_id));
    return detail::guarded(
        [&] {
            py::object result = self.attr("_evaluate_single_answer_sync")(q_id, answersheet, question_paper);
            // Python's own str + identifier: a non-text identifier fails here as it would there.
            py::object line = py::str(texts::kEvaluationCompletedStem) + q_id;
            py::print(line);
            if (!PyDict_Check(result.ptr())) {
                detail::raise(PyExc_TypeError,
                              fmt::format(texts::kSingleResultType, render(py::type::of(result).attr("__name__"))));
            }
            return result;
        },
        [&](const std::string& err) { return fmt::format(texts::kEvaluateOneFailed, render(q_id), err); });
}

namespace {

py::dict evaluate_single(py::object self, py::object q_id, py::object answersheet, py::object question_paper,
                         fmt::format_string<std::string> progress_line) {
    py::object question = question_paper.attr("get_question")(q_id);
    py::object answer = answersheet.attr("get_answer")(q_id);
    if (auto skip = detail::skip_single(q_id, question, answer)) return *skip;
    say(progress_line, render(q_id));
    py::object evaluation;
    try {
        evaluation = self.attr("model_broker").attr("evaluateAnswer")(**detail::evaluation_kwargs(answer, question));
    } catch (py::error_already_set& err) {
        detail::note_evaluation_error(answer, err);
        throw;
    }
    return detail::apply_single_evaluation(answer, question, evaluation);
}

}  // namespace

py::dict evaluate_single_answer_sync(py::object self, py::object q_id, py::object answersheet,
                                     py::object question_paper) {
    return evaluate_single(self, q_id, answersheet, question_paper, texts::kEvaluatingSingle);
}

py::dict evaluate_single_answer(py::object self, py::object q_id, py::object answersheet,
                                py::object question_paper) {
    return evaluate_single(self, q_id, answersheet, question_paper, texts::kEvaluatingSingleShort);
}

}  // namespace tovrane::sheet_pipeline
