// Start-up of the facade: credentials into the environment, then the components in order.
#include <array>
#include <utility>

#include "engine/text/facade_texts.hpp"
#include "tovrane/ops.hpp"
#include "tovrane/support.hpp"

namespace tovrane::facade {

namespace txt = tovrane::text::facade;
using namespace detail;

namespace {

// Environment variable and the configuration field that may fill it, in export order.
constexpr std::array<std::pair<const char*, const char*>, 6> kExports = {{
    {"OPENAI_API_KEY", "openai_api_key"},
    {"AWS_ACCESS_KEY_ID", "aws_access_key_id"},
    {"AWS_SECRET_ACCESS_KEY", "aws_secret_access_key"},
    {"GEMINI_API_KEY", "gemini_api_key"},
    {"MATHPIX_APP_ID", "mathpix_app_id"},
    {"MATHPIX_APP_KEY", "mathpix_app_key"},
}};

bool present(py::handle value) { return !value.is_none(); }

// The back end's credential keywords; only the first matching case applies, and the type
// is compared exactly ("OpenAI" is no "openai").
py::dict extractor_credentials(const py::object& config) {
    py::dict credentials;
    py::object type = config.attr("extractor_type");
    py::object openai_key = config.attr("openai_api_key");
    py::object gemini_key = config.attr("gemini_api_key");
    if (type.equal(py::str("openai")) && truth_of(openai_key)) {
        credentials["api_key"] = openai_key;
    } else if (type.equal(py::str("gemini")) && truth_of(gemini_key)) {
        credentials["api_key"] = gemini_key;
    } else if (type.equal(py::str("mathpix"))) {
        py::object app_id = config.attr("mathpix_app_id");
        py::object app_key = config.attr("mathpix_app_key");
        if (truth_of(app_id)) credentials["app_id"] = app_id;
        if (truth_of(app_key)) credentials["app_key"] = app_key;
    }
    return credentials;
}

}  // namespace

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

void configure(py::object self, py::object config) {
    try {
        guarded(
            [&] {
                if (!is_instance(config, config_class())) raise(configuration_error(), txt::kNotAConfig);
                say(txt::kConfiguring);
                self.attr("config") = config;
                self.attr("_set_environment_variables")(config);
                self.attr("_initialize_model_broker")(config);
                self.attr("_initialize_extractor_client")(config);
                self.attr("_initialize_handlers")();
                self.attr("is_configured") = true;
                say(txt::kConfigured);
            },
            configuration_error(), [](const std::string& error) {
                return fill(txt::kConfigureFailed, fmt::arg("error", error));
            });
    } catch (...) {
        // However it failed, a half-started facade must refuse work until the next configure.
        self.attr("is_configured") = false;
        throw;
    }
}

void set_environment_variables(py::object, py::object config) {
    py::object environ = py_util::module_attr("os", "environ");
    for (const auto& [variable, field] : kExports) {
        py::object value = config.attr(field);
        if (!present(value) || !truth_of(value)) continue;
        if (truth_of(get_or(environ, variable, py::none()))) continue;  // never overwrite a set value
        environ[variable] = value;
    }
}

void initialize_model_broker(py::object self, py::object config) {
    guarded(
        [&] {
            say(txt::kInitBroker);
            self.attr("model_broker") = model_broker_class()(
                py::arg("token_log_file") = config.attr("token_log_file"),
                py::arg("enable_logging") = config.attr("enable_llm_token_logging"),
                py::arg("max_concurrent_requests") = config.attr("max_concurrent_requests"),
                py::arg("requests_per_minute") = config.attr("requests_per_minute"),
                py::arg("request_timeout") = config.attr("request_timeout"),
                py::arg("max_retries") = config.attr("max_retries"));
            say(txt::kBrokerReady);
        },
        configuration_error(),
        [](const std::string& error) { return fill(txt::kBrokerFailed, fmt::arg("error", error)); });
}

void initialize_extractor_client(py::object self, py::object config) {
    guarded(
        [&] {
            say(txt::kInitExtractor, fmt::arg("extractor_type", text(config.attr("extractor_type"))));
            py::dict keywords;
            keywords["extractor_type"] = config.attr("extractor_type");
            keywords["region"] = config.attr("extractor_region");
            keywords.attr("update")(extractor_credentials(config));
            py::object client = extractor_client_class()(**keywords);
            self.attr("extractor_client") = client;
            client.attr("set_dpi")(config.attr("dpi"));
            say(txt::kExtractorReady);
        },
        configuration_error(),
        [](const std::string& error) { return fill(txt::kExtractorFailed, fmt::arg("error", error)); });
}

void initialize_handlers(py::object self) {
    guarded(
        [&] {
            say(txt::kInitPaperPipeline);
            self.attr("paper_pipeline") =
                paper_pipeline_class()(py::arg("extractor_client") = self.attr("extractor_client"),
                                       py::arg("model_broker") = self.attr("model_broker"));
            say(txt::kInitSheetPipeline);
            self.attr("sheet_pipeline") =
                sheet_pipeline_class()(py::arg("extractor_client") = self.attr("extractor_client"),
                                       py::arg("model_broker") = self.attr("model_broker"));
            say(txt::kHandlersReady);
        },
        configuration_error(),
        [](const std::string& error) { return fill(txt::kHandlersFailed, fmt::arg("error", error)); });
}

void validate_configured(py::object self) {
    if (!truth_of(self.attr("is_configured"))) raise(configuration_error(), txt::kNotConfigured);
    if (!truth_of(self.attr("is_ready")())) raise(configuration_error(), txt::kNotReady);
}

bool is_ready(py::object self) {
    if (!truth_of(self.attr("is_configured"))) return false;
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
    summary["status"] = truth_of(self.attr("is_configured")) ? "configured" : "configuration_failed";
    for (const char* key : {"extractor_type", "extractor_region", "token_log_file", "dpi"}) {
        summary[key] = config.attr(key);
    }
    summary["ready"] = self.attr("is_ready")();
    summary["has_question_paper"] = present(self.attr("current_question_paper"));
    return summary;
}

}  // namespace tovrane::facade
