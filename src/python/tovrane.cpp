// Python module tovrane_core.tovrane: the facade (configuration, start-up of the components,
// workflows, updates, JSON import, saving and printing) and its error classes.
#include <pybind11/pybind11.h>

#include <string>

#include "engine/text/facade_texts.hpp"
#include "tovrane/ops.hpp"
#include "tovrane/support.hpp"

namespace py = pybind11;
namespace ops = tovrane::facade;
namespace txt = tovrane::text::facade;

namespace {

// Both classes keep all state in the instance dictionary, so hosts and tests can read and
// replace every attribute, and an attribute set on an instance shadows a method.
struct TovraneConfig {};
struct Tovrane {};

// __init__ must first build the (empty) C++ part, then set the attributes, which a pybind11
// factory cannot reach.
void define_config_init(py::class_<TovraneConfig>& cls) {
    cls.def(py::init<>());
    py::object build_native = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [build_native](py::object self, py::object extractor_type, py::object extractor_region,
                       py::object openai_api_key, py::object aws_access_key_id, py::object aws_secret_access_key,
                       py::object gemini_api_key, py::object mathpix_app_id, py::object mathpix_app_key,
                       py::object token_log_file, py::object enable_llm_token_logging, py::object dpi,
                       py::object max_concurrent_requests, py::object requests_per_minute, py::object request_timeout,
                       py::object max_retries) {
            build_native(self);
            ops::init_config(self, extractor_type, extractor_region, openai_api_key, aws_access_key_id,
                             aws_secret_access_key, gemini_api_key, mathpix_app_id, mathpix_app_key, token_log_file,
                             enable_llm_token_logging, dpi, max_concurrent_requests, requests_per_minute,
                             request_timeout, max_retries);
        },
        py::name("__init__"), py::is_method(cls), py::arg("extractor_type") = "aws",
        py::arg("extractor_region") = "us-east-1", py::arg("openai_api_key") = py::none(),
        py::arg("aws_access_key_id") = py::none(), py::arg("aws_secret_access_key") = py::none(),
        py::arg("gemini_api_key") = py::none(), py::arg("mathpix_app_id") = py::none(),
        py::arg("mathpix_app_key") = py::none(), py::arg("token_log_file") = "llm_token_usage.log",
        py::arg("enable_llm_token_logging") = false, py::arg("dpi") = 150, py::arg("max_concurrent_requests") = 5,
        py::arg("requests_per_minute") = 50, py::arg("request_timeout") = py::none(),
        py::arg("max_retries") = py::none());
}

void define_facade_init(py::class_<Tovrane>& cls) {
    cls.def(py::init<>());
    py::object build_native = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [build_native](py::object self) {
            build_native(self);
            ops::init_facade(self);
        },
        py::name("__init__"), py::is_method(cls));
}

// The import format follows the method's one-line description, as the module documents it.
std::string paper_from_json_doc() {
    return std::string(txt::kDocPaperFromJson) + "\n\n" + txt::kJsonFormat;
}

void define_startup(py::class_<Tovrane>& cls) {
    cls.def("configure", &ops::configure, py::arg("config"))
        .def("_set_environment_variables", &ops::set_environment_variables, py::arg("config"),
             txt::kDocSetEnvironment)
        .def("_initialize_model_broker", &ops::initialize_model_broker, py::arg("config"))
        .def("_initialize_extractor_client", &ops::initialize_extractor_client, py::arg("config"),
             txt::kDocInitExtractor)
        .def("_initialize_handlers", &ops::initialize_handlers)
        .def("_validate_configured", &ops::validate_configured, txt::kDocValidateConfigured)
        .def("is_ready", &ops::is_ready)
        .def("get_configuration_summary", &ops::get_configuration_summary);
}

