// Start-up of the facade: credentials into the environment, then the components in order.
#include <fmt/format.h>

#include <array>
#include <utility>

#include "common/errors.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/constants.hpp"
#include "engine/text/facade_texts.hpp"
#include "tovrane/internal.hpp"
#include "tovrane/operations.hpp"

namespace tovrane::facade {

namespace texts = tovrane::text::facade;
using namespace fmt::literals;
using namespace py_util;

namespace {

// Environment variable and the configuration field that may fill it, in export order.
constexpr std::array<std::pair<const char*, const char*>, 6> kExports = {{
    {constants::kOpenAiKeyVariable, "openai_api_key"},
    {constants::kAwsKeyIdVariable, "aws_access_key_id"},
    {constants::kAwsSecretVariable, "aws_secret_access_key"},
    {constants::kGeminiKeyVariable, "gemini_api_key"},
    {constants::kMathpixAppIdVariable, "mathpix_app_id"},
    {constants::kMathpixAppKeyVariable, "mathpix_app_key"},
}};

bool present(py::handle value) { return !value.is_none(); }

// The back end's credential keywords; only the first matching case applies, and the type
// is compared exactly ("OpenAI" is no "openai").
py::dict extractor_credentials(const py::object& config) {
    py::dict credentials;
    py::object type = config.attr("extractor_type");
    py::object openai_key = config.attr("openai_api_key");
    py::object gemini_key = config.attr("gemini_api_key");
    if (type.equal(py::str("openai")) && truthy(openai_key)) {
        credentials["api_key"] = openai_key;
    } else if (type.equal(py::str("gemini")) && truthy(gemini_key)) {
        credentials["api_key"] = gemini_key;
    } else if (type.equal(py::str("mathpix"))) {
        py::object app_id = config.attr("mathpix_app_id");
        py::object app_key = config.attr("mathpix_app_key");
        if (truthy(app_id)) credentials["app_id"] = app_id;
        if (truthy(app_key)) credentials["app_key"] = app_key;
    }
    return credentials;
}

}  // namespace

void configure(py::object self, py::object config) {
    try {
        guarded(
            [&] {
                if (!is_instance(config, names::config_class())) raise(configuration_error(), texts::kNotAConfig);
                say(texts::kConfiguring);
                self.attr("config") = config;
                self.attr("_set_environment_variables")(config);
                self.attr("_initialize_model_broker")(config);
                self.attr("_initialize_extractor_client")(config);
                self.attr("_initialize_handlers")();
                self.attr("is_configured") = true;
                say(texts::kConfigured);
            },
            with_error<texts::kConfigureFailed>, configuration_error());
    } catch (...) {
        // However it failed, a half-started facade must refuse work until the next configure.
        self.attr("is_configured") = false;
        throw;
    }
}

void set_environment_variables(py::object, py::object config) {
    py::object environ = module_attr("os", "environ");
    for (const auto& [variable, field] : kExports) {
        py::object value = config.attr(field);
        if (!present(value) || !truthy(value)) continue;
        if (truthy(get_or(environ, variable, py::none()))) continue;  // never overwrite a set value
        environ[variable] = value;
    }
}

void initialize_model_broker(py::object self, py::object config) {
    guarded(
        [&] {
            say(texts::kInitBroker);
            self.attr("model_broker") = names::model_broker_class()(
                py::arg("token_log_file") = config.attr("token_log_file"),
                py::arg("enable_logging") = config.attr("enable_llm_token_logging"),
                py::arg("max_concurrent_requests") = config.attr("max_concurrent_requests"),
                py::arg("requests_per_minute") = config.attr("requests_per_minute"),
                py::arg("request_timeout") = config.attr("request_timeout"),
                py::arg("max_retries") = config.attr("max_retries"));
            say(texts::kBrokerReady);
        },
        with_error<texts::kBrokerFailed>, configuration_error());
}

void initialize_extractor_client(py::object self, py::object config) {
    guarded(
        [&] {
            say(texts::kInitExtractor, "extractor_type"_a = str(config.attr("extractor_type")));
            py::dict keywords;
            keywords["extractor_type"] = config.attr("extractor_type");
            keywords["region"] = config.attr("extractor_region");
            keywords.attr("update")(extractor_credentials(config));
            py::object client = names::extractor_client_class()(**keywords);
            self.attr("extractor_client") = client;
            client.attr("set_dpi")(config.attr("dpi"));
            say(texts::kExtractorReady);
        },
        with_error<texts::kExtractorFailed>, configuration_error());
}

void initialize_handlers(py::object self) {
    guarded(
        [&] {
            say(texts::kInitPaperPipeline);
            self.attr("paper_pipeline") =
                names::paper_pipeline_class()(py::arg("extractor_client") = self.attr("extractor_client"),
                                              py::arg("model_broker") = self.attr("model_broker"));
            say(texts::kInitSheetPipeline);
            self.attr("sheet_pipeline") =
                names::sheet_pipeline_class()(py::arg("extractor_client") = self.attr("extractor_client"),
                                              py::arg("model_broker") = self.attr("model_broker"));
            say(texts::kHandlersReady);
        },
        with_error<texts::kHandlersFailed>, configuration_error());
}

void validate_configured(py::object self) {
    if (!truthy(self.attr("is_configured"))) raise(configuration_error(), texts::kNotConfigured);
    if (!truthy(self.attr("is_ready")())) raise(configuration_error(), texts::kNotReady);
}

bool is_ready(py::object self) {
    if (!truthy(self.attr("is_configured"))) return false;
    for (const char* component : {"model_broker", "extractor_client", "paper_pipeline", "sheet_pipeline"}) {
        if (!present(self.attr(component))) return false;
    }
    return true;
}

py::dict get_configuration_summary(py::object self) {
    py::object config = self.attr("config");
    py::dict summary;
    if (!present(config)) {
        summary["status"] = "not_configured";
        return summary;
    }
    summary["status"] = truthy(self.attr("is_configured")) ? "configured" : "configuration_failed";
    for (const char* key : {"extractor_type", "extractor_region", "token_log_file", "dpi"}) {
        summary[key] = config.attr(key);
    }
    summary["ready"] = self.attr("is_ready")();
    summary["has_question_paper"] = present(self.attr("current_question_paper"));
    return summary;
}

}  // namespace tovrane::facade
