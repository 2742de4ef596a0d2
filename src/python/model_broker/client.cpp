// ModelBroker: construction, the two call paths to the model service and the rate limiter.
#include <pybind11/pybind11.h>

#include <fmt/format.h>

#include <optional>
#include <string>

#include "model_broker/broker.hpp"
#include "common/pyco.hpp"
#include "common/pyutil.hpp"
#include "engine/text/broker_texts.hpp"

namespace tovrane::broker {

namespace texts = tovrane::text::broker;
using namespace pybind11::literals;

namespace {

// ---- Construction ---------------------------------------------------------------------------

void check_at_least_one(long long value, std::string_view message) {
    if (value < 1) throw py::value_error(fmt::format(fmt::runtime(message), value));
}

/// The value to use: the argument when given, else the environment variable's text when
/// set and not empty; nothing for the default.
py::object chosen(const py::object& argument, std::string_view variable) {
    if (!argument.is_none()) return argument;
    py::object text = py_util::module_attr("os", "environ").attr("get")(to_py(variable));
    if (text.is_none() || !py_util::truthy(text)) return py::none();
    return text;
}

[[noreturn]] void refuse_setting(std::string_view message, std::string_view source, const py::object& value) {
    throw py::value_error(fmt::format(fmt::runtime(message), fmt::arg("source", source),
                                      fmt::arg("value", py_util::str(py::repr(value)))));
}

/// Seconds one model request may take: a finite number above 0.
py::float_ request_timeout_of(const py::object& argument) {
    py::object value = chosen(argument, texts::kTimeoutVariable);
    if (value.is_none()) return py::float_(texts::kDefaultRequestTimeout);
    std::optional<double> seconds = PyBool_Check(value.ptr()) ? std::nullopt : py_util::finite_float(value);
    if (!seconds || *seconds <= 0) {
        refuse_setting(texts::kBadTimeout, argument.is_none() ? texts::kTimeoutVariable : "request_timeout", value);
    }
    return py::float_(*seconds);
}

/// Retries of a failed request: a whole number, 0 or more (text only from the environment).
py::int_ max_retries_of(const py::object& argument) {
    py::object value = chosen(argument, texts::kRetriesVariable);
    if (value.is_none()) return py::int_(texts::kDefaultMaxRetries);
    const std::string_view source = argument.is_none() ? texts::kRetriesVariable : "max_retries";
    py::object number;
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        number = value;
    } else if (PyUnicode_Check(value.ptr())) {
        auto refused = py_util::ordinary_error([&] { number = py::int_(value.attr("strip")()); });
        if (refused) refuse_setting(texts::kBadRetries, source, value);
    } else {
        refuse_setting(texts::kBadRetries, source, value);
    }
    if (number < py::int_(0)) refuse_setting(texts::kBadRetries, source, value);
    return py::int_(number);
}

/// The attributes are plain instance attributes, set in this order, so hosts and tests
/// read and replace them like any Python attribute.
void construct(py::object self, py::object token_log_file, long long max_concurrent_requests,
               long long requests_per_minute, py::object enable_logging, py::object request_timeout,
               py::object max_retries) {
    py::object key = py::module_::import("os").attr("environ").attr("get")(to_py(texts::kApiKeyVariable));
    if (key.is_none() || !py::bool_(key)) throw py::value_error(std::string(texts::kApiKeyRequired));
    check_at_least_one(max_concurrent_requests, texts::kMaxConcurrentTooSmall);
    check_at_least_one(requests_per_minute, texts::kRequestsPerMinuteTooSmall);
    // Without a bound of our own, the client waits 600 s per try on a silent server.
    py::float_ timeout = request_timeout_of(request_timeout);
    py::int_ retries = max_retries_of(max_retries);

    py::module_ openai = py::module_::import("openai");
    self.attr("client") = openai.attr("OpenAI")("api_key"_a = key, "timeout"_a = timeout, "max_retries"_a = retries);
    self.attr("async_client") =
        openai.attr("AsyncOpenAI")("api_key"_a = key, "timeout"_a = timeout, "max_retries"_a = retries);

    self.attr("model") = to_py(texts::kModelName);
    self.attr("token_log_file") = token_log_file;
    self.attr("is_logging_enabled") = enable_logging;
    self.attr("max_concurrent_requests") = py::int_(max_concurrent_requests);
    self.attr("requests_per_minute") = py::int_(requests_per_minute);
    self.attr("request_timeout") = timeout;
    self.attr("max_retries") = retries;

    self.attr("_request_semaphore") = py::module_::import("asyncio").attr("Semaphore")(max_concurrent_requests);
    self.attr("_rate_limit_timestamps") = py::list();

    self.attr("encoding") = choose_encoding(self.attr("model"));
    self.attr("_setup_token_logger")();

    self.attr("total_input_tokens") = py::int_(0);
    self.attr("total_output_tokens") = py::int_(0);
    self.attr("total_cost") = py::float_(0.0);
}

/// The signature pybind11's own py::init uses: the native state is created here and the
/// instance is at hand, so the attributes can be set on it.
void init_broker(py::detail::value_and_holder& v_h, py::object token_log_file, long long max_concurrent_requests,
                 long long requests_per_minute, py::object enable_logging, py::object request_timeout,
                 py::object max_retries) {
    auto self = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(v_h.inst));
    construct(self, std::move(token_log_file), max_concurrent_requests, requests_per_minute,
              std::move(enable_logging), std::move(request_timeout), std::move(max_retries));
    // Last, as py::init does: pybind11 builds the holder around it only when we return.
    v_h.value_ptr() = new BrokerState();
}

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

