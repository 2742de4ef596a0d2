// ExtractorClient's page texts: the back end for a subject, the local and "openai" readers,
// the cloud readers' settings, and process_pdf on the engine's worker threads.
#include <fmt/format.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <functional>
#include <climits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/python.hpp"
#include "common/threads.hpp"
#include "engine/ocr/extractor_types.hpp"
#include "engine/ocr/page_extractor.hpp"
#include "engine/ocr/png.hpp"
#include "engine/text/extractor_client_texts.hpp"
#include "extractor_client/internal.hpp"
#include "extractor_client/operations.hpp"

namespace tovrane::extractor_client {

namespace texts = tovrane::text::extractor_client;
using namespace fmt::literals;
using namespace py_util;

namespace {

bool env_set(const char* name) {
    const auto value = env(name);
    return value && !value->empty();
}

std::vector<long long> page_list(py::handle pages) {
    std::vector<long long> out;
    if (pages.is_none()) return out;
    if (!PyList_Check(pages.ptr()) && !PyTuple_Check(pages.ptr())) wrong_type("page_numbers", texts::kPageList, pages);
    for (py::handle page : pages) {
        if (!is_plain_int(page)) wrong_type(texts::kPageNumbersName, texts::kIntegers, page);
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(page.ptr(), &overflow);
        // Beyond long long is beyond any page count: keep the sign for the message.
        out.push_back(overflow == 0 ? number : (overflow > 0 ? LLONG_MAX : LLONG_MIN));
    }
    return out;
}

std::size_t core_count() {
    py::module_ os = py::module_::import("os");
    if (py::hasattr(os, "sched_getaffinity")) {
        return std::max<std::size_t>(1, py::len(os.attr("sched_getaffinity")(0)));
    }
    py::object count = os.attr("cpu_count")();
    return count.is_none() ? 1 : std::max<std::size_t>(1, count.cast<std::size_t>());
}

bool text_layer_from_env() {
    const auto value = env(constants::kTextLayerVariable);
    if (!value) return true;
    const std::string lowered = str(py::str(*value).attr("strip")().attr("lower")());
    return std::none_of(std::begin(texts::kFalseWords), std::end(texts::kFalseWords),
                        [&](std::string_view word) { return lowered == word; });
}

std::string nfkc(const std::string& text) {
    return module_attr("unicodedata", "normalize")("NFKC", text).cast<std::string>();
}

// The client's OpenAI client, created at first use and kept as the instance
// attribute `_openai_client`, where hosts and tests may put their own.
py::object openai_client(py::handle owner, const std::optional<std::string>& api_key) {
    py::object client = py::getattr(owner, "_openai_client", py::none());
    if (!client.is_none()) return client;
    std::optional<std::string> key = api_key && !api_key->empty() ? api_key : env(constants::kOpenAiKeyVariable);
    if (!key || key->empty()) throw std::runtime_error(std::string(texts::kOpenAiKeyMissing));
    client = module_attr("openai", "OpenAI")(py::arg("api_key") = *key);
    py::object raced = py::getattr(owner, "_openai_client", py::none());
    if (!raced.is_none()) return raced;
    py::setattr(owner, "_openai_client", client);
    return client;
}

py::list openai_messages(const std::string& image_url) {
    py::dict text;
    text["type"] = "text";
    text["text"] = to_py(texts::kOpenAiInstruction);
    py::dict url;
    url["url"] = image_url;
    url["detail"] = "high";
    py::dict image;
    image["type"] = "image_url";
    image["image_url"] = url;
    py::dict message;
    message["role"] = "user";
    message["content"] = py::list(py::make_tuple(text, image));
    py::list messages;
    messages.append(message);
    return messages;
}

// Sends each rendered page as a PNG to the chat-completions endpoint. Runs on an engine
// worker thread and holds the GIL only while it calls the client (the client's HTTP waits
// release it).
class OpenAiReader : public ocr::PageReader {
public:
    OpenAiReader(py::handle owner, std::optional<std::string> api_key, std::string model)
        : owner_(owner), api_key_(std::move(api_key)), model_(std::move(model)) {}

