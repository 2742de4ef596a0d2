// The text of selected PDF pages: each page's text layer when it is real text,
// else the page rendered in gray and read by a PageReader; pages in parallel.
#pragma once

#include <atomic>

#include "engine/constants.hpp"
#include "engine/ocr/page_reader.hpp"
#include "engine/ocr/pdf_document.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tovrane::ocr {

struct ExtractOptions {
    int dpi = constants::kDpi;                      ///< rendering resolution
    bool use_text_layer = true;                     ///< take real text layers instead of reading the page
    std::size_t workers = 1;                        ///< pages worked on at once
    std::uint64_t pixel_budget = kDefaultPixelBudget;  ///< largest rendering, in pixels
    const std::atomic<bool>* stopped = nullptr;  ///< set by extract_pages: readers watch it
};

enum class PageSource {
    text_layer,  ///< the page's own text layer
    reader,      ///< rendered and read by the PageReader
    blank,       ///< a page without area: nothing to read
};

struct PageResult {
    int page = 0;  ///< 1-based
    std::string text;
    PageSource source = PageSource::blank;
    int dpi = 0;  ///< resolution of the rendering read, lower than asked when the page was too large
};

/// The 1-based pages to extract: every page in order when `requested` is empty,
/// else the requested ones in the requested order without repeats. Throws
/// OcrError(bad_input) naming the first page outside 1..page_count.
std::vector<int> resolve_pages(const std::vector<long long>& requested, int page_count, const std::string& path);

/// Extracts the `requested` pages of `path` (see resolve_pages) on up to
/// `options.workers` threads, each with its own document and reader; results
/// follow the resolved page order. Memory stays bounded by one rendering per
/// worker. Throws OcrError for bad files, pages and reader failures, and
/// concurrency::Interrupted when `interrupted` asks to stop (see run_parallel).
std::vector<PageResult> extract_pages(const std::string& path, const std::vector<long long>& requested,
                                      const ExtractOptions& options, const ReaderFactory& make_reader,
                                      const std::function<bool()>& interrupted = {});

}  // namespace tovrane::ocr
