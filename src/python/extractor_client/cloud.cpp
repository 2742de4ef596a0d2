// The cloud page readers: Amazon Textract (boto3), Gemini (google-genai) and Mathpix (its
// v3/text request through httpx), each SDK imported at first use so that a missing one only
// affects its own back end. Every call holds the GIL only while it talks to the SDK.
#include <fmt/format.h>
#include <pybind11/eval.h>
#include <pybind11/gil_safe_call_once.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/python.hpp"
#include "engine/constants.hpp"
#include "engine/ocr/png.hpp"
#include "engine/text/extractor_client_texts.hpp"
#include "extractor_client/internal.hpp"

namespace tovrane::extractor_client {

namespace texts = tovrane::text::extractor_client;
using namespace fmt::literals;
using namespace py_util;

namespace {

using Outcome = std::variant<std::string, ocr::ServiceFailure>;
/// One request for one page; called with the GIL held.
using Ask = std::function<Outcome(int page, const std::string& png)>;

class CloudReader : public ocr::PageReader {
public:
    CloudReader(std::string_view service, std::shared_ptr<ocr::RunStop> stop, Ask ask)
        : service_(service), stop_(std::move(stop)), ask_(std::move(ask)) {}

    std::string read(int page, const ocr::GrayImage& image) override {
        const std::string png = ocr::encode_png(image);
        try {
            return ocr::read_with_retries(
                service_, page,
                [&] {
                    py::gil_scoped_acquire gil;
                    return ask_(page, png);
                },
                ocr::RetryPolicy{}, [this](double seconds) { return stop_->wait(seconds); });
        } catch (...) {
            // The run fails with this page: nobody else need wait out a back-off.
            stop_->fail(std::current_exception());
            throw;
        }
    }

private:
    std::string_view service_;
    std::shared_ptr<ocr::RunStop> stop_;
    Ask ask_;
};

ocr::ReaderFactory factory(std::string_view service, std::shared_ptr<ocr::RunStop> stop, Ask ask) {
    return [service, stop = std::move(stop), ask = std::move(ask)] {
        return std::make_unique<CloudReader>(service, stop, ask);
    };
}

py::module_ import_sdk(const char* module, std::string_view type, std::string_view package, std::string_view extra) {
    try {
        return py::module_::import(module);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        raise_from_cause(error, PyExc_RuntimeError,
                         fmt::format(texts::kSdkMissing, "type"_a = type, "package"_a = package, "extra"_a = extra));
    }
}

// The service client, made at first use and kept as the instance attribute `name`, where
// hosts and tests may put their own. Two workers may race to make it: the first kept wins.
// A client made here holds connections: it is closed with its owner (or at once when it
// lost the race), since the SDKs leave their sockets to the collector otherwise.
template <typename Make>
py::object cached_client(py::handle owner, const char* name, Make&& make) {
    py::object client = py::getattr(owner, name, py::none());
    if (!client.is_none()) return client;
    client = make();
    py::object raced = py::getattr(owner, name, py::none());
    if (!raced.is_none()) {
        client.attr("close")();
        return raced;
    }
    py::setattr(owner, name, client);
    py::module_::import("weakref").attr("finalize")(owner, client.attr("close"));
    return client;
}

// A worker thread's calls start with no Python frame above them, but pydantic models (the
// Gemini SDK's) that finish building at first use look two frames up their caller's stack.
// Calls made through a Python function give them one to find.
py::object call_from_python(py::handle callable, py::tuple args, py::dict kwargs = py::dict()) {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    const py::object& trampoline =
        storage
            .call_once_and_store_result([] {
                py::dict scope;
                return py::object(py::eval("lambda call, args, kwargs: call(*args, **kwargs)", scope));
            })
            .get_stored();
    return trampoline(callable, args, kwargs);
}

// Services sometimes quote the request back; a credential never reaches a message.
std::string redacted(std::string text, const std::vector<std::string>& secrets) {
    for (const auto& secret : secrets) {
        if (secret.size() < 4) continue;
        for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at + texts::kRedacted.size())) {
            text.replace(at, secret.size(), texts::kRedacted);
        }
    }
    return text;
}

bool busy_status(long status) { return status == 429 || (status >= 500 && status <= 504); }

std::optional<double> retry_after_of(py::handle headers) {
    if (headers.is_none() || !py::hasattr(headers, "get")) return std::nullopt;
    py::object value = headers.attr("get")("retry-after");
    if (value.is_none()) return std::nullopt;
    return ocr::parse_retry_after(str(value));
}

