// Python module tovrane_core.ocr_extractor.extractor_client: ExtractorClient, the
// page texts of a PDF from its text layers, local OCR or a vision model.
#include "common/pyutil.hpp"
#include "common/threads.hpp"

#include "engine/ocr/errors.hpp"
#include "engine/ocr/extractor_types.hpp"
#include "engine/ocr/page_extractor.hpp"
#include "engine/ocr/png.hpp"
#include "engine/ocr/tesseract_pool.hpp"

#include <fmt/core.h>
#include <pybind11/stl.h>

#include <climits>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace tovrane::extractor {

namespace texts {

inline constexpr const char* unknown_type = R"(Unknown extractor type {}; accepted types: {})";
inline constexpr const char* not_available =
    R"(The '{}' extractor is not available in this build; use 'local' (Tesseract on this machine) or 'openai' (an OpenAI vision model) instead)";
inline constexpr const char* bad_dpi = R"(dpi must be a positive integer, got {})";
inline constexpr const char* bad_max_workers = R"(max_workers must be an integer from 1 to 1024 or None, got {})";
inline constexpr const char* not_text = R"({} must be a string or None, not {})";
inline constexpr const char* region_not_text = R"(region must be a string, not {})";
inline constexpr const char* bad_page_list = R"(page_numbers must be a list of page numbers or None, not {})";
inline constexpr const char* bad_page_number = R"(page numbers must be integers, not {})";
inline constexpr const char* resolution_lowered =
    R"([ExtractorClient] Page {} of {} is too large to render at {} dpi; read it at {} dpi instead)";
inline constexpr const char* openai_key_missing =
    R"(The 'openai' extractor needs an OpenAI API key: pass api_key or set OPENAI_API_KEY)";
inline constexpr const char* openai_failed = R"(OpenAI OCR of page {} failed: {})";
inline constexpr const char* openai_no_text = R"(OpenAI OCR of page {} returned no text)";

inline constexpr const char* openai_instruction =
    R"(Transcribe all text on this scanned exam page exactly as it is written, line by line from top to bottom, including question numbers, marks, labels and handwritten answers. Keep the original language, spelling and line breaks. Write mathematics, formulas and units as plain text (for example x^2 + 3x = 10, H2O, 70°C, 2×3=6). Do not correct, summarise, explain or format anything. If the page has no text, answer with nothing.)";

inline constexpr const char* class_doc = R"(Extracts the text of PDF pages through one of several back ends.

ExtractorClient(*, extractor_type="aws", region="us-east-1", api_key=None, app_id=None,
                app_key=None, ocr_languages=None, max_workers=None, use_text_layer=None)

Back ends: "local" (Tesseract on this machine), "openai" (a vision model through the
official openai client), and "aws", "gemini", "mathpix", which this build does not
include. Every back end first takes a page's own text layer when it is real text: valid
UTF-8 without U+FFFD and with at least 40 printable, non-space characters; its text is
NFKC-normalised. Other pages are rendered in 8-bit gray at the set resolution (lowered,
with a notice, for pages beyond 36 million pixels) and read by the back end, up to
max_workers pages at a time (default: the number of cores).

Environment (read at each call): TOVRANE_OCR_LANG, the Tesseract languages when
ocr_languages is None (default "eng"; "hin+eng" for Hindi papers); TESSDATA_PREFIX,
Tesseract's data folder; TOVRANE_OCR_MODEL, the vision model (default
"gpt-5-mini-2025-08-07"); OPENAI_API_KEY when api_key is None; OPENAI_BASE_URL as the
openai client reads it; TOVRANE_OCR_TEXT_LAYER=0 (or false, no, off) ignores text layers
when use_text_layer is None.)";

inline constexpr const char* recommend_doc = R"(The back end recommended for a subject.

