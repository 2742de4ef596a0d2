// Operations of SheetPipeline. Each takes the Python instance first and reaches its
// collaborators and sibling operations through attributes looked up at call time, so
// hosts and tests can replace any of them on the instance.
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyco.hpp"

namespace tovrane::sheet_pipeline {

namespace py = pybind11;

/// Empty native core: all state lives in the instance dictionary.
struct SheetPipeline {};

// ---- construction (construction.cpp) --------------------------------------------------------

void init(py::object self, py::object extractor_client, py::object model_broker);

// ---- PDF processing (processing.cpp) --------------------------------------------------------

py::object process_pdf(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers);
/// Checks the argument types now, then returns the coroutine of the run.
py::object process_pdf_async(py::object self, py::object pdf_path, py::object question_paper,
                             py::object page_numbers);

// ---- evaluation, each blocking route with its coroutine twin (evaluation.cpp) ---------------

py::object evaluate_all_answers(py::object self, py::object answersheet, py::object question_paper);
pyco::Task evaluate_all_answers_async(py::object self, py::object answersheet, py::object question_paper);
py::dict evaluate_all_answers_sync(py::object self, py::object answersheet, py::object question_paper);
/// `_evaluate_all_answers_async`: the twin of evaluate_all_answers_sync.
pyco::Task evaluate_all_answers_async_impl(py::object self, py::object answersheet, py::object question_paper);
py::object evaluate_answer_by_qid(py::object self, py::object q_id, py::object answersheet,
                                  py::object question_paper);
pyco::Task evaluate_answer_by_qid_async(py::object self, py::object q_id, py::object answersheet,
                                        py::object question_paper);
py::dict evaluate_single_answer_sync(py::object self, py::object q_id, py::object answersheet,
                                     py::object question_paper);
py::dict evaluate_single_answer(py::object self, py::object q_id, py::object answersheet,
                                py::object question_paper);
pyco::Task evaluate_single_answer_async(py::object self, py::object q_id, py::object answersheet,
                                        py::object question_paper);

// ---- validation, summary and saving (reporting.cpp) -----------------------------------------

py::dict validate_processing(py::object self, py::object answersheet, py::object question_paper);
py::dict get_summary(py::object self, py::object answersheet, py::object question_paper);
void print_summary(py::object self, py::object answersheet, py::object question_paper);
py::list get_answersheet_format(py::object self, py::object answersheet, py::object question_paper);
void save_to_file(py::object self, py::object answersheet, py::object question_paper, py::object output_path,
                  py::object format);

}  // namespace tovrane::sheet_pipeline
