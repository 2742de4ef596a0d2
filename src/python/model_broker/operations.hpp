// Operations of ModelBroker. Each takes the Python instance first and reaches the broker's
// attributes and methods (client, _make_api_call, encoding, the totals, ...) at call time,
// so hosts and tests can replace any of them on the instance.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/pyco.hpp"

namespace tovrane::model_broker {

namespace py = pybind11;

/// The blocking calls in flight and the connections they opened, so that an interrupted
/// thread-pool batch cuts its calls short instead of waiting for the service (abandon.cpp).
class BlockingCalls {
public:
    /// Marks the calling thread as inside a blocking call of this broker while it lives;
    /// connections the thread opens meanwhile are remembered. Needs the GIL.
    class Scope {
    public:
        explicit Scope(BlockingCalls* calls);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        BlockingCalls* calls_;
        BlockingCalls* outer_;
        unsigned long thread_;
    };

    /// Raises KeyboardInterrupt in those of `threads` inside a call, and shuts down the
    /// connections the broker's calls opened, so that their waits end now. Needs the GIL.
    void abandon(const std::vector<unsigned long>& threads);

    /// Called for every connection a thread inside a call opens.
    void remember(int fd);

private:
    struct Connection {
        int fd;
        unsigned long long device;
        unsigned long long inode;  // tells a reused descriptor from the one remembered
    };
    std::mutex mutex_;
    std::vector<unsigned long> threads_;
    std::vector<Connection> connections_;
};

/// Native state behind every ModelBroker instance. Everything a host or a test may read
/// or replace lives in the instance __dict__; only the usage lock and the calls in flight
/// live here.
struct BrokerState {
    BrokerState() = default;
    BrokerState(const BrokerState&) = delete;
    BrokerState& operator=(const BrokerState&) = delete;
    /// Closes the usage-log handler once no logger writes to it (accounting.cpp).
    ~BrokerState();

    /// Guards the running totals and keeps each usage record whole. Recursive so that a
    /// replaced `log_to_file` that records usage itself cannot deadlock its own thread.
    std::recursive_mutex usage_mutex;
    /// The usage-log handler this broker opened.
    py::object log_handler;
    BlockingCalls calls;
};

/// The type of the per-loop client entries, nested in ModelBroker (client.cpp).
void add_loop_client_type(py::handle broker_class);

/// Lets BlockingCalls see the connections threads open (a process-wide audit hook, added
/// once); call when the module loads.
void watch_connections();

/// The broker's state when `self` is a ModelBroker, else null.
BrokerState* state_of(py::handle self);

// ---- module attributes (response_models.cpp) ------------------------------------------------

/// The pydantic response models whose strict JSON schemas the service fills.
void add_response_models(py::module_& m);

// ---- construction (construction.cpp) --------------------------------------------------------

/// Checks the arguments and the key, then sets the instance attributes in their order.
void construct(py::object self, py::object token_log_file, long long max_concurrent_requests,
               long long requests_per_minute, py::object enable_logging, py::object request_timeout,
               py::object max_retries);

// ---- the two call paths and the rate limit (client.cpp) -------------------------------------

py::object make_api_call(py::object self, const std::string& task_name, py::object messages,
                         py::object response_format, const std::string& additional_info);
pyco::Task make_api_call_async(py::object self, std::string task_name, py::object messages,
                               py::object response_format, std::string additional_info);
pyco::VoidTask enforce_rate_limit(py::object self);

// ---- token counting, the usage log and the running totals (accounting.cpp) ------------------

void setup_token_logger(py::object self);
void log_to_file(py::object self, py::object msg, py::object logger_level);
py::object count_tokens(py::object self, py::object text);
py::object count_message_tokens(py::object self, py::object messages);
void log_token_usage(py::object self, const std::string& task_name, std::int64_t input_tokens,
                     std::int64_t output_tokens, const std::string& model, const std::string& additional_info);
py::dict get_total_usage(py::object self);

// ---- language-model operations, each with its coroutine twin (requests.cpp) ----------------

py::object parse_question_paper(py::object self, py::object extracted_texts, py::object subject,
                                py::object language, py::object class_level);
py::object parse_question_paper_async(py::object self, py::object extracted_texts, py::object subject,
                                      py::object language, py::object class_level);
py::object generate_rubric(py::object self, py::object question, py::object max_marks, py::object class_level,
                           py::object subject, py::object reference_answer);
py::object generate_rubric_async(py::object self, py::object question, py::object max_marks, py::object class_level,
                                 py::object subject, py::object reference_answer);
py::object generate_ref_answer(py::object self, py::object question, py::object rubric, py::object class_level,
                               py::object subject);
py::object generate_ref_answer_async(py::object self, py::object question, py::object rubric,
                                     py::object class_level, py::object subject);
/// Reads the answers of a scanned answer key into the paper; failures are printed.
py::dict parse_reference_answers(py::object self, py::object extracted_texts, py::object question_paper);
py::object parse_answersheet(py::object self, py::object extracted_texts, py::object question_paper);
py::object parse_answersheet_async(py::object self, py::object extracted_texts, py::object question_paper);
py::dict evaluate_answer(py::object self, py::object student_answer, py::object question, py::object rubric,
                         py::object reference_answer);
py::object evaluate_answer_async(py::object self, py::object student_answer, py::object question,
                                 py::object rubric, py::object reference_answer);

// ---- batches: a thread pool, concurrent coroutines, blocking wrappers (batches.cpp) ----------

py::list run_concurrent_tasks(py::object self, py::object tasks, py::object max_workers);
py::object generate_rubrics_batch(py::object self, py::object questions_data, py::object max_workers);
py::object generate_ref_answers_batch(py::object self, py::object ref_answer_data, py::object max_workers);
py::object evaluate_answers_batch(py::object self, py::object evaluation_data, py::object max_workers);
pyco::Task generate_rubrics_batch_async(py::object self, py::object questions_data);
pyco::Task generate_ref_answers_batch_async(py::object self, py::object ref_answer_data);
pyco::Task evaluate_answers_batch_async(py::object self, py::object evaluation_data);
py::object generate_rubrics_batch_sync(py::object self, py::object questions_data);
py::object generate_ref_answers_batch_sync(py::object self, py::object ref_answer_data);
py::object evaluate_answers_batch_sync(py::object self, py::object evaluation_data);

}  // namespace tovrane::model_broker