Deterministic, offline and never failing: TOVRANE_EXTRACTOR when it names a known type
(case and surrounding spaces ignored); otherwise "mathpix" for mathematics and the
natural sciences (a word such as math, algebra, physics, chemistry, biology, science,
गणित or विज्ञान, and no "social" or "political") when MATHPIX_APP_ID and
MATHPIX_APP_KEY are set, "aws" for any other subject when AWS_ACCESS_KEY_ID and
AWS_SECRET_ACCESS_KEY are set; then "gemini" when GEMINI_API_KEY is set; then "openai"
when OPENAI_API_KEY is set; else "local". Empty variables count as unset.)";

inline constexpr const char* process_doc = R"(Returns {page number: text} for the selected pages.

All pages in ascending order when page_numbers is None or empty, else the requested
pages in the requested order, each once. Raises FileNotFoundError for a missing file,
ValueError for a file that is not a readable PDF (empty, damaged, encrypted, no pages),
a page out of range or a missing OCR language, RuntimeError when a back end fails.
Blocks, with the GIL released; Ctrl-C stops it between pages.)";

inline constexpr const char* default_model = "gpt-5-mini-2025-08-07";
inline constexpr const char* default_languages = "eng";

// Environment variables, read through os.environ.
inline constexpr const char* env_override = "TOVRANE_EXTRACTOR";
inline constexpr const char* env_languages = "TOVRANE_OCR_LANG";
inline constexpr const char* env_model = "TOVRANE_OCR_MODEL";
inline constexpr const char* env_text_layer = "TOVRANE_OCR_TEXT_LAYER";
inline constexpr const char* env_tessdata = "TESSDATA_PREFIX";
inline constexpr const char* env_openai_key = "OPENAI_API_KEY";

}  // namespace texts

