// The text of selected PDF pages: each page's text layer when it is real text,
// else the page rendered in gray and read by a PageReader; pages in parallel.
#include "engine/ocr/page_extractor.hpp"

#include "engine/concurrency/worker_pool.hpp"
#include "engine/ocr/errors.hpp"
#include "engine/text/extractor_client_texts.hpp"
#include "engine/ocr/text_layer.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_set>

namespace tovrane::ocr {

namespace texts = tovrane::text::extractor_client;
using namespace fmt::literals;

namespace detail {

struct Worker {
    std::optional<PdfDocument> document;
    std::unique_ptr<PageReader> reader;
};

PageResult extract_page(const std::string& path, int page, const ExtractOptions& options, Worker& worker,
                        const ReaderFactory& make_reader) {
    if (!worker.document) {
        worker.document.emplace(PdfDocument::open(path));
    }
    const PdfDocument& document = *worker.document;
    PageResult result;
    result.page = page;
    if (options.use_text_layer) {
        std::string text = document.page_text(page);
        if (is_real_text(text)) {
            result.text = std::move(text);
            result.source = PageSource::text_layer;
            return result;
        }
    }
    const auto [width_pt, height_pt] = document.page_size(page);
    if (!(width_pt >= 1.0) || !(height_pt >= 1.0)) {
        return result;  // blank
    }
    const int dpi = fit_resolution(width_pt, height_pt, options.dpi, options.pixel_budget);
    const GrayImage image = document.render_gray(page, dpi);
    if (!worker.reader) {
        worker.reader = make_reader();
        worker.reader->watch(options.stopped);
    }
    result.text = worker.reader->read(page, image);
    result.source = PageSource::reader;
    result.dpi = dpi;
    return result;
}

}  // namespace detail

std::vector<int> resolve_pages(const std::vector<long long>& requested, int page_count, const std::string& path) {
    std::vector<int> pages;
    if (requested.empty()) {
        for (int page = 1; page <= page_count; ++page) {
            pages.push_back(page);
        }
        return pages;
    }
    std::unordered_set<long long> seen;
    for (const long long page : requested) {
        if (page < 1 || page > page_count) {
            throw OcrError(ErrorKind::bad_input,
                           fmt::format(texts::kPageOutOfRange, "page"_a = page, "path"_a = path, "count"_a = page_count,
                                       "pages"_a = page_count == 1 ? texts::kPage : texts::kPages));
        }
        if (seen.insert(page).second) {
            pages.push_back(static_cast<int>(page));
        }
    }
    return pages;
}

std::vector<PageResult> extract_pages(const std::string& path, const std::vector<long long>& requested,
                                      const ExtractOptions& options, const ReaderFactory& make_reader,
                                      const std::function<bool()>& interrupted) {
    PdfDocument first = PdfDocument::open(path);
    const std::vector<int> pages = resolve_pages(requested, first.page_count(), path);
    const std::size_t workers = std::clamp<std::size_t>(options.workers, 1, pages.size());
    // Poppler documents are not thread-safe: every worker opens its own.
    std::vector<detail::Worker> state(workers);
    state[0].document.emplace(std::move(first));
    std::vector<PageResult> results(pages.size());
    // Ctrl-C stops the pages being read too, not only those not yet started: OCR of one
    // page can take longer than a user waits.
    std::atomic<bool> stopped{false};
    ExtractOptions run_options = options;
    run_options.stopped = &stopped;
    concurrency::run_parallel(
        pages.size(), workers,
        [&](std::size_t index, std::size_t worker) {
            results[index] = detail::extract_page(path, pages[index], run_options, state[worker], make_reader);
        },
        interrupted, [&stopped] { stopped = true; });
    return results;
}

}  // namespace tovrane::ocr
