// One open PDF file: page count, text layers and gray renderings (poppler).
#include "engine/ocr/pdf_document.hpp"

#include "engine/ocr/errors.hpp"
#include "engine/text/extractor_client_texts.hpp"

#include <fmt/format.h>
#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-global.h>
#include <poppler/cpp/poppler-image.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string_view>
#include <system_error>
#include <utility>

namespace tovrane::ocr {

namespace texts = tovrane::text::extractor_client;
using namespace fmt::literals;

namespace detail {

// Poppler reports syntax problems through one process-wide function that
// prints to stderr by default. We keep the first message of the current
// thread instead, to explain a damaged file in our own error.
thread_local std::string first_poppler_message;

void collect_poppler_message(const std::string& message, void*) {
    if (first_poppler_message.empty()) {
        // "poppler/error (offset): text" -> "text"
        const auto colon = message.find(": ");
        first_poppler_message = colon == std::string::npos ? message : message.substr(colon + 2);
    }
}

void silence_poppler() {
    static std::once_flag once;
    std::call_once(once, [] { poppler::set_debug_error_function(collect_poppler_message, nullptr); });
}

// Acrobat accepts the header anywhere in the first 1024 bytes; so do we.
bool has_pdf_header(std::string_view head) {
    return head.find("%PDF-") != std::string_view::npos;
}

template <const std::string_view& message>
[[noreturn]] void throw_error(ErrorKind kind, const std::string& path) {
    throw OcrError(kind, fmt::format(message, "path"_a = path));
}

// Checks what poppler cannot tell apart (missing, unreadable, empty, not a PDF).
void check_file(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        throw_error<texts::kFileNotFound>(ErrorKind::file_not_found, path);
    }
    if (ec) {
        throw OcrError(ErrorKind::bad_input, fmt::format(texts::kUnreadable, "path"_a = path, "reason"_a = ec.message()));
    }
    if (!std::filesystem::is_regular_file(status)) {
        throw_error<texts::kNotRegular>(ErrorKind::bad_input, path);
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int err = errno;
        if (err == EACCES || err == EPERM) {
            throw_error<texts::kPermissionDenied>(ErrorKind::permission_denied, path);
        }
        throw OcrError(ErrorKind::bad_input,
                       fmt::format(texts::kUnreadable, "path"_a = path, "reason"_a = std::strerror(err)));
    }
    char head[1024];
    in.read(head, sizeof head);
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0) {
        throw_error<texts::kEmptyFile>(ErrorKind::bad_input, path);
    }
    if (!has_pdf_header(std::string_view(head, got))) {
        throw_error<texts::kNotPdf>(ErrorKind::bad_input, path);
    }
}

// Drops the padding the physical layout leaves at line ends and the page's
// trailing blank lines and form feed.
std::string trim_lines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        const auto last = line.find_last_not_of(" \t\r\f\v");
        out.append(line.substr(0, last == std::string_view::npos ? 0 : last + 1));
        out += '\n';
        start = end + 1;
    }
    const auto last = out.find_last_not_of('\n');
    out.erase(last == std::string::npos ? 0 : last + 1);
    return out;
}

}  // namespace detail

int fit_resolution(double width_pt, double height_pt, int dpi, std::uint64_t pixel_budget) {
    if (!(width_pt > 0) || !(height_pt > 0)) {
        return dpi;
    }
    const double w_in = width_pt / 72.0;
    const double h_in = height_pt / 72.0;
    auto fits = [&](int d) {
        const double w = std::ceil(w_in * d);
        const double h = std::ceil(h_in * d);
        return w <= kMaxImageSide && h <= kMaxImageSide && w * h <= static_cast<double>(pixel_budget);
    };
    if (fits(dpi)) {
        return dpi;
    }
    const double by_area = std::sqrt(static_cast<double>(pixel_budget) / (w_in * h_in));
    const double by_side = kMaxImageSide / std::max(w_in, h_in);
    int fitted = std::max(1, static_cast<int>(std::floor(std::min({by_area, by_side, double(dpi)}))));
    while (fitted > 1 && !fits(fitted)) {  // ceil() may push the estimate one pixel over
        --fitted;
    }
    return fitted;
}

PdfDocument::PdfDocument(std::string path, std::unique_ptr<poppler::document> doc)
    : path_(std::move(path)), doc_(std::move(doc)) {}
PdfDocument::PdfDocument(PdfDocument&&) noexcept = default;
PdfDocument& PdfDocument::operator=(PdfDocument&&) noexcept = default;
PdfDocument::~PdfDocument() = default;

PdfDocument PdfDocument::open(const std::string& path) {
    detail::check_file(path);
    detail::silence_poppler();
    detail::first_poppler_message.clear();
    std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
    if (!doc) {
        const std::string why = std::exchange(detail::first_poppler_message, {});
        if (why.empty()) {
            detail::throw_error<texts::kDamaged>(ErrorKind::bad_input, path);
        }
        throw OcrError(ErrorKind::bad_input, fmt::format(texts::kDamagedBecause, "path"_a = path, "reason"_a = why));
    }
    detail::first_poppler_message.clear();
    if (doc->is_locked()) {
        detail::throw_error<texts::kEncrypted>(ErrorKind::bad_input, path);
    }
    if (doc->pages() <= 0) {
        detail::throw_error<texts::kNoPages>(ErrorKind::bad_input, path);
    }
    return PdfDocument(path, std::move(doc));
}

int PdfDocument::page_count() const {
    return doc_->pages();
}

std::string PdfDocument::page_text(int page) const {
    std::unique_ptr<poppler::page> p(doc_->create_page(page - 1));
    if (!p) {
        return {};
    }
    const poppler::byte_array utf8 = p->text(poppler::rectf(), poppler::page::physical_layout).to_utf8();
    return detail::trim_lines(std::string_view(utf8.data(), utf8.size()));
}

std::pair<double, double> PdfDocument::page_size(int page) const {
    std::unique_ptr<poppler::page> p(doc_->create_page(page - 1));
    if (!p) {
        return {0.0, 0.0};
    }
    const poppler::rectf box = p->page_rect(poppler::crop_box);
    return {box.width(), box.height()};
}

GrayImage PdfDocument::render_gray(int page, int dpi) const {
    std::unique_ptr<poppler::page> p(doc_->create_page(page - 1));
    if (!p) {
        throw OcrError(ErrorKind::failed, fmt::format(texts::kRenderFailed, "page"_a = page, "path"_a = path_));
    }
    poppler::page_renderer renderer;
    renderer.set_image_format(poppler::image::format_gray8);
    renderer.set_render_hint(poppler::page_renderer::antialiasing);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing);
    const poppler::image image = renderer.render_page(p.get(), dpi, dpi);
    if (!image.is_valid() || image.format() != poppler::image::format_gray8 || image.width() <= 0 ||
        image.height() <= 0) {
        throw OcrError(ErrorKind::failed, fmt::format(texts::kRenderFailed, "page"_a = page, "path"_a = path_));
    }
    GrayImage out;
    out.width = image.width();
    out.height = image.height();
    out.stride = image.bytes_per_row();
    out.dpi = dpi;
    const char* data = image.const_data();
    out.pixels.assign(data, data + static_cast<std::size_t>(out.stride) * out.height);
    return out;
}

}  // namespace tovrane::ocr
