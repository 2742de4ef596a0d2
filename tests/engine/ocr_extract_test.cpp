// Page selection, text layer versus reading per page, parallel workers, Tesseract.
#include "engine/concurrency/worker_pool.hpp"
#include "engine/ocr/errors.hpp"
#include "engine/ocr/page_extractor.hpp"
#include "engine/ocr/tesseract_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

namespace tovrane::ocr {
namespace {

using concurrency::Interrupted;
using concurrency::run_parallel;

const std::string kSamples = TOVRANE_SAMPLES_DIR;
const std::string kData = TOVRANE_TEST_DATA_DIR;

std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const OcrError& error) {
        return error.what();
    }
    return "no error";
}

TEST(ResolvePages, AllInOrderWhenNoneRequested) {
    EXPECT_EQ(resolve_pages({}, 3, "a.pdf"), (std::vector<int>{1, 2, 3}));
}

TEST(ResolvePages, RequestedOrderWithoutRepeats) {
    EXPECT_EQ(resolve_pages({3, 1, 3, 2, 1}, 3, "a.pdf"), (std::vector<int>{3, 1, 2}));
}

TEST(ResolvePages, OutOfRangeNamesPageAndCount) {
    EXPECT_EQ(error_of([] { resolve_pages({1, 4}, 3, "a.pdf"); }), "Page 4 is out of range: a.pdf has 3 pages");
    EXPECT_EQ(error_of([] { resolve_pages({0}, 1, "b.pdf"); }), "Page 0 is out of range: b.pdf has 1 page");
    EXPECT_EQ(error_of([] { resolve_pages({-2}, 5, "c.pdf"); }), "Page -2 is out of range: c.pdf has 5 pages");
}

// Records what it was asked to read and answers with a description of it.
class FakeReader : public PageReader {
public:
    explicit FakeReader(std::atomic<int>* made) { ++*made; }
    std::string read(int page, const GrayImage& image) override {
        return "read " + std::to_string(page) + " at " + std::to_string(image.dpi) + " dpi, " +
               std::to_string(image.width) + "x" + std::to_string(image.height);
    }
};

struct Fake {
    std::atomic<int> made{0};
    ReaderFactory factory() {
        return [this] { return std::make_unique<FakeReader>(&made); };
    }
};

TEST(ExtractPages, TextLayerOrReaderPerPage) {
    Fake fake;
    ExtractOptions options;
    options.workers = 2;
    const auto pages = extract_pages(kData + "/mixed.pdf", {}, options, fake.factory());
    ASSERT_EQ(pages.size(), 4u);
    // Page 1: born-digital; 2: scan; 3: Devanagari text layer full of U+FFFD; 4: only a footer.
    EXPECT_EQ(pages[0].source, PageSource::text_layer);
    EXPECT_NE(pages[0].text.find("KESTREL VALLEY PUBLIC SCHOOL"), std::string::npos);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(pages[i].page, i + 1);
        EXPECT_EQ(pages[i].source, PageSource::reader);
        EXPECT_EQ(pages[i].text.rfind("read " + std::to_string(i + 1) + " at 150 dpi, ", 0), 0u) << pages[i].text;
    }
    EXPECT_LE(fake.made, 2);
}

TEST(ExtractPages, TextLayerSwitchedOff) {
    Fake fake;
    ExtractOptions options;
    options.use_text_layer = false;
    options.dpi = 72;
    const auto pages = extract_pages(kData + "/invisible_text.pdf", {}, options, fake.factory());
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].source, PageSource::reader);
    EXPECT_EQ(pages[0].text, "read 1 at 72 dpi, 595x842");
    options.use_text_layer = true;
    const auto layered = extract_pages(kData + "/invisible_text.pdf", {}, options, fake.factory());
    EXPECT_EQ(layered[0].text, "This sentence is only in the text layer of the page, not in its picture.");
}

TEST(ExtractPages, TwoHundredTextPagesNeverMakeAReader) {
    Fake fake;
    ExtractOptions options;
    options.workers = 2;
    const auto pages = extract_pages(kData + "/many_pages.pdf", {}, options, fake.factory());
    ASSERT_EQ(pages.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(pages[i].page, i + 1);
        ASSERT_EQ(pages[i].text.rfind("Page " + std::to_string(i + 1) + ": the quick brown fox", 0), 0u);
    }
    EXPECT_EQ(fake.made, 0);
}