/// A Python error that carries no service answer (no connection, a time-out, a bug).
ocr::ServiceFailure plain_failure(py::error_already_set& error, const std::vector<std::string>& secrets) {
    ocr::ServiceFailure failure;
    failure.message = redacted(
        fmt::format(texts::kCodeAndMessage, "code"_a = type_name(error.value()), "message"_a = error_text(error)),
        secrets);
    return failure;
}

std::string text_or_empty(py::handle value) { return value.is_none() ? std::string() : str(value); }

[[noreturn]] void client_failed(py::error_already_set& error, std::string_view service) {
    raise_from_cause(error, PyExc_RuntimeError,
                     fmt::format(texts::kClientFailed, "service"_a = service, "error"_a = error_text(error)));
}

// ---- "aws": Amazon Textract DetectDocumentText ---------------------------------------------

py::object make_textract(const CloudSettings& settings) {
    py::module_ boto3 = import_sdk("boto3", "aws", "boto3", "aws");
    py::module_ botocore_config = import_sdk("botocore.config", "aws", "boto3", "aws");
    try {
        py::object region = settings.region.empty() ? py::object(py::none()) : py::object(py::str(settings.region));
        py::object session = boto3.attr("session").attr("Session")(py::arg("region_name") = region);
        if (session.attr("get_credentials")().is_none()) {
            throw std::runtime_error(std::string(texts::kAwsCredentialsMissing));
        }
        // Throttling is retried here, with the other back ends' policy: botocore tries once.
        py::dict retries;
        retries["total_max_attempts"] = 1;
        py::object config = botocore_config.attr("Config")(py::arg("retries") = retries,
                                                            py::arg("read_timeout") = constants::kCloudTimeoutSeconds);
        return session.attr("client")("textract", py::arg("config") = config);
    } catch (py::error_already_set& error) {
        if (!is_ordinary(error)) throw;
        if (is_instance(error.value(), module_attr("botocore.exceptions", "PartialCredentialsError"))) {
            throw std::runtime_error(std::string(texts::kAwsCredentialsMissing));
        }
        client_failed(error, texts::kAwsService);
    }
}

ocr::ServiceFailure aws_failure(py::error_already_set& error, const std::vector<std::string>& secrets) {
    py::object client_error = module_attr("botocore.exceptions", "ClientError");
    if (!is_instance(error.value(), client_error)) {
        if (is_instance(error.value(), module_attr("botocore.exceptions", "NoCredentialsError"))) {
            throw std::runtime_error(std::string(texts::kAwsCredentialsMissing));
        }
        return plain_failure(error, secrets);
    }
    py::object response = error.value().attr("response");
    py::object details = response.attr("get")("Error", py::dict());
    py::object metadata = response.attr("get")("ResponseMetadata", py::dict());
    const std::string code = text_or_empty(details.attr("get")("Code"));
    ocr::ServiceFailure failure;
    py::object status = metadata.attr("get")("HTTPStatusCode");
    failure.status = is_plain_int(status) ? status.cast<int>() : 0;
    failure.message = redacted(fmt::format(texts::kCodeAndMessage, "code"_a = code,
                                           "message"_a = text_or_empty(details.attr("get")("Message"))),
                               secrets);
    failure.busy = code == "ThrottlingException" || code == "ProvisionedThroughputExceededException" ||
                   busy_status(failure.status);
    failure.retry_after = retry_after_of(metadata.attr("get")("HTTPHeaders"));
    return failure;
}

Outcome ask_textract(const CloudSettings& settings, const std::string& png) {
    py::object client = cached_client(settings.owner, "_textract_client", [&] { return make_textract(settings); });
    py::object response;
    try {
        py::dict document;
        document["Bytes"] = py::bytes(png);
        response = client.attr("detect_document_text")(py::arg("Document") = document);
    } catch (py::error_already_set& error) {
        if (!is_ordinary(error)) throw;
        return aws_failure(error, settings.secrets);
    }
    // LINE blocks come in reading order; WORD blocks repeat their words.
    std::string text;
    bool first = true;
    for (py::handle block : response["Blocks"]) {
        if (text_or_empty(block.attr("get")("BlockType")) != "LINE") continue;
        if (!first) text += '\n';
        text += text_or_empty(block.attr("get")("Text"));
        first = false;
    }
    return text;
}