namespace detail {

std::optional<std::string> env(const char* name) {
    py::object value = py_util::module_attr("os", "environ").attr("get")(name);
    if (value.is_none()) {
        return std::nullopt;
    }
    return value.cast<std::string>();
}

bool env_set(const char* name) {
    const auto value = env(name);
    return value && !value->empty();
}

bool is_plain_int(py::handle value) {
    return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
}

std::string type_name(py::handle value) {
    return py_util::str(py::type::handle_of(value).attr("__name__"));
}

std::string checked_type(py::handle value) {
    if (!py::isinstance<py::str>(value) || !ocr::is_extractor_type(value.cast<std::string>())) {
        throw py::value_error(fmt::format(fmt::runtime(texts::unknown_type), py_util::str(py::repr(value)),
                                          ocr::extractor_type_list()));
    }
    return value.cast<std::string>();
}

std::optional<std::string> optional_text(const char* name, py::handle value) {
    if (value.is_none()) {
        return std::nullopt;
    }
    if (!py::isinstance<py::str>(value)) {
        throw py::type_error(fmt::format(fmt::runtime(texts::not_text), name, type_name(value)));
    }
    return value.cast<std::string>();
}

std::optional<std::size_t> optional_workers(py::handle value) {
    if (value.is_none()) {
        return std::nullopt;
    }
    if (!is_plain_int(value) || value.cast<py::int_>() < py::int_(1) || value.cast<py::int_>() > py::int_(1024)) {
        throw py::value_error(fmt::format(fmt::runtime(texts::bad_max_workers), py_util::str(py::repr(value))));
    }
    return value.cast<std::size_t>();
}

std::vector<long long> page_list(py::handle pages) {
    std::vector<long long> out;
    if (pages.is_none()) {
        return out;
    }
    if (!py::isinstance<py::list>(pages) && !py::isinstance<py::tuple>(pages)) {
        throw py::type_error(fmt::format(fmt::runtime(texts::bad_page_list), type_name(pages)));
    }
    for (py::handle page : pages) {
        if (!is_plain_int(page)) {
            throw py::type_error(fmt::format(fmt::runtime(texts::bad_page_number), type_name(page)));
        }
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
    const auto value = env(texts::env_text_layer);
    if (!value) {
        return true;
    }
    const std::string lowered = py_util::str(py::str(*value).attr("strip")().attr("lower")());
    return !(lowered == "0" || lowered == "false" || lowered == "no" || lowered == "off");
}

std::string nfkc(const std::string& text) {
    return py_util::module_attr("unicodedata", "normalize")("NFKC", text).cast<std::string>();
}

PyObject* python_type(ocr::ErrorKind kind) {
    switch (kind) {
        case ocr::ErrorKind::file_not_found:
            return PyExc_FileNotFoundError;
        case ocr::ErrorKind::permission_denied:
            return PyExc_PermissionError;
        case ocr::ErrorKind::bad_input:
            return PyExc_ValueError;
        case ocr::ErrorKind::failed:
            break;
    }
    return PyExc_RuntimeError;
}

[[noreturn]] void raise_engine_error(const ocr::OcrError& error) {
    // Messages carry file names as the file system spells them: decode them as os.fsdecode does.
    py::object message = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(error.what()));
    if (!message) {
        throw py::error_already_set();
    }
    PyErr_SetObject(python_type(error.kind()), message.ptr());
    throw py::error_already_set();
}

// The client's OpenAI client, created at first use and kept as the instance
// attribute `_openai_client`, where hosts and tests may put their own.
py::object openai_client(py::handle owner, const std::optional<std::string>& api_key) {
    py::object client = py::getattr(owner, "_openai_client", py::none());
    if (!client.is_none()) {
        return client;
    }
    std::optional<std::string> key = api_key && !api_key->empty() ? api_key : env(texts::env_openai_key);
    if (!key || key->empty()) {
        throw std::runtime_error(texts::openai_key_missing);
    }
    client = py_util::module_attr("openai", "OpenAI")(py::arg("api_key") = *key);
    py::object raced = py::getattr(owner, "_openai_client", py::none());
    if (!raced.is_none()) {
        return raced;
    }
    py::setattr(owner, "_openai_client", client);
    return client;
}

py::list openai_messages(const std::string& image_url) {
    py::dict text;
    text["type"] = "text";
    text["text"] = texts::openai_instruction;
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

// Sends each rendered page as a PNG to the chat-completions endpoint. Runs on
// an engine worker thread and holds the GIL only while it calls the client
// (the client's HTTP waits release it).
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
            if (!py_util::is_ordinary(error)) {
                throw;
            }
            py::raise_from(error, PyExc_RuntimeError,
                           fmt::format(fmt::runtime(texts::openai_failed), page, py_util::error_text(error)).c_str());
            throw py::error_already_set();
        }
        if (content.is_none()) {
            throw std::runtime_error(fmt::format(fmt::runtime(texts::openai_no_text), page));
        }
        return content.cast<std::string>();
    }

private:
    py::handle owner_;  // the ExtractorClient, alive for the whole call
    std::optional<std::string> api_key_;
    std::string model_;
};

}  // namespace detail

class ExtractorClient {
public:
    ExtractorClient(py::handle extractor_type, py::handle region, py::handle api_key, py::handle app_id,
                    py::handle app_key, py::handle ocr_languages, py::handle max_workers, py::handle use_text_layer)
        : type_(detail::checked_type(extractor_type)),
          api_key_(detail::optional_text("api_key", api_key)),
          app_id_(detail::optional_text("app_id", app_id)),
          app_key_(detail::optional_text("app_key", app_key)),
          languages_(detail::optional_text("ocr_languages", ocr_languages)),
          max_workers_(detail::optional_workers(max_workers)) {
        if (!py::isinstance<py::str>(region)) {
            throw py::type_error(fmt::format(fmt::runtime(texts::region_not_text), detail::type_name(region)));
        }
        region_ = region.cast<std::string>();
        if (languages_) {
            check_languages(*languages_);
        }
        if (!use_text_layer.is_none()) {
            use_text_layer_ = py::bool_(py::reinterpret_borrow<py::object>(use_text_layer)).cast<bool>();
        }
    }

    const std::string& extractor_type() const { return type_; }
    const std::string& region() const { return region_; }
    int dpi() const { return dpi_; }
    const std::optional<std::string>& ocr_languages() const { return languages_; }
    const std::optional<std::size_t>& max_workers() const { return max_workers_; }