TEST(ExtractPages, HugePageRendersWithinBudget) {
    Fake fake;
    const auto pages = extract_pages(kData + "/huge_page.pdf", {}, ExtractOptions{}, fake.factory());
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].dpi, 30);
    EXPECT_EQ(pages[0].text, "read 1 at 30 dpi, 6000x6000");
}

TEST(ExtractPages, ReaderErrorReachesCaller) {
    class Failing : public PageReader {
    public:
        std::string read(int page, const GrayImage&) override {
            throw OcrError(ErrorKind::failed, "cannot read page " + std::to_string(page));
        }
    };
    const ReaderFactory failing = [] { return std::make_unique<Failing>(); };
    EXPECT_EQ(error_of([&] {
                  extract_pages(kSamples + "/social_class7/social_class7_paper.scan150.pdf", {2}, ExtractOptions{},
                                failing);
              }),
              "cannot read page 2");
}

TEST(RunParallel, EveryTaskOnceWithinWorkerBound) {
    std::mutex mutex;
    std::multiset<std::size_t> done;
    std::set<std::size_t> workers;
    run_parallel(50, 3, [&](std::size_t index, std::size_t worker) {
        const std::lock_guard lock(mutex);
        done.insert(index);
        workers.insert(worker);
    });
    ASSERT_EQ(done.size(), 50u);
    for (std::size_t i = 0; i < 50; ++i) {
        EXPECT_EQ(done.count(i), 1u);
    }
    EXPECT_LE(*workers.rbegin(), 2u);
}

TEST(RunParallel, FirstFailureStopsTheRest) {
    std::atomic<int> started{0};
    EXPECT_THROW(run_parallel(1000, 2,
                              [&](std::size_t index, std::size_t) {
                                  ++started;
                                  if (index == 3) {
                                      throw std::invalid_argument("task 3");
                                  }
                                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
                              }),
                 std::invalid_argument);
    EXPECT_LT(started, 100);
}

TEST(RunParallel, InterruptionStopsAndThrows) {
    std::atomic<int> started{0};
    int checks = 0;
    EXPECT_THROW(run_parallel(
                     1000, 2,
                     [&](std::size_t, std::size_t) {
                         ++started;
                         std::this_thread::sleep_for(std::chrono::milliseconds(20));
                     },
                     [&] { return ++checks >= 2; }),
                 Interrupted);
    EXPECT_LT(started, 1000);
}

TEST(Tesseract, ReadsARenderedPage) {
    auto pool = TesseractPool::create({"", "eng"});
    const auto doc = PdfDocument::open(kData + "/footer_only.pdf");
    const GrayImage image = doc.render_gray(1, 150);
    EXPECT_EQ(pool->reader()->read(1, image), "Page 4 of 4");
    // The instance went back to the pool and serves the next reader.
    EXPECT_EQ(pool->reader()->read(1, image), "Page 4 of 4");
}

TEST(Tesseract, MissingLanguageNamesInstalledOnes) {
    auto pool = TesseractPool::create({"", "eng+xyz"});
    testing::internal::CaptureStderr();
    const std::string message = error_of([&] { pool->reader(); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(message.rfind("OCR language 'xyz' is not installed (installed: ", 0), 0u) << message;
    EXPECT_NE(message.find("eng"), std::string::npos);
}

TEST(Tesseract, LanguageListSyntax) {
    for (const auto good : {"eng", "hin+eng", "chi_sim", "script/Devanagari"}) {
        EXPECT_NO_THROW(check_language_list(good)) << good;
    }
    for (const auto bad : {"", "eng+", "../eng", "eng hin", "script/../x", "/eng"}) {
        EXPECT_EQ(error_of([&] { check_language_list(bad); }),
                  std::string("Invalid OCR languages '") + bad +
                      "': expected Tesseract language names joined by '+', such as 'eng' or 'hin+eng'")
            << bad;
    }
}

}  // namespace
}  // namespace tovrane::ocr
