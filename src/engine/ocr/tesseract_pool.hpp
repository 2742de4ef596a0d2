// Tesseract instances, created once per worker and reused across pages and calls.
#pragma once

#include "engine/ocr/page_reader.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tesseract {
class TessBaseAPI;
}

namespace tovrane::ocr {

struct TesseractSettings {
    std::string data_dir;   ///< tessdata folder; empty for Tesseract's own default
    std::string languages;  ///< "eng", "hin+eng", ...
    bool operator==(const TesseractSettings&) const = default;
};

/// Throws OcrError(bad_input) unless `languages` is a '+'-joined list of
/// Tesseract language names ("eng", "chi_sim", "script/Devanagari").
void check_language_list(const std::string& languages);

/// Limits the OpenMP parallel regions inside Tesseract to one thread for the
/// calling thread only. Pages run in parallel on our own threads; Tesseract's
/// own threads on top of them halve the throughput of a 2-core machine.
/// Debian's Tesseract uses libgomp, which reads OMP_THREAD_LIMIT once, when it
/// is loaded with our module, so the environment variable cannot serve.
void limit_openmp_to_one_thread();

/// A pool of initialised Tesseract instances, each in page-segmentation mode 4
/// (one column of text of variable sizes: the question number, its text and its
/// marks stay on one line). Thread-safe.
class TesseractPool : public std::enable_shared_from_this<TesseractPool> {
public:
    static std::shared_ptr<TesseractPool> create(TesseractSettings settings);
    ~TesseractPool();

    const TesseractSettings& settings() const { return settings_; }

    /// A reader holding an idle instance, or a new one; the instance returns to
    /// the pool when the reader is destroyed. Throws OcrError: bad_input naming
    /// a language that is not installed, failed when Tesseract cannot start.
    std::unique_ptr<PageReader> reader();

private:
    explicit TesseractPool(TesseractSettings settings);
    std::unique_ptr<tesseract::TessBaseAPI> take();
    void give_back(std::unique_ptr<tesseract::TessBaseAPI> api);

    class Reader;

    TesseractSettings settings_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<tesseract::TessBaseAPI>> idle_;
};

}  // namespace tovrane::ocr
