// Every input committed under tests/data/fuzz/<target>/ (crashes and slow
// inputs the fuzzers found, and seeds that reach deep) through the code the
// fuzz harness of that target runs: each must end cleanly.
#include "fuzz/targets.hpp"

#include "engine/ocr/errors.hpp"
#include "engine/ocr/page_extractor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace tovrane::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(TOVRANE_TEST_DATA_DIR) / "fuzz";

std::vector<fs::path> inputs(const char* target) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(kCorpus / target)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One test per target: a few hundred small files would otherwise be as many processes.
template <typename Target>
void replay(const char* target, Target run) {
    const auto files = inputs(target);
    EXPECT_GE(files.size(), 5u) << "the committed corpus of " << target << " is missing";
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const std::string bytes = read(file);
        ASSERT_FALSE(bytes.empty());
        EXPECT_NO_THROW(run(bytes));
    }
}

TEST(FuzzReplay, PdfInputsEndCleanly) {
    replay("pdf", pdf_input);
}

TEST(FuzzReplay, TextInputsKeepTheirPromises) {
    replay("text", text_input);
}

// What poppler makes of the hand-made hostile files of the corpus, beyond not crashing.

struct Rendered {
    int width = 0;
    int height = 0;
};

// Notes the size of every page it is given to read.
ocr::ReaderFactory measuring(std::vector<Rendered>& seen) {
    class Measuring : public ocr::PageReader {
    public:
        explicit Measuring(std::vector<Rendered>& seen) : seen_(seen) {}
        std::string read(int, const ocr::GrayImage& image) override {
            seen_.push_back({image.width, image.height});
            return "read";
        }

    private:
        std::vector<Rendered>& seen_;
    };
    return [&seen] { return std::make_unique<Measuring>(seen); };
}

TEST(HostilePdf, PageCountBeyondItsObjectsIsRefused) {
    // The page tree claims ten million pages in a file of four objects.
    const std::string path = (kCorpus / "pdf" / "page_count_beyond_objects.pdf").string();
    std::vector<Rendered> seen;
    try {
        ocr::extract_pages(path, {}, {}, measuring(seen));
        ADD_FAILURE() << "opened";
    } catch (const ocr::OcrError& error) {
        EXPECT_EQ(error.kind(), ocr::ErrorKind::bad_input);
        EXPECT_EQ(std::string(error.what()), "Cannot open PDF " + path + ": the document has no pages");
    }
    EXPECT_TRUE(seen.empty());
}

TEST(HostilePdf, OversizedPagesRenderWithinThePixelBudget) {
    // A 200-inch page scaled by /UserUnit 75000, and a media box of 1e300 points.
    for (const char* name : {"huge_user_unit.pdf", "media_box_1e300.pdf"}) {
        SCOPED_TRACE(name);
        std::vector<Rendered> seen;
        const auto pages = ocr::extract_pages((kCorpus / "pdf" / name).string(), {}, {}, measuring(seen));
        ASSERT_EQ(pages.size(), 1u);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_LE(std::uint64_t(seen[0].width) * seen[0].height, ocr::kDefaultPixelBudget);
        EXPECT_LE(std::max(seen[0].width, seen[0].height), ocr::kMaxImageSide);
    }
}

}  // namespace
}  // namespace tovrane::fuzz
