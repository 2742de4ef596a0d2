// What turns a rendered page into text: Tesseract here, a vision model in the binding.
#pragma once

#include "engine/ocr/pdf_document.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace tovrane::ocr {

/// Reads the text of rendered pages. One reader serves one worker thread at a
/// time and is reused for that worker's pages.
class PageReader {
public:
    virtual ~PageReader() = default;
    /// Text of 1-based `page`, rendered as `image`.
    virtual std::string read(int page, const GrayImage& image) = 0;
    /// A flag that turns true when the run was interrupted: a reader that can stop in the
    /// middle of a page then throws concurrency::Interrupted. Others need not look at it.
    virtual void watch(const std::atomic<bool>* /*stopped*/) {}
};

/// Makes a reader; called on a worker thread, at most once per worker and only
/// when that worker has a page to read.
using ReaderFactory = std::function<std::unique_ptr<PageReader>()>;

}  // namespace tovrane::ocr
