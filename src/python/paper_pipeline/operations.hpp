// Operations of PaperPipeline. Each takes the Python instance first and reaches its
// collaborators and its own methods through attributes looked up at call time, so hosts
// and tests can replace any of them on the instance.
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyco.hpp"

namespace tovrane::paper_pipeline {

namespace py = pybind11;

/// Empty native core: all state lives in the instance dictionary.
struct PaperPipeline {};

// ---- construction (construction.cpp) --------------------------------------------------------

/// Loads the dotenv file and sets the instance attributes; no type checks.
void init(py::object self, py::object extractor_client, py::object model_broker);
void set_extractor_client(py::object self, py::object extractor_client);
void set_model_broker(py::object self, py::object model_broker);

// ---- PDF processing (processing.cpp) --------------------------------------------------------

/// Extracts the page texts and parses them into a QuestionPaper, which it returns.
py::object process_pdf(py::object self, py::object pdf_path, py::object subject, py::object language,
                       py::object class_level, py::object page_numbers);

// ---- rubrics and reference answers (generation.cpp) -----------------------------------------

py::object generate_rubrics_for_all_questions(py::object self, py::object question_paper);
/// Awaitable twin of the all-questions route, without fallback.
pyco::Task generate_rubrics_for_all_questions_async(py::object self, py::object question_paper);
py::object generate_rubrics_sync_fallback(py::object self, py::object question_paper,
                                          py::object questions_to_process);
py::object generate_rubric_for_question(py::object self, py::object question_paper, py::object q_id);
py::object generate_reference_answers_for_all_questions(py::object self, py::object question_paper);
pyco::Task generate_reference_answers_for_all_questions_async(py::object self, py::object question_paper);
py::object generate_ref_answers_sync_fallback(py::object self, py::object question_paper,
                                              py::object questions_to_process);
py::object generate_reference_answer_for_question(py::object self, py::object question_paper, py::object q_id);

// ---- validation, summary and saving (reporting.cpp) -----------------------------------------

py::dict validate_processing(py::object self, py::object question_paper);
py::dict get_summary(py::object self, py::object question_paper);
void print_summary(py::object self, py::object question_paper);
py::dict get_input_data_format(py::object self, py::object question_paper, py::object answer_pages);
void save_to_file(py::object self, py::object question_paper, py::object output_path, py::object answer_pages,
                  py::object format);

}  // namespace tovrane::paper_pipeline
