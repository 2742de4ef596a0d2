// Operations of TovraneConfig and Tovrane. Each takes the Python instance first and reaches
// the components, the document model and its own steps through attributes looked up at call
// time, so hosts and tests can replace any of them.
#pragma once

#include <pybind11/pybind11.h>

namespace tovrane::facade {

namespace py = pybind11;

/// Both classes keep all state in the instance dictionary, so hosts and tests can read and
/// replace every attribute, and an attribute set on an instance shadows a method.
struct TovraneConfig {};
struct Tovrane {};

// ---- module attributes (internal.cpp) -------------------------------------------------------

/// Creates TovraneError and its three subclasses and adds them to the module.
void create_error_classes(py::module_& m);

// ---- construction and the configuration record (construction.cpp) ---------------------------

/// Checks the values and stores them as attributes of the same names.
void init_config(py::object self, py::object extractor_type, py::object extractor_region,
                 py::object openai_api_key, py::object aws_access_key_id, py::object aws_secret_access_key,
                 py::object gemini_api_key, py::object mathpix_app_id, py::object mathpix_app_key,
                 py::object token_log_file, py::object enable_llm_token_logging, py::object dpi,
                 py::object max_concurrent_requests, py::object requests_per_minute, py::object request_timeout,
                 py::object max_retries);
py::dict config_to_dict(py::object self);
/// Sets the attributes of an unconfigured facade.
void init_facade(py::object self);

// ---- start-up and readiness (startup.cpp) ---------------------------------------------------

void configure(py::object self, py::object config);
void set_environment_variables(py::object self, py::object config);
void initialize_model_broker(py::object self, py::object config);
void initialize_extractor_client(py::object self, py::object config);
void initialize_handlers(py::object self);
void validate_configured(py::object self);
bool is_ready(py::object self);
py::dict get_configuration_summary(py::object self);

// ---- workflows (workflows.cpp) --------------------------------------------------------------

void validate_file_path(py::object self, py::object pdf_path);
void validate_question_paper_inputs(py::object self, py::object subject, py::object language,
                                    py::object class_level);
void validate_question_paper_loaded(py::object self);
void validate_question_ids_for_paper(py::object self, py::object question_ids, py::object question_paper);
void validate_question_ids(py::object self, py::object question_ids);

py::object process_question_paper(py::object self, py::object pdf_path, py::object subject, py::object language,
                                  py::object class_level, py::object page_numbers);
py::object generate_rubrics(py::object self, py::object question_paper, py::object question_ids);
py::object generate_reference_answers(py::object self, py::object question_paper, py::object question_ids);
py::object process_answersheet(py::object self, py::object pdf_path, py::object page_numbers);
py::object change_question_paper(py::object self, py::object question_paper);
py::object get_current_question_paper(py::object self);
py::dict get_processing_summary(py::object self);
py::object get_token_usage_summary(py::object self);

// ---- updates (updates.cpp) ------------------------------------------------------------------

void update_rubrics_for_questions(py::object self, py::object question_paper, py::object rubrics_data);
void update_reference_answers_for_questions(py::object self, py::object question_paper,
                                            py::object reference_answers_data);
/// Class-level: needs no instance.
py::object create_rubric_from_dict(py::object criteria_data);
void update_rubrics_from_dict(py::object self, py::object question_paper, py::object rubrics_dict_data);

// ---- question paper from JSON (json_import.cpp) ---------------------------------------------

py::object question_paper_from_json(py::object self, py::object json_data);
void validate_question_json(py::object self, py::object q_data);
py::object create_rubric_from_json(py::object self, py::object rubric_data);

// ---- saving, printing and the example (reporting.cpp) ---------------------------------------

void save_question_paper(py::object self, py::object output_path, py::object format);
void export_question_paper(py::object self, py::object output_path);
void save_answersheet(py::object self, py::object answersheet, py::object output_path, py::object format);
void print_question_paper_summary(py::object self);
void print_answersheet_summary(py::object self, py::object answersheet);
/// The module function: the JSON route from configuration to an evaluated answersheet.
void example_json_workflow();

}  // namespace tovrane::facade
