// ModelBroker's constructor: the arguments checked, then the attributes in their order.
#include <fmt/format.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/python.hpp"
#include "engine/constants.hpp"
#include "engine/text/model_broker_texts.hpp"
#include "model_broker/internal.hpp"
#include "model_broker/operations.hpp"

namespace tovrane::model_broker {

namespace texts = tovrane::text::model_broker;
using namespace fmt::literals;
using namespace py_util;

namespace {

template <const std::string_view& message>
void check_at_least_one(long long value) {
    if (value < 1) raise(PyExc_ValueError, fmt::format(message, "value"_a = value));
}

/// The value to use: the argument when given, else the environment variable's text when
/// set and not empty; nothing for the default.
py::object chosen(const py::object& argument, const char* variable) {
    if (!argument.is_none()) return argument;
    py::object text = env_value(variable);
    if (text.is_none() || !truthy(text)) return py::none();
    return text;
}

template <const std::string_view& message>
[[noreturn]] void refuse_setting(std::string_view source, const py::object& value) {
    raise(PyExc_ValueError, fmt::format(message, "source"_a = source, "value"_a = repr_text(value)));
}

/// Seconds one model request may take: a finite number above 0.
py::float_ request_timeout_of(const py::object& argument) {
    py::object value = chosen(argument, constants::kRequestTimeoutVariable);
    if (value.is_none()) return py::float_(constants::kRequestTimeoutSeconds);
    std::optional<double> seconds = PyBool_Check(value.ptr()) ? std::nullopt : finite_float(value);
    if (!seconds || *seconds <= 0) {
        refuse_setting<texts::kBadTimeout>(argument.is_none() ? constants::kRequestTimeoutVariable : "request_timeout",
                                           value);
    }
    return py::float_(*seconds);
}

/// Retries of a failed request: a whole number, 0 or more (text only from the environment).
py::int_ max_retries_of(const py::object& argument) {
    py::object value = chosen(argument, constants::kMaxRetriesVariable);
    if (value.is_none()) return py::int_(constants::kMaxRetries);
    const std::string_view source = argument.is_none() ? constants::kMaxRetriesVariable : "max_retries";
    py::object number;
    if (is_plain_int(value)) {
        number = value;
    } else if (PyUnicode_Check(value.ptr())) {
        auto refused = ordinary_error([&] { number = py::int_(value.attr("strip")()); });
        if (refused) refuse_setting<texts::kBadRetries>(source, value);
    } else {
        refuse_setting<texts::kBadRetries>(source, value);
    }
    if (number < py::int_(0)) refuse_setting<texts::kBadRetries>(source, value);
    return py::int_(number);
}

}  // namespace

// The attributes are plain instance attributes, set in this order, so hosts and tests read
// and replace them like any Python attribute.
void construct(py::object self, py::object token_log_file, long long max_concurrent_requests,
               long long requests_per_minute, py::object enable_logging, py::object request_timeout,
               py::object max_retries) {
    py::object key = env_value(constants::kOpenAiKeyVariable);
    if (key.is_none() || !py::bool_(key)) raise(PyExc_ValueError, texts::kApiKeyRequired);
    check_at_least_one<texts::kMaxConcurrentTooSmall>(max_concurrent_requests);
    check_at_least_one<texts::kRequestsPerMinuteTooSmall>(requests_per_minute);
    // Without a bound of our own, the client waits 600 s per try on a silent server.
    py::float_ timeout = request_timeout_of(request_timeout);
    py::int_ retries = max_retries_of(max_retries);

    py::module_ openai = py::module_::import("openai");
    self.attr("client") = openai.attr("OpenAI")(py::arg("api_key") = key, py::arg("timeout") = timeout,
                                                py::arg("max_retries") = retries);
    self.attr("async_client") = openai.attr("AsyncOpenAI")(py::arg("api_key") = key, py::arg("timeout") = timeout,
                                                           py::arg("max_retries") = retries);

    self.attr("model") = to_py(constants::kModelName);
    self.attr("token_log_file") = path_text(std::move(token_log_file));
    self.attr("is_logging_enabled") = enable_logging;
    self.attr("max_concurrent_requests") = py::int_(max_concurrent_requests);
    self.attr("requests_per_minute") = py::int_(requests_per_minute);
    self.attr("request_timeout") = timeout;
    self.attr("max_retries") = retries;

    self.attr("_request_semaphore") = module_attr("asyncio", "Semaphore")(max_concurrent_requests);
    self.attr("_rate_limit_timestamps") = py::list();

    self.attr("encoding") = choose_encoding(self.attr("model"));
    self.attr("_setup_token_logger")();

    self.attr("total_input_tokens") = py::int_(0);
    self.attr("total_output_tokens") = py::int_(0);
    self.attr("total_cost") = py::float_(0.0);
}

}  // namespace tovrane::model_broker
