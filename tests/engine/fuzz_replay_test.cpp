// Every input committed under tests/data/fuzz/<target>/ (crashes and slow
// inputs the fuzzers found, and seeds that reach deep) through the code the
// fuzz harness of that target runs: each must end cleanly.
#include "fuzz/targets.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
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

}  // namespace
}  // namespace tovrane::fuzz
