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
                      py::arg("max_retries") = py::none(),
                      "Creates the blocking and async OpenAI clients from OPENAI_API_KEY (OPENAI_BASE_URL applies) "
                      "and sets up the usage log at token_log_file (a str or os.PathLike). Raises ValueError "
                      "without a key or for limits below 1.");
    py_util::Signed(cls)
        .def("_make_api_call", &make_api_call, py::arg("task_name"), py::arg("messages"),
             py::arg("response_format"), py::arg("additional_info") = "",
             "Sends one structured chat-completion request, records its usage under task_name and returns the "
             "service response. Blocking.")
        .def("_make_api_call_async", &make_api_call_async, py::arg("task_name"), py::arg("messages"),
             py::arg("response_format"), py::arg("additional_info") = "",
             "Coroutine twin of _make_api_call, under the broker's permits and request rate.")
        .def("_enforce_rate_limit", &enforce_rate_limit,
             "Coroutine: waits until the 60-second window has room for one more request.");
}

void define_accounting(BrokerClass& cls) {
    py_util::Signed(cls)
        .def("_setup_token_logger", &setup_token_logger, "Opens the usage log's file handler when logging is on.")
        .def("log_to_file", &log_to_file, py::arg("msg"), py::arg("logger_level") = "info",
             "Writes msg to the usage log at the given level (debug, info, warning, error, critical).")
        .def("_count_tokens", &count_tokens, py::arg("text"), "The number of tokens of text for the model.")
        .def("_count_message_tokens", &count_message_tokens, py::arg("messages"),
             "The estimated number of prompt tokens of a message list.")
        .def("_log_token_usage", &log_token_usage, py::arg("task_name"), py::arg("input_tokens"),
             py::arg("output_tokens"), py::arg("model"), py::arg("additional_info") = "",
             "Adds one call to the running totals, prints its token line and writes its usage record.")
        .def("get_total_usage", &get_total_usage,
             "The running totals: total_input_tokens, total_output_tokens, total_tokens, total_cost, log_file.");
}

void define_requests(BrokerClass& cls) {
    py_util::Signed bound(cls);
    const auto paper_args = [&](const char* name, auto fn, const char* doc) {
        bound.def(name, fn, py::arg("extracted_texts"), py::arg("subject"), py::arg("language"),
                  py::arg("class_level"), doc);
    };
    paper_args("parseQuestionPaper", &parse_question_paper,
               "Parses OCR page texts ({page: text}) into a new QuestionPaper. Raises TypeError for wrong argument "
               "types, RuntimeError when the call fails.");
    paper_args("parseQuestionPaper_async", &parse_question_paper_async, "Coroutine twin of parseQuestionPaper.");

    const auto rubric_args = [&](const char* name, auto fn, const char* doc) {
        bound.def(name, fn, py::arg("question"), py::arg("max_marks"), py::arg("class_level"), py::arg("subject"),
                  py::arg("reference_answer") = "", doc);
    };
    rubric_args("generateRubric", &generate_rubric,
                "Generates a marking Rubric for one question. Raises TypeError for wrong argument types, "
                "RuntimeError when the call fails.");
    rubric_args("generateRubric_async", &generate_rubric_async, "Coroutine twin of generateRubric.");

    const auto ref_answer_args = [&](const char* name, auto fn, const char* doc) {
        bound.def(name, fn, py::arg("question"), py::arg("rubric"), py::arg("class_level"), py::arg("subject"), doc);
    };
    ref_answer_args("generateRefAnswer", &generate_ref_answer,
                    "Writes a reference answer for one question, guided by its rubric; returns the text.");
    ref_answer_args("generateRefAnswer_async", &generate_ref_answer_async, "Coroutine twin of generateRefAnswer.");

    bound.def("parseReferenceAnswers", &parse_reference_answers, py::arg("extracted_texts"),
              py::arg("question_paper"), "Extracts reference answers from an answer key into the paper; returns id -> answer.");

    const auto sheet_args = [&](const char* name, auto fn, const char* doc) {
        bound.def(name, fn, py::arg("extracted_texts"), py::arg("question_paper"), doc);
    };
    sheet_args("parseAnswersheet", &parse_answersheet,
               "Parses OCR page texts of a student's answersheet against a question paper into a new Answersheet.");
    sheet_args("parseAnswersheet_async", &parse_answersheet_async, "Coroutine twin of parseAnswersheet.");

    const auto evaluation_args = [&](const char* name, auto fn, const char* doc) {
        bound.def(name, fn, py::arg("student_answer"), py::arg("question"), py::arg("rubric"),
                  py::arg("reference_answer"), doc);
    };
    evaluation_args("evaluateAnswer", &evaluate_answer,
                    "Marks one answer against a copy of the rubric; returns rubric, awarded_marks, feedback.");
    evaluation_args("evaluateAnswer_async", &evaluate_answer_async,
                    "Coroutine twin of evaluateAnswer; adds total_marks and fulfilled_criteria_indices.");
}

