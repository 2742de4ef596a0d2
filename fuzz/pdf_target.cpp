// Any bytes as a PDF, through the extractor as the bindings call it.
#include "targets.hpp"

#include "engine/ocr/errors.hpp"
#include "engine/ocr/page_extractor.hpp"
#include "engine/ocr/png.hpp"
#include "engine/ocr/text_layer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <cstdint>
#include <string>
#include <vector>

namespace tovrane::fuzz {

namespace {

// Low enough to keep many inputs a second, high enough that every drawing
// operator still runs; a small pixel budget brings huge pages down to it too.
constexpr int kDpi = 36;
constexpr std::uint64_t kPixelBudget = 2'000'000;

void require(bool ok, const std::string& what) {
    if (!ok) {
        throw Broken(what);
    }
}

// Reads nothing: encodes the page as the vision-model reader does before its
// request, so hostile renderings go through the PNG and base64 code too.
class EncodingReader : public ocr::PageReader {
public:
    std::string read(int, const ocr::GrayImage& image) override {
        require(image.width > 0 && image.height > 0 && image.stride >= image.width, "rendering has no pixels");
        require(image.pixels.size() == static_cast<std::size_t>(image.stride) * image.height,
                "rendering smaller than its rows");
        const std::string png = ocr::encode_png(image);
        return std::to_string(ocr::base64_encode(png).size());
    }
};

// An in-memory file, reused for every input; the engine opens files by path.
const std::string& input_path() {
    static const std::string path = [] {
        const int fd = memfd_create("fuzz-input.pdf", 0);
        if (fd < 0) {
            throw std::runtime_error("memfd_create failed");
        }
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

void write_input(std::string_view bytes) {
    const std::string& path = input_path();
    const int fd = std::stoi(path.substr(path.rfind('/') + 1));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("cannot write the fuzz input");
    }
}

}  // namespace

void pdf_input(std::string_view bytes) {
    write_input(bytes);
    ocr::ExtractOptions options;
    options.dpi = kDpi;
    options.workers = 1;
    options.pixel_budget = kPixelBudget;
    std::vector<ocr::PageResult> pages;
    try {
        pages = ocr::extract_pages(input_path(), {}, options, [] { return std::make_unique<EncodingReader>(); });
    } catch (const ocr::OcrError& error) {
        require(*error.what() != '\0', "engine error without a message");
        return;
    }
    require(!pages.empty(), "a document without pages opened");
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const ocr::PageResult& page = pages[i];
        require(page.page == static_cast<int>(i) + 1, "pages out of order");
        switch (page.source) {
            case ocr::PageSource::text_layer:
                require(ocr::is_real_text(page.text), "a text layer taken that is not real text");
                break;
            case ocr::PageSource::reader:
                require(page.dpi >= 1 && page.dpi <= kDpi, "rendered above the asked resolution");
                break;
            case ocr::PageSource::blank:
                require(page.text.empty(), "a blank page with text");
                break;
        }
    }
}

}  // namespace tovrane::fuzz
