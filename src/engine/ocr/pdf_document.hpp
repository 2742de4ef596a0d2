// One open PDF file: page count, text layers and gray renderings (poppler).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace poppler {
class document;
}

namespace tovrane::ocr {

/// An 8-bit gray page image, rows `stride` bytes apart.
struct GrayImage {
    int width = 0;
    int height = 0;
    int stride = 0;
    int dpi = 0;
    std::vector<unsigned char> pixels;
};

/// Largest page rendering, in pixels: a 600 dpi A4 page fits (34.8 million).
/// One gray page costs that many bytes and Tesseract keeps a few copies of it.
inline constexpr std::uint64_t kDefaultPixelBudget = 36'000'000;
/// Tesseract and leptonica refuse images wider or taller than this.
inline constexpr int kMaxImageSide = 32'000;

/// The resolution at which a page of `width_pt` x `height_pt` points renders
/// within `pixel_budget` pixels and kMaxImageSide on each side: `dpi` itself when
/// it fits, else the largest resolution that does (at least 1).
int fit_resolution(double width_pt, double height_pt, int dpi, std::uint64_t pixel_budget);

class PdfDocument {
public:
    /// Opens `path`. Throws OcrError: file_not_found when it names nothing,
    /// permission_denied, bad_input for an empty, non-PDF, damaged or encrypted
    /// file or a document without pages. Never writes to stderr.
    static PdfDocument open(const std::string& path);

    PdfDocument(PdfDocument&&) noexcept;
    PdfDocument& operator=(PdfDocument&&) noexcept;
    ~PdfDocument();

    int page_count() const;

    /// The page's text layer, UTF-8, laid out as on the page (a question number,
    /// its text and its marks stay on one line), without trailing whitespace.
    /// `page` is 1-based.
    std::string page_text(int page) const;

    /// Page size in points (crop box), {width, height}.
    std::pair<double, double> page_size(int page) const;

    /// Renders the page in 8-bit gray at `dpi` (already fitted to the budget).
    GrayImage render_gray(int page, int dpi) const;

    const std::string& path() const { return path_; }

private:
    PdfDocument(std::string path, std::unique_ptr<poppler::document> doc);

    std::string path_;
    std::unique_ptr<poppler::document> doc_;
};

}  // namespace tovrane::ocr
