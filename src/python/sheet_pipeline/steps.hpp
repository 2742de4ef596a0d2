// Steps shared by the synchronous and the asynchronous routes of the pipeline.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string_view>

namespace tovrane::sheet_pipeline::detail {

namespace py = pybind11;

/// TypeError unless pdf_path is a str and page_numbers a list or None; `op` names the caller.
void check_process_args(const char* op, py::handle pdf_path, py::handle page_numbers);

/// Checks the file, then prints the opening lines up to the page selection.
void announce_run(std::string_view starting_line, py::handle pdf_path, py::handle question_paper,
                  py::handle page_numbers);

/// Selects the back end for the paper's subject, extracts the page texts, stores them
/// in `extracted_texts` and reports their count.
py::object extract_pages(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers);

/// Collects one evaluation request per answer whose question has a usable rubric and
/// reference answer, printing a skip line for the others.
py::list collect_requests(py::object answersheet, py::object question_paper);

/// Writes the batch results into the answers and returns the result record.
py::dict apply_batch_results(py::object answersheet, py::object question_paper, py::object results);

/// After the batch was interrupted or cancelled: applies the results it finished, which
/// the error carries, so that they are not lost with the rest.
void keep_finished_evaluations(py::handle answersheet, py::handle question_paper, const py::error_already_set& err);

/// The skip record for a question that cannot be evaluated, after printing its skip line
/// and noting the reason on the answer.
std::optional<py::dict> skip_single(py::handle q_id, py::handle question, py::handle answer);

/// Notes an ordinary evaluation error on the answer as the reason it was not evaluated.
void note_evaluation_error(py::handle answer, const py::error_already_set& err);

/// Writes one evaluation into the answer, prints the marks and returns the result record.
py::dict apply_single_evaluation(py::handle answer, py::handle question, py::handle evaluation);

/// The keyword arguments of evaluateAnswer for this answer and question.
py::dict evaluation_kwargs(py::handle answer, py::handle question);

/// The answersheet-only and paper-only identifier checks of evaluate_answer_by_qid.
void require_known_qid(py::handle q_id, py::handle answersheet, py::handle question_paper);

}  // namespace tovrane::sheet_pipeline::detail