    std::string read(int page, const ocr::GrayImage& image) override {
        const std::string url = "data:image/png;base64," + ocr::base64_encode(ocr::encode_png(image));
        py::gil_scoped_acquire gil;
        py::object client = openai_client(owner_, api_key_);
        py::object content;
        try {
            py::object response = client.attr("chat").attr("completions").attr("create")(
                py::arg("model") = model_, py::arg("messages") = openai_messages(url));
            content = response.attr("choices")[py::int_(0)].attr("message").attr("content");
        } catch (py::error_already_set& error) {
            if (!is_ordinary(error)) throw;
            raise_from_cause(error, PyExc_RuntimeError,
                             fmt::format(texts::kOpenAiFailed, "page"_a = page, "error"_a = error_text(error)));
        }
        if (content.is_none()) throw std::runtime_error(fmt::format(texts::kOpenAiNoText, "page"_a = page));
        return content.cast<std::string>();
    }

private:
    py::handle owner_;  // the ExtractorClient, alive for the whole call
    std::optional<std::string> api_key_;
    std::string model_;
};

py::dict page_texts(const std::vector<ocr::PageResult>& pages, const std::string& path, int dpi) {
    py::dict out;
    for (const auto& page : pages) {
        if (page.source == ocr::PageSource::reader && page.dpi < dpi) {
            const std::string shown = str(module_attr("os", "fsdecode")(py::bytes(path)));
            say(texts::kResolutionLowered, "page"_a = page.page, "path"_a = shown, "dpi"_a = dpi,
                "lowered"_a = page.dpi);
        }
        // Text layers spell ligatures and compatibility forms as single characters (U+FB01 for "fi").
        out[py::int_(page.page)] = page.source == ocr::PageSource::text_layer ? nfkc(page.text) : page.text;
    }
    return out;
}

}  // namespace

std::string recommended_for_subject(py::handle subject) {
    const std::string text = subject.is_none() ? std::string() : str(subject);
    ocr::Credentials found;
    found.mathpix = env_set(constants::kMathpixAppIdVariable) && env_set(constants::kMathpixAppKeyVariable);
    found.aws = env_set(constants::kAwsKeyIdVariable) && env_set(constants::kAwsSecretVariable);
    found.gemini = env_set(constants::kGeminiKeyVariable);
    found.openai = env_set(constants::kOpenAiKeyVariable);
    return ocr::recommend_extractor(text, env(constants::kExtractorVariable).value_or(""), found);
}

py::dict ExtractorClient::process_pdf(py::handle self, py::handle pdf_path, py::handle page_numbers) {
    // The engine opens the file by its bytes; messages show it as os.fsdecode does.
    const std::string path = module_attr("os", "fsencode")(pdf_path).cast<std::string>();
    const std::vector<long long> requested = page_list(page_numbers);
    ocr::ExtractOptions options;
    options.dpi = dpi_;
    options.use_text_layer = use_text_layer_.value_or(text_layer_from_env());
    options.workers = max_workers_.value_or(core_count());
    auto stop = std::make_shared<ocr::RunStop>();
    const ocr::ReaderFactory make_reader = type_ == "local"    ? local_reader()
                                           : type_ == "openai" ? openai_reader(self)
                                                               : cloud_reader(self, stop);
    SignalWatch signals;
    std::function<bool()> interrupted = signals.check();
    if (interrupted) {
        // A cloud reader waiting out a back-off gives up as soon as the run is stopped.
        interrupted = [check = std::move(interrupted), stop] {
            bool asked = true;
            try {
                asked = check();
            } catch (...) {
                stop->request();
                throw;
            }
            if (asked) stop->request();
            return asked;
        };
    }

    std::vector<ocr::PageResult> pages;
    try {
        try {
            py::gil_scoped_release release;
            pages = ocr::extract_pages(path, requested, options, make_reader, interrupted);
        } catch (const concurrency::Interrupted&) {
            throw;
        } catch (...) {
            // A page that failed woke the readers waiting to retry; its error is the run's.
            if (auto first = stop->failure()) std::rethrow_exception(first);
            throw;
        }
    } catch (const concurrency::Interrupted&) {
        std::rethrow_exception(signals.interruption());
    } catch (const ocr::OcrError& error) {
        raise_engine_error(error);
    }
    return page_texts(pages, path, options.dpi);
}

std::string ExtractorClient::vision_model() {
    std::string model = env(constants::kVisionModelVariable).value_or("");
    return model.empty() ? std::string(constants::kVisionModel) : model;
}

ocr::ReaderFactory ExtractorClient::local_reader() {
    ocr::TesseractSettings settings;
    settings.languages =
        languages_.value_or(env(constants::kOcrLanguagesVariable).value_or(std::string(constants::kOcrLanguages)));
    settings.data_dir = env(constants::kTessdataVariable).value_or("");
    try {
        ocr::check_language_list(settings.languages);
    } catch (const ocr::OcrError& error) {
        raise_engine_error(error);
    }
    std::shared_ptr<ocr::TesseractPool> pool;
    {
        const std::lock_guard lock(pool_mutex_);
        if (!pool_ || !(pool_->settings() == settings)) pool_ = ocr::TesseractPool::create(settings);
        pool = pool_;
    }
    return [pool] { return pool->reader(); };
}

ocr::ReaderFactory ExtractorClient::openai_reader(py::handle self) {
    return [self, key = own_api_key(), model = vision_model()] {
        return std::make_unique<OpenAiReader>(self, key, model);
    };
}

std::optional<std::string> ExtractorClient::own_api_key() const {
    // api_key belongs to the back end it was given with: after a switch, one service's key
    // must not travel to another.
    if (api_key_ && !api_key_->empty() && api_key_type_ == type_) return api_key_;
    return std::nullopt;
}

ocr::ReaderFactory ExtractorClient::cloud_reader(py::handle self, std::shared_ptr<ocr::RunStop> stop) {
    CloudSettings settings = cloud_settings(self);
    settings.stop = std::move(stop);
    if (type_ == "aws") return aws_reader(std::move(settings));
    if (type_ == "gemini") return gemini_reader(std::move(settings));
    return mathpix_reader(std::move(settings));
}

void ExtractorClient::check_reader(py::handle self) {
    if (type_ == "local") {
        const std::string languages =
            languages_.value_or(env(constants::kOcrLanguagesVariable).value_or(std::string(constants::kOcrLanguages)));
        try {
            ocr::check_language_list(languages);
        } catch (const ocr::OcrError& error) {
            raise_engine_error(error);
        }
        return;
    }
    if (type_ == "openai") {
        std::optional<std::string> key = own_api_key();
        if (!key) key = env(constants::kOpenAiKeyVariable);
        if (!key || key->empty()) throw std::runtime_error(std::string(texts::kOpenAiKeyMissing));
        return;
    }
    check_cloud_reader(type_, cloud_settings(self));
}

CloudSettings ExtractorClient::cloud_settings(py::handle self) const {
    CloudSettings settings;
    settings.owner = self;
    const auto from_env = [](const char* name) {
        auto value = env(name);
        return value && !value->empty() ? value : std::nullopt;
    };
    const auto given = [](const std::optional<std::string>& value) {
        return value && !value->empty() ? value : std::nullopt;
    };
    if (type_ == "aws") {
        settings.region = region_;
        for (const char* name : {constants::kAwsSecretVariable, constants::kAwsSessionTokenVariable}) {
            if (auto secret = from_env(name)) settings.secrets.push_back(*secret);
        }
        return settings;
    }
    if (type_ == "gemini") {
        settings.api_key = own_api_key();
        if (!settings.api_key) settings.api_key = from_env(constants::kGeminiKeyVariable);
        if (settings.api_key) settings.secrets.push_back(*settings.api_key);
        settings.model = gemini_model();
        settings.base_url = from_env(constants::kGeminiBaseUrlVariable).value_or("");
        return settings;
    }
    settings.app_id = given(app_id_) ? app_id_ : from_env(constants::kMathpixAppIdVariable);
    settings.app_key = given(app_key_) ? app_key_ : from_env(constants::kMathpixAppKeyVariable);
    if (settings.app_key) settings.secrets.push_back(*settings.app_key);
    settings.base_url =
        from_env(constants::kMathpixBaseUrlVariable).value_or(std::string(constants::kMathpixBaseUrl));
    return settings;
}

void check_reader(py::object self) { self.cast<ExtractorClient&>().check_reader(self); }

py::dict process_pdf(py::object self, py::object pdf_path, py::object page_numbers) {
    return self.cast<ExtractorClient&>().process_pdf(self, pdf_path, page_numbers);
}

}  // namespace tovrane::extractor_client
