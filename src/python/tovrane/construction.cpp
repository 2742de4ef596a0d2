// Construction of the configuration record (type rules, then plain attributes) and of
// the unconfigured facade.
#include <fmt/format.h>

#include <array>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/python.hpp"
#include "tovrane/internal.hpp"
#include "tovrane/operations.hpp"

namespace tovrane::facade {

using namespace py_util;

namespace {

// The keys of to_dict, in order; the logging flag is not among them.
constexpr std::array<const char*, 10> kDictKeys = {
    "extractor_type", "extractor_region", "openai_api_key", "aws_access_key_id", "aws_secret_access_key",
    "gemini_api_key", "mathpix_app_id",   "mathpix_app_key", "token_log_file",   "dpi"};

// Exactly str: a subclass could change how the value compares or prints later on.
void require_exact_text(py::handle value, const char* name) {
    if (!PyUnicode_CheckExact(value.ptr())) {
        wrong_type(name, "str", value);
    }
}

void require_text_or_none(py::handle value, const char* name) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) {
        wrong_type(name, "str or None", value);
    }
}

// Exactly an int (bool is an int to Python, but no count of anything).
void require_int(py::handle value, const char* name) {
    if (!is_plain_int(value)) wrong_type(name, "an int", value);
}

void require_int_or_none(py::handle value, const char* name) {
    if (!value.is_none() && !is_plain_int(value)) {
        wrong_type(name, "an int or None", value);
    }
}

void require_number_or_none(py::handle value, const char* name) {
    if (value.is_none()) return;
    if (PyBool_Check(value.ptr()) || !is_instance(value, module_attr("numbers", "Real"))) {
        wrong_type(name, "a number or None", value);
    }
}

// int(value) for any number; int() itself refuses NaN, infinities and complex numbers.
py::object dpi_of(py::handle value) {
    if (!is_instance(value, module_attr("numbers", "Number"))) {
        wrong_type("dpi", "a number", value);
    }
    PyObject* result = PyNumber_Long(value.ptr());
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace

void init_config(py::object self, py::object extractor_type, py::object extractor_region,
                 py::object openai_api_key, py::object aws_access_key_id, py::object aws_secret_access_key,
                 py::object gemini_api_key, py::object mathpix_app_id, py::object mathpix_app_key,
                 py::object token_log_file, py::object enable_llm_token_logging, py::object dpi,
                 py::object max_concurrent_requests, py::object requests_per_minute, py::object request_timeout,
                 py::object max_retries) {
    require_exact_text(extractor_type, "extractor_type");
    require_exact_text(extractor_region, "extractor_region");
    require_text_or_none(openai_api_key, "openai_api_key");
    require_text_or_none(aws_access_key_id, "aws_access_key_id");
    require_text_or_none(aws_secret_access_key, "aws_secret_access_key");
    require_text_or_none(gemini_api_key, "gemini_api_key");
    require_text_or_none(mathpix_app_id, "mathpix_app_id");
    require_text_or_none(mathpix_app_key, "mathpix_app_key");
    token_log_file = path_text(std::move(token_log_file));
    require_exact_text(token_log_file, "token_log_file");
    py::object logging = py::bool_(truthy(enable_llm_token_logging));
    py::object resolution = dpi_of(dpi);
    // The values themselves are the broker's to judge when it starts.
    require_int(max_concurrent_requests, "max_concurrent_requests");
    require_int(requests_per_minute, "requests_per_minute");
    require_number_or_none(request_timeout, "request_timeout");
    require_int_or_none(max_retries, "max_retries");

    self.attr("extractor_type") = extractor_type;
    self.attr("extractor_region") = extractor_region;
    self.attr("openai_api_key") = openai_api_key;
    self.attr("aws_access_key_id") = aws_access_key_id;
    self.attr("aws_secret_access_key") = aws_secret_access_key;
    self.attr("gemini_api_key") = gemini_api_key;
    self.attr("mathpix_app_id") = mathpix_app_id;
    self.attr("mathpix_app_key") = mathpix_app_key;
    self.attr("token_log_file") = token_log_file;
    self.attr("enable_llm_token_logging") = logging;
    self.attr("dpi") = resolution;
    self.attr("max_concurrent_requests") = max_concurrent_requests;
    self.attr("requests_per_minute") = requests_per_minute;
    self.attr("request_timeout") = request_timeout;
    self.attr("max_retries") = max_retries;
}

py::dict config_to_dict(py::object self) {
    py::dict result;
    for (const char* key : kDictKeys) {
        result[key] = self.attr(key);
    }
    return result;
}

void init_facade(py::object self) {
    self.attr("config") = py::none();
    self.attr("is_configured") = false;
    self.attr("model_broker") = py::none();
    self.attr("extractor_client") = py::none();
    self.attr("paper_pipeline") = py::none();
    self.attr("sheet_pipeline") = py::none();
    self.attr("current_question_paper") = py::none();
    self.attr("last_processing_summary") = py::dict();
}

}  // namespace tovrane::facade
