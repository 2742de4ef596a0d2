// Python module tovrane_core.model_broker: the ModelBroker class and the response models.
#include <pybind11/pybind11.h>

#include <string>

#include "common/binding.hpp"
#include "engine/constants.hpp"
#include "model_broker/operations.hpp"

namespace tovrane::model_broker {

namespace {

using BrokerClass = py::class_<BrokerState>;

void define_client(BrokerClass& cls) {
    py_util::def_init(cls, &construct, py::arg("token_log_file") = std::string(constants::kTokenLogFile),
                      py::arg("max_concurrent_requests") = constants::kMaxConcurrentRequests,
                      py::arg("requests_per_minute") = constants::kRequestsPerMinute,
                      py::arg("enable_logging") = false, py::kw_only(), py::arg("request_timeout") = py::none(),
                      py::arg("max_retries") = py::none());
    cls.def("_make_api_call", &make_api_call, py::arg("task_name"), py::arg("messages"),
            py::arg("response_format"), py::arg("additional_info") = "");
    cls.def("_make_api_call_async", &make_api_call_async, py::arg("task_name"), py::arg("messages"),
            py::arg("response_format"), py::arg("additional_info") = "");
    cls.def("_enforce_rate_limit", &enforce_rate_limit);
}

void define_accounting(BrokerClass& cls) {
    cls.def("_setup_token_logger", &setup_token_logger);
    cls.def("log_to_file", &log_to_file, py::arg("msg"), py::arg("logger_level") = "info");
    cls.def("_count_tokens", &count_tokens, py::arg("text"));
    cls.def("_count_message_tokens", &count_message_tokens, py::arg("messages"));
    cls.def("_log_token_usage", &log_token_usage, py::arg("task_name"), py::arg("input_tokens"),
            py::arg("output_tokens"), py::arg("model"), py::arg("additional_info") = "");
    cls.def("get_total_usage", &get_total_usage);
}

void define_requests(BrokerClass& cls) {
    const auto paper_args = [&](const char* name, auto fn, const char* doc) {
        cls.def(name, fn, py::arg("extracted_texts"), py::arg("subject"), py::arg("language"),
                py::arg("class_level"), doc);
    };
    paper_args("parseQuestionPaper", &parse_question_paper, "Parses OCR page texts into a QuestionPaper.");
    paper_args("parseQuestionPaper_async", &parse_question_paper_async, "Coroutine twin of parseQuestionPaper.");

    const auto rubric_args = [&](const char* name, auto fn, const char* doc) {
        cls.def(name, fn, py::arg("question"), py::arg("max_marks"), py::arg("class_level"), py::arg("subject"),
                py::arg("reference_answer") = "", doc);
    };
    rubric_args("generateRubric", &generate_rubric, "Generates a marking Rubric for one question.");
    rubric_args("generateRubric_async", &generate_rubric_async, "Coroutine twin of generateRubric.");

    const auto ref_answer_args = [&](const char* name, auto fn, const char* doc) {
        cls.def(name, fn, py::arg("question"), py::arg("rubric"), py::arg("class_level"), py::arg("subject"), doc);
    };
    ref_answer_args("generateRefAnswer", &generate_ref_answer,
                    "Writes a reference answer for one question, guided by its rubric.");
    ref_answer_args("generateRefAnswer_async", &generate_ref_answer_async, "Coroutine twin of generateRefAnswer.");

    cls.def("parseReferenceAnswers", &parse_reference_answers, py::arg("extracted_texts"), py::arg("question_paper"),
            "Extracts reference answers from an answer key into the paper; returns id -> answer.");

    const auto sheet_args = [&](const char* name, auto fn, const char* doc) {
        cls.def(name, fn, py::arg("extracted_texts"), py::arg("question_paper"), doc);
    };
    sheet_args("parseAnswersheet", &parse_answersheet,
               "Parses OCR page texts of a student's answersheet against a question paper.");
    sheet_args("parseAnswersheet_async", &parse_answersheet_async, "Coroutine twin of parseAnswersheet.");

    const auto evaluation_args = [&](const char* name, auto fn, const char* doc) {
        cls.def(name, fn, py::arg("student_answer"), py::arg("question"), py::arg("rubric"),
                py::arg("reference_answer"), doc);
    };
    evaluation_args("evaluateAnswer", &evaluate_answer,
                    "Marks one answer against a copy of the rubric; returns rubric, awarded_marks, feedback.");
    evaluation_args("evaluateAnswer_async", &evaluate_answer_async,
                    "Coroutine twin of evaluateAnswer; adds total_marks and fulfilled_criteria_indices.");
}

void define_batches(BrokerClass& cls) {
    const auto no_workers = py::arg("max_workers") = py::none();
    cls.def("run_concurrent_tasks", &run_concurrent_tasks, py::arg("tasks"), no_workers);
    cls.def("generate_rubrics_batch", &generate_rubrics_batch, py::arg("questions_data"), no_workers);
    cls.def("generate_ref_answers_batch", &generate_ref_answers_batch, py::arg("ref_answer_data"), no_workers);
    cls.def("evaluate_answers_batch", &evaluate_answers_batch, py::arg("evaluation_data"), no_workers);
    cls.def("generate_rubrics_batch_async", &generate_rubrics_batch_async, py::arg("questions_data"));
    cls.def("generate_ref_answers_batch_async", &generate_ref_answers_batch_async, py::arg("ref_answer_data"));
    cls.def("evaluate_answers_batch_async", &evaluate_answers_batch_async, py::arg("evaluation_data"));
    cls.def("generate_rubrics_batch_sync", &generate_rubrics_batch_sync, py::arg("questions_data"));
    cls.def("generate_ref_answers_batch_sync", &generate_ref_answers_batch_sync, py::arg("ref_answer_data"));
    cls.def("evaluate_answers_batch_sync", &evaluate_answers_batch_sync, py::arg("evaluation_data"));
}

}  // namespace
}  // namespace tovrane::model_broker

PYBIND11_MODULE(model_broker, m) {
    namespace py = pybind11;
    using namespace tovrane::model_broker;
    m.doc() = "The language-model service client: calls, rate limits, token accounting, response models.";
    // The service client and the tokenizer load with the module, as a Python module's
    // imports would; construction then pays only for the objects it makes.
    py::module_::import("openai");
    py::module_::import("tiktoken");
    add_response_models(m);
    add_loop_client_type(m);

    BrokerClass cls(m, "ModelBroker", py::dynamic_attr());
    define_client(cls);
    define_accounting(cls);
    define_requests(cls);
    define_batches(cls);
}
