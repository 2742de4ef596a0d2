// Opening PDFs, text layers, gray rendering, the pixel budget and PNG encoding.
#include "engine/ocr/errors.hpp"
#include "engine/ocr/pdf_document.hpp"
#include "engine/ocr/png.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

namespace tovrane::ocr {
namespace {

const std::string kSamples = TOVRANE_SAMPLES_DIR;
const std::string kData = TOVRANE_TEST_DATA_DIR;
const std::string kPaper = kSamples + "/social_class7/social_class7_paper";

struct OpenCase {
    std::string path;
    ErrorKind kind;
    std::string message;
};

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << std::filesystem::path(c.path).filename();
}

class OpenFails : public testing::TestWithParam<OpenCase> {};

TEST_P(OpenFails, WithKindAndMessage) {
    const auto& c = GetParam();
    testing::internal::CaptureStderr();
    try {
        PdfDocument::open(c.path);
        ADD_FAILURE() << "opened " << c.path;
    } catch (const OcrError& error) {
        EXPECT_EQ(error.kind(), c.kind);
        EXPECT_EQ(std::string(error.what()), c.message);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "poppler must not print";
}

INSTANTIATE_TEST_SUITE_P(
    HostileFiles, OpenFails,
    testing::Values(
        OpenCase{kData + "/missing.pdf", ErrorKind::file_not_found, "PDF file not found: " + kData + "/missing.pdf"},
        OpenCase{kData, ErrorKind::bad_input, "Cannot open PDF " + kData + ": not a regular file"},
        OpenCase{kSamples + "/hostile/empty.pdf", ErrorKind::bad_input,
                 "Cannot open PDF " + kSamples + "/hostile/empty.pdf: the file is empty"},
        OpenCase{kSamples + "/hostile/truncated.pdf", ErrorKind::bad_input,
                 "Cannot open PDF " + kSamples +
                     "/hostile/truncated.pdf: the file is damaged (Couldn't find trailer dictionary)"},
        OpenCase{kSamples + "/hostile/encrypted.pdf", ErrorKind::bad_input,
                 "Cannot open PDF " + kSamples + "/hostile/encrypted.pdf: the file is encrypted"},
        OpenCase{kData + "/not_a_pdf.pdf", ErrorKind::bad_input,
                 "Cannot open PDF " + kData + "/not_a_pdf.pdf: the file is not a PDF"},
        OpenCase{kData + "/bad_body.pdf", ErrorKind::bad_input,
                 "Cannot open PDF " + kData + "/bad_body.pdf: the file is damaged (Couldn't find trailer dictionary)"},
        OpenCase{kData + "/no_pages.pdf", ErrorKind::bad_input,
                 "Cannot open PDF " + kData + "/no_pages.pdf: the document has no pages"}));

TEST(PdfDocument, TextLayerKeepsLinesTogether) {
    const auto doc = PdfDocument::open(kPaper + ".digital.pdf");
    EXPECT_EQ(doc.page_count(), 2);
    const std::string text = doc.page_text(1);
    EXPECT_EQ(text.rfind("  KESTREL VALLEY PUBLIC SCHOOL, BHOPAL\n", 0), 0u) << text.substr(0, 80);
    // The question number and its text stay on one line, and so do a sub-part and its marks.
    EXPECT_NE(text.find("\nQ1. Name the blanket of air that surrounds the earth.\n"), std::string::npos);
    EXPECT_NE(text.find("\nQ5. (a) What is humidity?                                   [1 mark]\n"),
              std::string::npos);
    EXPECT_EQ(text.find(" \n"), std::string::npos) << "line ends are trimmed";
    EXPECT_NE(text.back(), '\n');
}

TEST(PdfDocument, ScanHasNoTextLayer) {
    const auto doc = PdfDocument::open(kPaper + ".scan150.pdf");
    EXPECT_EQ(doc.page_text(1), "");
}

TEST(PdfDocument, RendersGrayAtTheAskedResolution) {
    const auto doc = PdfDocument::open(kPaper + ".digital.pdf");
    const auto [w_pt, h_pt] = doc.page_size(1);
    EXPECT_NEAR(w_pt, 595.3, 0.1);
    EXPECT_NEAR(h_pt, 841.9, 0.1);
    const GrayImage image = doc.render_gray(1, 100);
    EXPECT_NEAR(image.width, w_pt * 100 / 72, 1.0);
    EXPECT_NEAR(image.height, h_pt * 100 / 72, 1.0);
    EXPECT_GE(image.stride, image.width);
    ASSERT_EQ(image.pixels.size(), static_cast<std::size_t>(image.stride) * image.height);
    std::size_t dark = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            dark += image.pixels[static_cast<std::size_t>(y) * image.stride + x] < 128;
        }
    }
    // Ink covers a few percent of a printed page, never nothing and never most of it.
    EXPECT_GT(dark, image.pixels.size() / 200);
    EXPECT_LT(dark, image.pixels.size() / 5);
}

TEST(FitResolution, KeepsPagesWithinBudget) {
    EXPECT_EQ(fit_resolution(595, 842, 150, kDefaultPixelBudget), 150);
    EXPECT_EQ(fit_resolution(595, 842, 600, kDefaultPixelBudget), 600);  // A4 at 600 dpi fits
    // The largest page PDF allows, 200 x 200 inches.
    const int dpi = fit_resolution(14400, 14400, 150, kDefaultPixelBudget);
    EXPECT_EQ(dpi, 30);
    // A long strip is limited by the longest side Tesseract accepts.
    const int strip = fit_resolution(14400, 72, 300, kDefaultPixelBudget);
    EXPECT_LE(std::ceil(200.0 * strip), kMaxImageSide);
    EXPECT_GT(std::ceil(200.0 * (strip + 1)), kMaxImageSide);
    EXPECT_EQ(fit_resolution(14400, 14400, 150, 1), 1);
    EXPECT_EQ(fit_resolution(0, 842, 150, kDefaultPixelBudget), 150);
}

TEST(Png, EncodesGrayImage) {
    GrayImage image;
    image.width = 3;
    image.height = 2;
    image.stride = 4;
    image.dpi = 150;
    image.pixels = {0, 128, 255, 99, 10, 20, 30, 99};
    const std::string png = encode_png(image);
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x03\0\0\0\x02", 8));
    EXPECT_EQ(png[24], 8);  // bit depth
    EXPECT_EQ(png[25], 0);  // gray
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
}

TEST(Png, RefusesEmptyImage) {
    EXPECT_THROW(encode_png(GrayImage{}), OcrError);
}

TEST(Base64, KnownVectors) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64_encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

}  // namespace
}  // namespace tovrane::ocr
