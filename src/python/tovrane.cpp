// Python module tovrane_core.tovrane: the facade (configuration, start-up of the components,
// workflows, updates, JSON import, saving and printing) and its error classes. In C++ the
// module is `facade`: a namespace tovrane::tovrane would hide the project's own.
#include <pybind11/pybind11.h>

#include <string>

#include "common/binding.hpp"
#include "common/files.hpp"
#include "engine/constants.hpp"
#include "tovrane/operations.hpp"

namespace tovrane::facade {

namespace {

// The import format follows the method's one-line description.
constexpr const char* kPaperFromJsonDoc = R"(Create a QuestionPaper object from JSON data.

        {
            "subject": "Mathematics",
            "class_level": "Grade 10",
            "language": "English",
            "questions": [
                {
                    "q_id": "Q1",
                    "question_text": "What is 2+2?",
                    "max_marks": 2,
                    "rubric": {
                        "criteria": [
                            {"statement": "Correct calculation", "mark": 1.5},
                            {"statement": "Clear presentation", "mark": 0.5}
                        ]
                    },
                    "reference_answer": "2+2 = 4. This is basic addition."
                }
            ]
        })";

void define_config(py::class_<TovraneConfig>& cls) {
    py_util::def_init(cls, &init_config, py::arg("extractor_type") = std::string(constants::kExtractorType),
                      py::arg("extractor_region") = std::string(constants::kExtractorRegion),
                      py::arg("openai_api_key") = py::none(), py::arg("aws_access_key_id") = py::none(),
                      py::arg("aws_secret_access_key") = py::none(), py::arg("gemini_api_key") = py::none(),
                      py::arg("mathpix_app_id") = py::none(), py::arg("mathpix_app_key") = py::none(),
                      py::arg("token_log_file") = std::string(constants::kTokenLogFile),
                      py::arg("enable_llm_token_logging") = false, py::arg("dpi") = constants::kDpi,
                      py::arg("max_concurrent_requests") = constants::kMaxConcurrentRequests,
                      py::arg("requests_per_minute") = constants::kRequestsPerMinute,
                      py::arg("request_timeout") = py::none(), py::arg("max_retries") = py::none(),
                      "Stores the settings as attributes of the same names. token_log_file may be a str or an "
                      "os.PathLike (kept as text). Raises TypeError naming the argument for a value of the wrong "
                      "type.");
    py_util::Signed(cls).def("to_dict", &config_to_dict,
                             "The settings as a dict: extractor_type, extractor_region, the six credentials "
                             "(unmasked), token_log_file, dpi.");
}

void define_startup(py::class_<Tovrane>& cls) {
    py_util::def_init(cls, &init_facade, "An unconfigured facade; call configure() before any workflow.");
    py_util::Signed(cls)
        .def("configure", &configure, py::arg("config"),
             "Starts the model broker, the text extractor and both pipelines from a TovraneConfig. Returns None; "
             "raises ConfigurationError when a component cannot start.")
        .def("_set_environment_variables", &set_environment_variables, py::arg("config"),
             "Set environment variables from config if not already set.")
        .def("_initialize_model_broker", &initialize_model_broker, py::arg("config"),
             "Creates the model broker from the configuration.")
        .def("_initialize_extractor_client", &initialize_extractor_client, py::arg("config"),
             "Initialize the text extractor client.")
        .def("_initialize_handlers", &initialize_handlers,
             "Creates the question paper and answersheet pipelines on the broker and the extractor.")
        .def("_validate_configured", &validate_configured, "Validate that Tovrane is properly configured.")
        .def("is_ready", &is_ready, "True when configure() succeeded and all four components are present.")
        .def("get_configuration_summary", &get_configuration_summary,
             "The configuration as a dict without credentials: status, extractor_type, extractor_region, "
             "token_log_file, dpi, ready, has_question_paper; {'status': 'not_configured'} before configure().");
}

void define_workflows(py::class_<Tovrane>& cls) {
    py_util::Signed(cls)
        .def("_validate_file_path", &validate_file_path, py::arg("pdf_path"), "Validate PDF file path.")
        .def("_validate_question_paper_inputs", &validate_question_paper_inputs, py::arg("subject"),
             py::arg("language"), py::arg("class_level"), "Validate question paper processing inputs.")
        .def("_validate_question_paper_loaded", &validate_question_paper_loaded,
             "Validate that a question paper is loaded.")
        .def("_validate_question_ids_for_paper", &validate_question_ids_for_paper, py::arg("question_ids"),
             py::arg("question_paper"), "Validate that question IDs exist in the specified question paper.")
        .def("_validate_question_ids", &validate_question_ids, py::arg("question_ids"),
             "Validate that question IDs exist in current question paper.")
        .def("process_question_paper", &process_question_paper, py::arg("pdf_path"), py::arg("subject"),
             py::arg("language"), py::arg("class_level"), py::arg("page_numbers") = py::none(),
             "Reads a question paper PDF (a str or os.PathLike; page_numbers 1-based, None for all pages) into a "
             "QuestionPaper, makes it the current paper and returns it. Raises ProcessingError.")
        .def("generate_rubrics", &generate_rubrics, py::arg("question_paper"), py::arg("question_ids") = py::none(),
             "Generates a rubric for every question of the paper, or for the listed question_ids, stores each in "
             "its question and returns a dict of identifier to Rubric. Raises ProcessingError.")
        .def("generate_reference_answers", &generate_reference_answers, py::arg("question_paper"),
             py::arg("question_ids") = py::none(),
             "Generates a reference answer for every question of the paper, or for the listed question_ids, "
             "stores each in its question and returns a dict of identifier to text. Raises ProcessingError.")
        .def("process_answersheet", &process_answersheet, py::arg("pdf_path"), py::arg("page_numbers") = py::none(),
             "Reads a student's answersheet PDF (a str or os.PathLike) against the current question paper, "
             "evaluates every answer and returns the Answersheet. Raises ProcessingError.")
        .def("change_question_paper", &change_question_paper, py::arg("question_paper"),
             "Change the current question paper at runtime.")
        .def("get_current_question_paper", &get_current_question_paper, "Get the current question paper.")
        .def("get_processing_summary", &get_processing_summary,
             "Get summary of all processing operations in this session.")
        .def("get_token_usage_summary", &get_token_usage_summary, "Get LLM token usage summary.");
}

void define_updates(py::class_<Tovrane>& cls) {
    py_util::Signed(cls)
        .def("update_rubrics_for_questions", &update_rubrics_for_questions, py::arg("question_paper"),
             py::arg("rubrics_data"), "Update rubrics for specific questions by their IDs with provided rubric data.")
        .def("update_reference_answers_for_questions", &update_reference_answers_for_questions,
             py::arg("question_paper"), py::arg("reference_answers_data"),
             "Stores the given reference answers (a dict of identifier to text) in the paper's questions. Raises "
             "ValidationError for an unknown identifier or a non-text answer, ProcessingError when storing fails.")
        .def_static("create_rubric_from_dict", &create_rubric_from_dict, py::arg("criteria_data"),
                    "Create a Rubric object from dictionary data.")
        .def("update_rubrics_from_dict", &update_rubrics_from_dict, py::arg("question_paper"),
             py::arg("rubrics_dict_data"), "Update rubrics using dictionary format for easier data input.")
        .def("question_paper_from_json", &question_paper_from_json, py::arg("json_data"), kPaperFromJsonDoc)
        .def("_validate_question_json", &validate_question_json, py::arg("q_data"),
             "Validate individual question JSON data.")
        .def("_create_rubric_from_json", &create_rubric_from_json, py::arg("rubric_data"),
             "Create Rubric object from JSON data.");
}

void define_reporting(py::class_<Tovrane>& cls) {
    py_util::Signed(cls)
        .def("save_question_paper", &save_question_paper, py::arg("output_path"), py::arg("format") = "json",
             "Save the current question paper to a file.")
        .def("export_question_paper", &export_question_paper, py::arg("output_path"),
             "Write the current question paper in the JSON import format, so question_paper_from_json reads it back.")
        .def("save_answersheet", &save_answersheet, py::arg("answersheet"), py::arg("output_path"),
             py::arg("format") = "json", "Save an answersheet to a file.")
        .def("print_question_paper_summary", &print_question_paper_summary,
             "Print a summary of the current question paper.")
        .def("print_answersheet_summary", &print_answersheet_summary, py::arg("answersheet"),
             "Print a summary of an answersheet.");
}

}  // namespace
}  // namespace tovrane::facade

PYBIND11_MODULE(tovrane, m) {
    namespace py = pybind11;
    using namespace tovrane::facade;
    // Keys kept in a dotenv file are visible before any configuration exists.
    tovrane::py_util::load_dotenv();

    // Each docstring is headed by its text signature (py_util::Signed); pybind11's own
    // lines would stand in front of it.
    py::options options;
    options.disable_function_signatures();

    m.doc() = "Facade of tovrane_core: configuration, start-up of the components, workflows from question paper "
              "to evaluated answersheet.";
    create_error_classes(m);

    py::class_<TovraneConfig> config(m, "TovraneConfig", py::dynamic_attr(),
                                     "The settings of a Tovrane: page reader, credentials, usage log, resolution, "
                                     "the broker's limits.");
    define_config(config);

    py::class_<Tovrane> facade(m, "Tovrane", py::dynamic_attr(),
                               "The facade: configure() it once, then read question papers, generate rubrics and "
                               "reference answers, and grade answersheets.");
    define_startup(facade);
    define_workflows(facade);
    define_updates(facade);
    define_reporting(facade);

    tovrane::py_util::Signed(m).def("example_json_workflow", &example_json_workflow,
                                    "Example of using JSON data instead of processing PDFs.");
}
