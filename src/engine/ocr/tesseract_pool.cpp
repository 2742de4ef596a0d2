// Tesseract instances, created once per worker and reused across pages and calls.
#include "engine/ocr/tesseract_pool.hpp"

#include "engine/concurrency/worker_pool.hpp"
#include "engine/ocr/errors.hpp"
#include "engine/text/extractor_client_texts.hpp"

#include <fmt/format.h>
#include <fmt/format.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>

#include <algorithm>
#include <atomic>
#include <dlfcn.h>

namespace tovrane::ocr {

namespace texts = tovrane::text::extractor_client;
using namespace fmt::literals;

namespace detail {

std::vector<std::string> split_languages(const std::string& languages) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= languages.size()) {
        const auto end = std::min(languages.find('+', start), languages.size());
        out.push_back(languages.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// "eng", "chi_sim" or "script/Devanagari": no dots, so no way out of tessdata.
bool is_language_name(const std::string& name) {
    const auto slash = name.find('/');
    const std::string head = slash == std::string::npos ? name : name.substr(0, slash);
    const std::string tail = slash == std::string::npos ? "x" : name.substr(slash + 1);
    auto valid = [](const std::string& part) { return !part.empty() && std::all_of(part.begin(), part.end(), is_name_char); };
    return valid(head) && valid(tail);
}

std::string trim_right(const char* text) {
    std::string out(text);
    const auto end = out.find_last_not_of(" \t\r\n\f\v");
    out.erase(end == std::string::npos ? 0 : end + 1);
    return out;
}

using SetLevels = void (*)(int);

SetLevels find_omp_set_max_active_levels() {
    // Only look at a libgomp that is already loaded (by Tesseract): without it
    // there are no OpenMP threads to limit.
    void* gomp = dlopen("libgomp.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (gomp == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<SetLevels>(dlsym(gomp, "omp_set_max_active_levels"));
}

}  // namespace detail

void check_language_list(const std::string& languages) {
    const auto names = detail::split_languages(languages);
    if (!std::all_of(names.begin(), names.end(), detail::is_language_name)) {
        throw OcrError(ErrorKind::bad_input, fmt::format(texts::kInvalidLanguages, "languages"_a = languages));
    }
}

void limit_openmp_to_one_thread() {
    static const detail::SetLevels set_levels = detail::find_omp_set_max_active_levels();
    // libgomp keeps this setting per thread: the host's own OpenMP work is untouched.
    if (set_levels != nullptr) {
        set_levels(0);
    }
}

class TesseractPool::Reader : public PageReader {
public:
    Reader(std::shared_ptr<TesseractPool> pool, std::unique_ptr<tesseract::TessBaseAPI> api)
        : pool_(std::move(pool)), api_(std::move(api)) {}
    ~Reader() override { pool_->give_back(std::move(api_)); }

    void watch(const std::atomic<bool>* stopped) override { stopped_ = stopped; }

    std::string read(int page, const GrayImage& image) override {
        limit_openmp_to_one_thread();
        api_->SetImage(image.pixels.data(), image.width, image.height, 1, image.stride);
        api_->SetSourceResolution(image.dpi);
        if (stopped_ != nullptr) {
            // Tesseract asks its monitor between words; recognition then ends early.
            tesseract::ETEXT_DESC monitor;
            monitor.cancel = [](void* flag, int) { return static_cast<const std::atomic<bool>*>(flag)->load(); };
            monitor.cancel_this = const_cast<std::atomic<bool>*>(stopped_);
            api_->Recognize(&monitor);
            if (stopped_->load()) {
                api_->Clear();
                throw concurrency::Interrupted();
            }
        }
        std::unique_ptr<char[]> text(api_->GetUTF8Text());
        api_->Clear();
        if (!text) {
            throw OcrError(ErrorKind::failed, fmt::format(texts::kTesseractFailed, "page"_a = page));
        }
        return detail::trim_right(text.get());
    }

private:
    std::shared_ptr<TesseractPool> pool_;
    std::unique_ptr<tesseract::TessBaseAPI> api_;
    const std::atomic<bool>* stopped_ = nullptr;
};

std::shared_ptr<TesseractPool> TesseractPool::create(TesseractSettings settings) {
    check_language_list(settings.languages);
    return std::shared_ptr<TesseractPool>(new TesseractPool(std::move(settings)));
}

TesseractPool::TesseractPool(TesseractSettings settings) : settings_(std::move(settings)) {}
TesseractPool::~TesseractPool() = default;

std::unique_ptr<PageReader> TesseractPool::reader() {
    return std::make_unique<Reader>(shared_from_this(), take());
}

void TesseractPool::give_back(std::unique_ptr<tesseract::TessBaseAPI> api) {
    const std::lock_guard lock(mutex_);
    idle_.push_back(std::move(api));
}

std::unique_ptr<tesseract::TessBaseAPI> TesseractPool::take() {
    {
        const std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            auto api = std::move(idle_.back());
            idle_.pop_back();
            return api;
        }
    }
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    // Tesseract's diagnostics go to stderr unless sent elsewhere (a global setting).
    api->SetVariable("debug_file", "/dev/null");
    const char* data_dir = settings_.data_dir.empty() ? nullptr : settings_.data_dir.c_str();
    const int status = api->Init(data_dir, settings_.languages.c_str(), tesseract::OEM_DEFAULT);

    std::vector<std::string> available;
    std::vector<std::string> loaded;
    api->GetAvailableLanguagesAsVector(&available);
    if (status == 0) {
        api->GetLoadedLanguagesAsVector(&loaded);
    }
    const char* folder = api->GetDatapath();
    const std::string where = folder != nullptr && *folder != '\0' ? folder : settings_.data_dir;
    bool all_loaded = status == 0;
    for (const auto& name : detail::split_languages(settings_.languages)) {
        const bool is_loaded = std::find(loaded.begin(), loaded.end(), name) != loaded.end();
        const bool is_available = std::find(available.begin(), available.end(), name) != available.end();
        if (!is_loaded && !is_available) {
            throw OcrError(ErrorKind::bad_input,
                           fmt::format(texts::kLanguageMissing, "language"_a = name,
                                       "installed"_a = available.empty()
                                                           ? std::string(texts::kNoneInstalled)
                                                           : fmt::format("{}", fmt::join(available, texts::kListSeparator)),
                                       "folder"_a = where));
        }
        all_loaded = all_loaded && is_loaded;
    }
    if (!all_loaded) {
        throw OcrError(ErrorKind::failed,
                       fmt::format(texts::kTesseractInitFailed, "languages"_a = settings_.languages, "folder"_a = where));
    }
    api->SetPageSegMode(tesseract::PSM_SINGLE_COLUMN);
    // Lines read with low confidence (most handwriting) are otherwise read a
    // second time inverted, for white text on dark ground, which exam pages do
    // not use: 7% of the time on the sample scans, no change in their text.
    api->SetVariable("tessedit_do_invert", "0");
    return api;
}

}  // namespace tovrane::ocr
