// Coroutine twins: PDF processing and evaluation on the caller's event loop.
#include <exception>
#include <optional>
#include <string>

#include "engine/text/sheet_texts.hpp"
#include "sheet_pipeline/operations.hpp"
#include "sheet_pipeline/steps.hpp"
#include "sheet_pipeline/support.hpp"

namespace tovrane::sheet_pipeline {

namespace texts = tovrane::text::sheet;
using detail::say;

namespace {

pyco::Task run_pdf_async(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers) {
    detail::announce_run(texts::kStartingAsync, pdf_path, question_paper, page_numbers);
    // Extraction stays blocking, as on the synchronous route.
    py::object pages = detail::extract_pages(self, pdf_path, question_paper, page_numbers);

    say(texts::kStepParseAsync);
    py::object answersheet;
    try {
        answersheet = co_await self.attr("model_broker").attr("parseAnswersheet_async")(pages, question_paper);
        say(texts::kParsedAsync, py::len(answersheet.attr("get_question_ids")()));
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
        py_util::raise_from_cause(err, PyExc_RuntimeError, fmt::format(texts::kParseFailed, py_util::error_text(err)));
    } catch (const std::exception& err) {
        detail::raise(PyExc_RuntimeError, fmt::format(texts::kParseFailed, err.what()));
    }

    say(texts::kStepEvaluateAsync);
    co_await self.attr("_evaluate_all_answers_async")(answersheet, question_paper);
    say(texts::kFinishedAsync);
    co_return answersheet;
}

}  // namespace

py::object process_pdf_async(py::object self, py::object pdf_path, py::object question_paper,
                             py::object page_numbers) {
    detail::check_process_args("process_pdf_async", pdf_path, page_numbers);
    return pyco::to_python(run_pdf_async(std::move(self), std::move(pdf_path), std::move(question_paper),
                                         std::move(page_numbers)));
}

pyco::Task evaluate_all_answers_async(py::object self, py::object answersheet, py::object question_paper) {
    detail::require_inputs(answersheet, question_paper);
    py::object record = co_await self.attr("_evaluate_all_answers_async")(answersheet, question_paper);
    co_return record;
}

pyco::Task evaluate_all_answers_async_impl(py::object self, py::object answersheet, py::object question_paper) {
    py::list requests = detail::collect_requests(answersheet, question_paper);
    if (requests.empty()) {
        say(texts::kNoValidQuestions);
        co_return py::dict();
    }
    say(texts::kProcessingConcurrently, requests.size());
    py::object results;
    try {
        results = co_await self.attr("model_broker").attr("evaluate_answers_batch_async")(requests);
    } catch (py::error_already_set& err) {
        detail::keep_finished_evaluations(answersheet, question_paper, err);
        throw;
    }
    co_return detail::apply_batch_results(answersheet, question_paper, results);
}

pyco::Task evaluate_answer_by_qid_async(py::object self, py::object q_id, py::object answersheet,
                                        py::object question_paper) {
    detail::require_inputs(answersheet, question_paper);
    detail::require_known_qid(q_id, answersheet, question_paper);
    py::object result = co_await self.attr("_evaluate_single_answer_async")(q_id, answersheet, question_paper);
    co_return result;
}

pyco::Task evaluate_single_answer_async(py::object self, py::object q_id, py::object answersheet,
                                        py::object question_paper) {
    py::object question = question_paper.attr("get_question")(q_id);
    py::object answer = answersheet.attr("get_answer")(q_id);
    if (std::optional<py::dict> skip = detail::skip_single(q_id, question, answer)) co_return *skip;
    say(texts::kEvaluatingSingle, detail::render(q_id));
    py::object evaluation;
    try {
        evaluation = co_await self.attr("model_broker").attr("evaluateAnswer_async")(
            **detail::evaluation_kwargs(answer, question));
    } catch (py::error_already_set& err) {
        detail::note_evaluation_error(answer, err);
        throw;
    }
    co_return detail::apply_single_evaluation(answer, question, evaluation);
}

}  // namespace tovrane::sheet_pipeline
