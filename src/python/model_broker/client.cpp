// ModelBroker: the two call paths to the model service and the rate limiter.
#include <fmt/format.h>

#include <string>

#include "common/errors.hpp"
#include "common/python.hpp"
#include "engine/text/model_broker_texts.hpp"
#include "model_broker/operations.hpp"

namespace tovrane::model_broker {

namespace texts = tovrane::text::model_broker;
using namespace fmt::literals;
using namespace py_util;

namespace {

// ---- Blocking call path ---------------------------------------------------------------------

/// `client.beta.chat.completions.parse`; releases that moved it keep it at `chat.completions`.
py::object parse_operation(py::handle client) {
    py::object chat;
    try {
        chat = client.attr("beta").attr("chat");
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_AttributeError)) throw;
        chat = client.attr("chat");
    }
    return chat.attr("completions").attr("parse");
}

/// Output tokens and input tokens of a successful call: the service's figures when it
/// sent them, else the estimate and the count of the answer text.
py::object output_tokens_of(py::handle self, py::handle response, py::object& input_tokens) {
    py::object usage = py::none();
    try {
        usage = response.attr("usage");
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_AttributeError)) throw;  // a response without the member
    }
    if (py::bool_(usage)) {
        py::object output_tokens = usage.attr("completion_tokens");
        input_tokens = usage.attr("prompt_tokens");
        return output_tokens;
    }
    py::object content = response.attr("choices")[py::int_(0)].attr("message").attr("content");
    if (!py::bool_(content)) content = py::str("");
    return self.attr("_count_tokens")(content);
}

/// `parse(model=self.model, messages=..., response_format=...)` on `client`: the response,
/// or on the async client the awaitable of it.
py::object request(py::handle self, py::handle client, py::handle messages, py::handle response_format) {
    return parse_operation(client)(py::arg("model") = self.attr("model"), py::arg("messages") = messages,
                                   py::arg("response_format") = response_format);
}

/// Logs the usage of a call that succeeded; `input_tokens` becomes the service's own count.
void log_call(py::handle self, const std::string& task_name, py::object& input_tokens, py::handle response,
              const std::string& additional_info) {
    py::object output_tokens = output_tokens_of(self, response, input_tokens);
    self.attr("_log_token_usage")(task_name, input_tokens, output_tokens, self.attr("model"), additional_info);
}

void log_failed_call(py::handle self, const std::string& task_name, py::handle input_tokens,
                     const py::error_already_set& err) {
    self.attr("_log_token_usage")(task_name + std::string(texts::kFailedTaskSuffix), input_tokens, 0,
                                  self.attr("model"),
                                  std::string(texts::kFailedInfoPrefix) + error_text(err));
}

/// Refuses a prompt longer than the broker's model takes before anything is sent; models
/// the table does not know, and counts a host's own counter gives as other than an int,
/// are let through.
void check_prompt_fits(py::handle self, const std::string& task_name, const py::object& input_tokens) {
    py::object model = self.attr("model");
    if (!PyUnicode_Check(model.ptr()) || !PyLong_Check(input_tokens.ptr())) return;
    const std::string name = str_lossless(model);
    const texts::ContextWindow* window = texts::context_window(name);
    if (window == nullptr) return;
    const long long limit = window->tokens - window->output_tokens;
    if (input_tokens <= py::int_(limit)) return;
    raise(PyExc_ValueError, fmt::format(texts::kPromptTooLong, "task"_a = task_name, "tokens"_a = str(input_tokens),
                                        "limit"_a = limit, "model"_a = name, "window"_a = window->tokens,
                                        "output"_a = window->output_tokens));
}

}  // namespace

py::object make_api_call(py::object self, const std::string& task_name, py::object messages,
                         py::object response_format, const std::string& additional_info) {
    py::object input_tokens = self.attr("_count_message_tokens")(messages);
    check_prompt_fits(self, task_name, input_tokens);
    try {
        BrokerState* state = state_of(self);
        py::object response;
        {
            // While the service is waited for, an interrupted batch may cut the call short.
            const BlockingCalls::Scope in_call(state != nullptr ? &state->calls : nullptr);
            response = request(self, self.attr("client"), messages, response_format);
        }
        log_call(self, task_name, input_tokens, response, additional_info);
        return response;
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) throw;
        log_failed_call(self, task_name, input_tokens, err);
        throw;
    }
}

// ---- Asynchronous call path -----------------------------------------------------------------

namespace {

/// Gives the permit back however the frame ends: return, error, cancellation or close().
class Permit {
public:
    explicit Permit(py::object semaphore) : semaphore_(std::move(semaphore)) {}
    Permit(const Permit&) = delete;
    Permit& operator=(const Permit&) = delete;
    ~Permit() {
        try {
            semaphore_.attr("release")();
        } catch (py::error_already_set& err) {
            err.discard_as_unraisable("ModelBroker releasing its request permit");
        }
    }

private:
    py::object semaphore_;
};

/// Says why nothing happens for a while: INFO on the broker's logger, the wait in seconds.
void log_rate_wait(py::handle self, const py::object& wait_time) {
    const std::string message = fmt::format(texts::kRateLimitWait, "limit"_a = str(self.attr("requests_per_minute")),
                                            "seconds"_a = py::float_(wait_time).cast<double>());
    module_attr("logging", "getLogger")(to_py(texts::kBrokerLoggerName)).attr("info")(message);
}

}  // namespace

/// Sliding one-minute window over the start times of asynchronous calls. Runs on the
/// loop's thread without interruption except across the one sleep, so it needs no lock.
pyco::VoidTask enforce_rate_limit(py::object self) {
    const py::object window = py::int_(texts::kRateWindowSeconds);
    py::object current_time = module_attr("time", "time")();

    py::list recent;
    for (py::handle ts : py::object(self.attr("_rate_limit_timestamps"))) {
        if (current_time - ts < window) recent.append(ts);
    }
    self.attr("_rate_limit_timestamps") = recent;

    if (py::int_(py::len(recent)) >= py::object(self.attr("requests_per_minute"))) {
        py::object oldest = module_attr("builtins", "min")(recent);
        py::object wait_time = window - (current_time - oldest);
        if (wait_time > py::float_(texts::kRateWaitWorthLogging)) log_rate_wait(self, wait_time);
        if (wait_time > py::int_(0)) co_await module_attr("asyncio", "sleep")(wait_time);
    }
    // The start time taken before any sleep, into whatever list the attribute holds now.
    self.attr("_rate_limit_timestamps").attr("append")(current_time);
}

pyco::Task make_api_call_async(py::object self, std::string task_name, py::object messages,
                               py::object response_format, std::string additional_info) {
    // Counted first: a prompt refused as too long takes neither a permit nor a place in
    // the rate window.
    py::object input_tokens = self.attr("_count_message_tokens")(messages);
    check_prompt_fits(self, task_name, input_tokens);
    // The semaphore the attribute holds now; batch runners swap it per event loop.
    py::object semaphore = self.attr("_request_semaphore");
    co_await semaphore.attr("acquire")();
    Permit permit(semaphore);
    co_await self.attr("_enforce_rate_limit")();

    try {
        py::object response = co_await request(self, self.attr("async_client"), messages, response_format);
        log_call(self, task_name, input_tokens, response, additional_info);
        co_return response;
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) throw;
        log_failed_call(self, task_name, input_tokens, err);
        throw;
    }
}

}  // namespace tovrane::model_broker