void define_batches(BrokerClass& cls) {
    const auto no_workers = py::arg("max_workers") = py::none();
    py_util::Signed(cls)
        .def("run_concurrent_tasks", &run_concurrent_tasks, py::arg("tasks"), no_workers,
             "Runs call descriptions ({'func': callable, 'args': sequence}) on a thread pool; returns one result "
             "per task, in order, an error text in place of a failed one.")
        .def("generate_rubrics_batch", &generate_rubrics_batch, py::arg("questions_data"), no_workers,
             "generateRubric for each work record on a thread pool; a Rubric or an error text per record.")
        .def("generate_ref_answers_batch", &generate_ref_answers_batch, py::arg("ref_answer_data"), no_workers,
             "generateRefAnswer for each work record on a thread pool; a text or an error text per record.")
        .def("evaluate_answers_batch", &evaluate_answers_batch, py::arg("evaluation_data"), no_workers,
             "evaluateAnswer for each work record on a thread pool; a record or an error text per record.")
        .def("generate_rubrics_batch_async", &generate_rubrics_batch_async, py::arg("questions_data"),
             "Coroutine: generates the rubrics concurrently; one result record (q_id, success, rubric or error) "
             "per work record.")
        .def("generate_ref_answers_batch_async", &generate_ref_answers_batch_async, py::arg("ref_answer_data"),
             "Coroutine: generates the reference answers concurrently; one result record (q_id, success, "
             "ref_answer or error) per work record.")
        .def("evaluate_answers_batch_async", &evaluate_answers_batch_async, py::arg("evaluation_data"),
             "Coroutine: evaluates the answers concurrently; one result record (q_id, success, evaluation or "
             "error) per work record.")
        .def("generate_rubrics_batch_sync", &generate_rubrics_batch_sync, py::arg("questions_data"),
             "Blocking form of generate_rubrics_batch_async, on an event loop of its own. Raises RuntimeError "
             "inside a running loop.")
        .def("generate_ref_answers_batch_sync", &generate_ref_answers_batch_sync, py::arg("ref_answer_data"),
             "Blocking form of generate_ref_answers_batch_async, on an event loop of its own. Raises RuntimeError "
             "inside a running loop.")
        .def("evaluate_answers_batch_sync", &evaluate_answers_batch_sync, py::arg("evaluation_data"),
             "Blocking form of evaluate_answers_batch_async, on an event loop of its own. Raises RuntimeError "
             "inside a running loop.");
}

}  // namespace
}  // namespace tovrane::model_broker

PYBIND11_MODULE(model_broker, m) {
    namespace py = pybind11;
    using namespace tovrane::model_broker;
    m.doc() = "The language-model service client: calls, rate limits, token accounting, response models.";
    // Each docstring is headed by its text signature (py_util::Signed).
    py::options options;
    options.disable_function_signatures();
    // The service client and the tokenizer load with the module, as a Python module's
    // imports would; construction then pays only for the objects it makes.
    py::module_::import("openai");
    py::module_::import("tiktoken");
    add_response_models(m);
    watch_connections();

    BrokerClass cls(m, "ModelBroker", py::dynamic_attr(),
                    "Every language-model call: one OpenAI client pair, bounded by a semaphore and a request rate, "
                    "with token accounting and a usage log.");
    add_loop_client_type(cls);
    define_client(cls);
    define_accounting(cls);
    define_requests(cls);
    define_batches(cls);
}