    void set_dpi(py::handle dpi) {
        if (!detail::is_plain_int(dpi) || dpi.cast<py::int_>() < py::int_(1) ||
            dpi.cast<py::int_>() > py::int_(INT_MAX)) {
            throw py::value_error(fmt::format(fmt::runtime(texts::bad_dpi), py_util::str(py::repr(dpi))));
        }
        dpi_ = dpi.cast<int>();
    }

    void change_extractor(py::handle extractor_type) { type_ = detail::checked_type(extractor_type); }

    static std::string recommended_for_subject(py::handle subject) {
        const std::string text = subject.is_none() ? std::string() : py_util::str(subject);
        ocr::Credentials found;
        found.mathpix = detail::env_set("MATHPIX_APP_ID") && detail::env_set("MATHPIX_APP_KEY");
        found.aws = detail::env_set("AWS_ACCESS_KEY_ID") && detail::env_set("AWS_SECRET_ACCESS_KEY");
        found.gemini = detail::env_set("GEMINI_API_KEY");
        found.openai = detail::env_set(texts::env_openai_key);
        return ocr::recommend_extractor(text, detail::env(texts::env_override).value_or(""), found);
    }

    py::dict process_pdf(py::handle self, py::handle pdf_path, py::handle page_numbers) {
        // The engine opens the file by its bytes; messages show it as os.fsdecode does.
        const std::string path = py_util::module_attr("os", "fsencode")(pdf_path).cast<std::string>();
        const std::vector<long long> requested = detail::page_list(page_numbers);
        if (type_ != "local" && type_ != "openai") {
            throw std::runtime_error(fmt::format(fmt::runtime(texts::not_available), type_));
        }
        ocr::ExtractOptions options;
        options.dpi = dpi_;
        options.use_text_layer = use_text_layer_.value_or(detail::text_layer_from_env());
        options.workers = max_workers_.value_or(detail::core_count());
        const ocr::ReaderFactory make_reader = type_ == "local" ? local_reader() : openai_reader(self);
        py_util::SignalWatch signals;

        std::vector<ocr::PageResult> pages;
        try {
            py::gil_scoped_release release;
            pages = ocr::extract_pages(path, requested, options, make_reader, signals.check());
        } catch (const concurrency::Interrupted&) {
            std::rethrow_exception(signals.interruption());
        } catch (const ocr::OcrError& error) {
            detail::raise_engine_error(error);
        }
        return page_texts(pages, path, options.dpi);
    }

    std::string repr() const {
        return fmt::format("ExtractorClient(extractor_type={}, region={}, dpi={})", py_util::str(py::repr(py::str(type_))),
                           py_util::str(py::repr(py::str(region_))), dpi_);
    }

private:
    static void check_languages(const std::string& languages) {
        try {
            ocr::check_language_list(languages);
        } catch (const ocr::OcrError& error) {
            detail::raise_engine_error(error);
        }
    }

    ocr::ReaderFactory local_reader() {
        ocr::TesseractSettings settings;
        settings.languages = languages_.value_or(detail::env(texts::env_languages).value_or(texts::default_languages));
        settings.data_dir = detail::env(texts::env_tessdata).value_or("");
        check_languages(settings.languages);
        std::shared_ptr<ocr::TesseractPool> pool;
        {
            const std::lock_guard lock(pool_mutex_);
            if (!pool_ || !(pool_->settings() == settings)) {
                pool_ = ocr::TesseractPool::create(settings);
            }
            pool = pool_;
        }
        return [pool] { return pool->reader(); };
    }

    ocr::ReaderFactory openai_reader(py::handle self) {
        std::string model = detail::env(texts::env_model).value_or("");
        if (model.empty()) {
            model = texts::default_model;
        }
        return [self, key = api_key_, model] { return std::make_unique<detail::OpenAiReader>(self, key, model); };
    }