void define_workflows(py::class_<Tovrane>& cls) {
    cls.def("_validate_file_path", &ops::validate_file_path, py::arg("pdf_path"), txt::kDocValidateFilePath)
        .def("_validate_question_paper_inputs", &ops::validate_question_paper_inputs, py::arg("subject"),
             py::arg("language"), py::arg("class_level"), txt::kDocValidatePaperInputs)
        .def("_validate_question_paper_loaded", &ops::validate_question_paper_loaded, txt::kDocValidatePaperLoaded)
        .def("_validate_question_ids_for_paper", &ops::validate_question_ids_for_paper, py::arg("question_ids"),
             py::arg("question_paper"), txt::kDocValidateIdsForPaper)
        .def("_validate_question_ids", &ops::validate_question_ids, py::arg("question_ids"), txt::kDocValidateIds)
        .def("process_question_paper", &ops::process_question_paper, py::arg("pdf_path"), py::arg("subject"),
             py::arg("language"), py::arg("class_level"), py::arg("page_numbers") = py::none())
        .def("generate_rubrics", &ops::generate_rubrics, py::arg("question_paper"),
             py::arg("question_ids") = py::none())
        .def("generate_reference_answers", &ops::generate_reference_answers, py::arg("question_paper"),
             py::arg("question_ids") = py::none())
        .def("process_answersheet", &ops::process_answersheet, py::arg("pdf_path"),
             py::arg("page_numbers") = py::none())
        .def("change_question_paper", &ops::change_question_paper, py::arg("question_paper"), txt::kDocChangePaper)
        .def("get_current_question_paper", &ops::get_current_question_paper, txt::kDocCurrentPaper)
        .def("get_processing_summary", &ops::get_processing_summary, txt::kDocProcessingSummary)
        .def("get_token_usage_summary", &ops::get_token_usage_summary, txt::kDocTokenUsage);
}

void define_updates(py::class_<Tovrane>& cls) {
    cls.def("update_rubrics_for_questions", &ops::update_rubrics_for_questions, py::arg("question_paper"),
            py::arg("rubrics_data"), txt::kDocUpdateRubrics)
        .def("update_reference_answers_for_questions", &ops::update_reference_answers_for_questions,
             py::arg("question_paper"), py::arg("reference_answers_data"))
        .def_static("create_rubric_from_dict", &ops::create_rubric_from_dict, py::arg("criteria_data"),
                    txt::kDocCreateRubric)
        .def("update_rubrics_from_dict", &ops::update_rubrics_from_dict, py::arg("question_paper"),
             py::arg("rubrics_dict_data"), txt::kDocUpdateRubricsFromDict)
        .def("question_paper_from_json", &ops::question_paper_from_json, py::arg("json_data"),
             paper_from_json_doc().c_str())
        .def("_validate_question_json", &ops::validate_question_json, py::arg("q_data"),
             txt::kDocValidateQuestionJson)
        .def("_create_rubric_from_json", &ops::create_rubric_from_json, py::arg("rubric_data"),
             txt::kDocRubricFromJson);
}

void define_saving(py::class_<Tovrane>& cls) {
    cls.def("save_question_paper", &ops::save_question_paper, py::arg("output_path"), py::arg("format") = "json",
            txt::kDocSavePaper)
        .def("export_question_paper", &ops::export_question_paper, py::arg("output_path"), txt::kDocExportPaper)
        .def("save_answersheet", &ops::save_answersheet, py::arg("answersheet"), py::arg("output_path"),
             py::arg("format") = "json", txt::kDocSaveSheet)
        .def("print_question_paper_summary", &ops::print_question_paper_summary, txt::kDocPrintPaper)
        .def("print_answersheet_summary", &ops::print_answersheet_summary, py::arg("answersheet"),
             txt::kDocPrintSheet);
}

}  // namespace

PYBIND11_MODULE(tovrane, m) {
    // Keys kept in a dotenv file are visible before any configuration exists.
    tovrane::py_util::load_dotenv();

    // The documentation lines are the docstrings, without generated signatures.
    py::options options;
    options.disable_function_signatures();

    m.doc() = txt::kModuleDoc;
    ops::detail::create_error_classes(m);

    py::class_<TovraneConfig> config(m, "TovraneConfig", py::dynamic_attr());
    define_config_init(config);
    config.def("to_dict", &ops::config_to_dict);

    py::class_<Tovrane> facade(m, "Tovrane", py::dynamic_attr());
    define_facade_init(facade);
    define_startup(facade);
    define_workflows(facade);
    define_updates(facade);
    define_saving(facade);

    m.def("example_json_workflow", &ops::example_json_workflow, txt::kDocExample);
}