void log_failed_call(py::handle self, const std::string& task_name, py::handle input_tokens,
                     const py::error_already_set& err) {
    self.attr("_log_token_usage")(task_name + std::string(texts::kFailedTaskSuffix), input_tokens, 0,
                                  self.attr("model"),
                                  std::string(texts::kFailedInfoPrefix) + py_util::error_text(err));
}

py::object make_api_call(py::object self, const std::string& task_name, py::object messages,
                         py::object response_format, const std::string& additional_info) {
    py::object input_tokens = self.attr("_count_message_tokens")(messages);
    try {
        py::object response = parse_operation(self.attr("client"))(
            "model"_a = self.attr("model"), "messages"_a = messages, "response_format"_a = response_format);
        py::object output_tokens = output_tokens_of(self, response, input_tokens);
        self.attr("_log_token_usage")(task_name, input_tokens, output_tokens, self.attr("model"), additional_info);
        return response;
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
        log_failed_call(self, task_name, input_tokens, err);
        throw;
    }
}

// ---- Asynchronous call path -----------------------------------------------------------------

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
    const std::string message = fmt::format(fmt::runtime(texts::kRateLimitWait),
                                            fmt::arg("limit", py_util::str(self.attr("requests_per_minute"))),
                                            fmt::arg("seconds", py::float_(wait_time).cast<double>()));
    py_util::module_attr("logging", "getLogger")(to_py(texts::kBrokerLoggerName)).attr("info")(message);
}

/// Sliding one-minute window over the start times of asynchronous calls. Runs on the
/// loop's thread without interruption except across the one sleep, so it needs no lock.
pyco::VoidTask enforce_rate_limit(py::object self) {
    const py::object window = py::int_(texts::kRateWindowSeconds);
    py::object current_time = py_util::module_attr("time", "time")();

    py::list recent;
    for (py::handle ts : py::object(self.attr("_rate_limit_timestamps"))) {
        if (current_time - ts < window) recent.append(ts);
    }
    self.attr("_rate_limit_timestamps") = recent;

    if (py::int_(py::len(recent)) >= py::object(self.attr("requests_per_minute"))) {
        py::object oldest = py_util::module_attr("builtins", "min")(recent);
        py::object wait_time = window - (current_time - oldest);
        if (wait_time > py::float_(texts::kRateWaitWorthLogging)) log_rate_wait(self, wait_time);
        if (wait_time > py::int_(0)) co_await py_util::module_attr("asyncio", "sleep")(wait_time);
    }
    // The start time taken before any sleep, into whatever list the attribute holds now.
    self.attr("_rate_limit_timestamps").attr("append")(current_time);
}

pyco::Task make_api_call_async(py::object self, std::string task_name, py::object messages,
                               py::object response_format, std::string additional_info) {
    // The semaphore the attribute holds now; batch runners swap it per event loop.
    py::object semaphore = self.attr("_request_semaphore");
    co_await semaphore.attr("acquire")();
    Permit permit(semaphore);
    co_await self.attr("_enforce_rate_limit")();

    py::object input_tokens = self.attr("_count_message_tokens")(messages);
    try {
        py::object response = co_await parse_operation(self.attr("async_client"))(
            "model"_a = self.attr("model"), "messages"_a = messages, "response_format"_a = response_format);
        py::object output_tokens = output_tokens_of(self, response, input_tokens);
        self.attr("_log_token_usage")(task_name, input_tokens, output_tokens, self.attr("model"), additional_info);
        co_return response;
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
        log_failed_call(self, task_name, input_tokens, err);
        throw;
    }
}

}  // namespace

void bind_client(BrokerClass& cls) {
    cls.def("__init__", &init_broker, py::detail::is_new_style_constructor(),
            py::arg("token_log_file") = std::string(texts::kDefaultTokenLogFile),
            py::arg("max_concurrent_requests") = 5, py::arg("requests_per_minute") = 50,
            py::arg("enable_logging") = false, py::kw_only(), py::arg("request_timeout") = py::none(),
            py::arg("max_retries") = py::none());
    cls.def("_make_api_call", &make_api_call, py::arg("task_name"), py::arg("messages"),
            py::arg("response_format"), py::arg("additional_info") = "");
    cls.def("_make_api_call_async", &make_api_call_async, py::arg("task_name"), py::arg("messages"),
            py::arg("response_format"), py::arg("additional_info") = "");
    cls.def("_enforce_rate_limit", &enforce_rate_limit);
}

}  // namespace tovrane::broker