    static py::dict page_texts(const std::vector<ocr::PageResult>& pages, const std::string& path, int dpi) {
        py::dict out;
        for (const auto& page : pages) {
            if (page.source == ocr::PageSource::reader && page.dpi < dpi) {
                const std::string shown = py_util::str(py_util::module_attr("os", "fsdecode")(py::bytes(path)));
                py_util::print_line(fmt::format(fmt::runtime(texts::resolution_lowered), page.page, shown, dpi, page.dpi));
            }
            // Text layers spell ligatures and compatibility forms as single characters (U+FB01 for "fi").
            out[py::int_(page.page)] = page.source == ocr::PageSource::text_layer ? detail::nfkc(page.text) : page.text;
        }
        return out;
    }

    std::string type_;
    std::string region_;
    std::optional<std::string> api_key_;
    std::optional<std::string> app_id_;
    std::optional<std::string> app_key_;
    std::optional<std::string> languages_;
    std::optional<std::size_t> max_workers_;
    std::optional<bool> use_text_layer_;
    int dpi_ = 150;
    std::mutex pool_mutex_;
    std::shared_ptr<ocr::TesseractPool> pool_;
};

namespace detail {

std::unique_ptr<ExtractorClient> make_client(py::handle extractor_type, py::handle region, py::handle api_key,
                                             py::handle app_id, py::handle app_key, py::handle ocr_languages,
                                             py::handle max_workers, py::handle use_text_layer) {
    return std::make_unique<ExtractorClient>(extractor_type, region, api_key, app_id, app_key, ocr_languages,
                                             max_workers, use_text_layer);
}

py::dict process_pdf(py::object self, py::object pdf_path, py::object page_numbers) {
    return self.cast<ExtractorClient&>().process_pdf(self, pdf_path, page_numbers);
}

py::tuple extractor_types() {
    py::list types;
    for (const auto type : ocr::kExtractorTypes) {
        types.append(py::str(type.data(), type.size()));
    }
    return py::tuple(types);
}

}  // namespace detail

}  // namespace tovrane::extractor

PYBIND11_MODULE(extractor_client, m) {
    using tovrane::extractor::ExtractorClient;
    namespace detail = tovrane::extractor::detail;
    m.doc() = "Page texts of PDF files: text layers, local OCR (Tesseract) or an OpenAI vision model.";

    namespace texts = tovrane::extractor::texts;
    py::class_<ExtractorClient>(m, "ExtractorClient", py::dynamic_attr(), texts::class_doc)
        .def(py::init(&detail::make_client), py::kw_only(), py::arg("extractor_type") = "aws",
             py::arg("region") = "us-east-1", py::arg("api_key") = py::none(), py::arg("app_id") = py::none(),
             py::arg("app_key") = py::none(), py::arg("ocr_languages") = py::none(),
             py::arg("max_workers") = py::none(), py::arg("use_text_layer") = py::none())
        .def_property_readonly("extractor_type", &ExtractorClient::extractor_type)
        .def_property_readonly("region", &ExtractorClient::region)
        .def_property_readonly("dpi", &ExtractorClient::dpi)
        .def_property_readonly("ocr_languages", &ExtractorClient::ocr_languages)
        .def_property_readonly("max_workers", &ExtractorClient::max_workers)
        .def("set_dpi", &ExtractorClient::set_dpi, py::arg("dpi"), "Sets the rendering resolution (dots per inch).")
        .def("change_extractor", &ExtractorClient::change_extractor, py::arg("extractor_type"),
             "Switches this client to another back end.")
        .def_static("get_recommended_extractor_for_subject", &ExtractorClient::recommended_for_subject,
                    py::arg("subject"), texts::recommend_doc)
        .def("process_pdf", &detail::process_pdf, py::arg("pdf_path"), py::arg("page_numbers") = py::none(),
             texts::process_doc)
        .def("__repr__", &ExtractorClient::repr);
    m.attr("ExtractorClient").attr("EXTRACTOR_TYPES") = detail::extractor_types();
}