// ---- "gemini": generate_content with the page inline ----------------------------------------

py::object make_gemini(const CloudSettings& settings) {
    py::module_ genai = import_sdk("google.genai", "gemini", "google-genai", "gemini");
    if (!settings.api_key) throw std::runtime_error(std::string(texts::kGeminiKeyMissing));
    try {
        py::dict options;
        options["timeout"] = static_cast<long long>(constants::kCloudTimeoutSeconds * 1000);  // milliseconds
        if (!settings.base_url.empty()) options["base_url"] = settings.base_url;
        py::object http_options = call_from_python(genai.attr("types").attr("HttpOptions"), py::tuple(), options);
        py::dict arguments;
        arguments["api_key"] = *settings.api_key;
        arguments["vertexai"] = false;
        arguments["http_options"] = http_options;
        return call_from_python(genai.attr("Client"), py::tuple(), arguments);
    } catch (py::error_already_set& error) {
        if (!is_ordinary(error)) throw;
        client_failed(error, texts::kGeminiService);
    }
}

ocr::ServiceFailure gemini_failure(py::error_already_set& error, const std::vector<std::string>& secrets) {
    if (!is_instance(error.value(), module_attr("google.genai.errors", "APIError"))) {
        return plain_failure(error, secrets);
    }
    py::object value = error.value();
    ocr::ServiceFailure failure;
    py::object code = value.attr("code");
    failure.status = is_plain_int(code) ? code.cast<int>() : 0;
    const std::string status = text_or_empty(py::getattr(value, "status", py::none()));
    const std::string message = text_or_empty(py::getattr(value, "message", py::none()));
    failure.message = redacted(
        status.empty() ? message : fmt::format(texts::kCodeAndMessage, "code"_a = status, "message"_a = message),
        secrets);
    failure.busy = busy_status(failure.status);
    py::object response = py::getattr(value, "response", py::none());
    if (!response.is_none()) failure.retry_after = retry_after_of(py::getattr(response, "headers", py::none()));
    return failure;
}

std::string enum_text(py::handle value) {
    return value.is_none() ? std::string() : str(py::getattr(value, "value", py::reinterpret_borrow<py::object>(value)));
}

Outcome ask_gemini(const CloudSettings& settings, const std::string& png) {
    py::object client = cached_client(settings.owner, "_gemini_client", [&] { return make_gemini(settings); });
    py::object types = module_attr("google.genai", "types");
    py::object response;
    try {
        py::dict image;
        image["data"] = py::bytes(png);
        image["mime_type"] = "image/png";
        py::dict config;
        config["temperature"] = 0.0;
        py::dict request;
        request["model"] = settings.model;
        request["contents"] = py::make_tuple(call_from_python(types.attr("Part").attr("from_bytes"), py::tuple(), image),
                                             to_py(texts::kGeminiInstruction));
        request["config"] = call_from_python(types.attr("GenerateContentConfig"), py::tuple(), config);
        response = call_from_python(client.attr("models").attr("generate_content"), py::tuple(), request);
    } catch (py::error_already_set& error) {
        if (!is_ordinary(error)) throw;
        return gemini_failure(error, settings.secrets);
    }
    py::object text = response.attr("text");
    if (!text.is_none()) return str(text);
    // No text: a blank page ends normally; a blocked request or a cut-off answer does not.
    std::string reason;
    py::object feedback = py::getattr(response, "prompt_feedback", py::none());
    if (!feedback.is_none()) reason = enum_text(py::getattr(feedback, "block_reason", py::none()));
    py::object candidates = py::getattr(response, "candidates", py::none());
    if (reason.empty() && !candidates.is_none() && py::len(candidates) > 0) {
        reason = enum_text(py::getattr(candidates[py::int_(0)], "finish_reason", py::none()));
        if (reason == "STOP") return std::string();
    }
    ocr::ServiceFailure failure;
    failure.message = fmt::format(texts::kGeminiNoText, "reason"_a = reason.empty() ? "no candidates" : reason);
    return failure;
}

// ---- "mathpix": POST v3/text ------------------------------------------------------------------

Outcome ask_mathpix(const CloudSettings& settings, const std::string& png) {
    py::module_ httpx = import_sdk("httpx", "mathpix", "httpx", "mathpix");
    if (!settings.app_id || !settings.app_key) throw std::runtime_error(std::string(texts::kMathpixKeysMissing));
    py::object client = cached_client(settings.owner, "_mathpix_http", [&] {
        return httpx.attr("Client")(py::arg("timeout") = constants::kCloudTimeoutSeconds);
    });
    std::string base = settings.base_url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string url = base + "/v3/text";
    py::dict headers;
    headers["app_id"] = *settings.app_id;
    headers["app_key"] = *settings.app_key;
    py::dict body;
    body["src"] = "data:image/png;base64," + ocr::base64_encode(png);
    body["formats"] = py::make_tuple("text");
    body["rm_spaces"] = true;
    // Mathpix Markdown with the delimiters the answersheet prompt names.
    body["math_inline_delimiters"] = py::make_tuple("$", "$");
    body["math_display_delimiters"] = py::make_tuple("$$", "$$");
    py::object response;
    try {
        response = client.attr("post")(url, py::arg("headers") = headers, py::arg("json") = body);
    } catch (py::error_already_set& error) {
        if (!is_ordinary(error)) throw;
        ocr::ServiceFailure failure;
        failure.message = redacted(fmt::format(texts::kNoAnswer, "url"_a = url, "error"_a = error_text(error)),
                                   settings.secrets);
        return failure;
    }
    const int status = response.attr("status_code").cast<int>();
    py::object data = py::none();
    try {
        data = response.attr("json")();
    } catch (py::error_already_set& error) {
        if (!is_ordinary(error)) throw;
    }
    ocr::ServiceFailure failure;
    failure.status = status;
    failure.busy = busy_status(status);
    failure.retry_after = retry_after_of(response.attr("headers"));
    if (!PyDict_Check(data.ptr())) {
        failure.message = fmt::format(texts::kMathpixNotJson, "preview"_a = preview(response.attr("text"), 200));
        failure.message = redacted(failure.message, settings.secrets);
        return failure;
    }
    py::object info = data.attr("get")("error_info");
    const std::string id = PyDict_Check(info.ptr()) ? text_or_empty(info.attr("get")("id")) : std::string();
    std::string message = text_or_empty(data.attr("get")("error"));
    if (message.empty() && PyDict_Check(info.ptr())) message = text_or_empty(info.attr("get")("message"));
    if (status < 400 && message.empty() && id.empty()) return text_or_empty(data.attr("get")("text"));
    if (id == texts::kMathpixNoContent) return std::string();
    // Mathpix answers some refusals with 200 and an error body: only a real status is shown.
    if (status < 400) failure.status = 0;
    failure.message = redacted(
        id.empty() ? message : fmt::format(texts::kCodeAndMessage, "code"_a = id, "message"_a = message),
        settings.secrets);
    return failure;
}

}  // namespace

ocr::ReaderFactory aws_reader(CloudSettings settings) {
    auto shared = std::make_shared<const CloudSettings>(std::move(settings));
    return factory(texts::kAwsService, shared->stop,
                   [shared](int, const std::string& png) { return ask_textract(*shared, png); });
}

ocr::ReaderFactory gemini_reader(CloudSettings settings) {
    auto shared = std::make_shared<const CloudSettings>(std::move(settings));
    return factory(texts::kGeminiService, shared->stop,
                   [shared](int, const std::string& png) { return ask_gemini(*shared, png); });
}

ocr::ReaderFactory mathpix_reader(CloudSettings settings) {
    auto shared = std::make_shared<const CloudSettings>(std::move(settings));
    return factory(texts::kMathpixService, shared->stop,
                   [shared](int, const std::string& png) { return ask_mathpix(*shared, png); });
}

void check_cloud_reader(std::string_view type, const CloudSettings& settings) {
    if (type == "aws") {
        make_textract(settings);  // a client, no request
    } else if (type == "gemini") {
        import_sdk("google.genai", "gemini", "google-genai", "gemini");
        if (!settings.api_key) throw std::runtime_error(std::string(texts::kGeminiKeyMissing));
    } else {
        import_sdk("httpx", "mathpix", "httpx", "mathpix");
        if (!settings.app_id || !settings.app_key) throw std::runtime_error(std::string(texts::kMathpixKeysMissing));
    }
}

std::string gemini_model() {
    std::string model = env(constants::kGeminiModelVariable).value_or("");
    return model.empty() ? std::string(constants::kGeminiModel) : model;
}

}  // namespace tovrane::extractor_client
