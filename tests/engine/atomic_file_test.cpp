#include "engine/io/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;
using tovrane::io::write_file_atomic;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("atomic_" + std::to_string(::getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

TEST_F(AtomicFileTest, ReplacesContentsAndLeavesNoTemporary) {
    auto target = dir_ / "out.json";
    write_file_atomic(target.string(), "first, longer contents");
    write_file_atomic(target.string(), "second");
    EXPECT_EQ(slurp(target), "second");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(AtomicFileTest, KeepsEmbeddedNulsAndUtf8) {
    auto target = dir_ / "out.txt";
    std::string data("a\0b \xe2\x9c\x85", 7);
    write_file_atomic(target.string(), data);
    EXPECT_EQ(slurp(target), data);
}

TEST_F(AtomicFileTest, FailedRenameLeavesNoTemporary) {
    // A folder in the target's place makes the final rename fail, even for root.
    auto target = dir_ / "out.txt";
    fs::create_directory(target);
    fs::create_directory(target / "keep");
    EXPECT_THROW(write_file_atomic(target.string(), "new"), std::system_error);
    EXPECT_TRUE(fs::is_directory(target / "keep"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(AtomicFileTest, MissingFolderIsAnErrorNamingThePath) {
    auto target = dir_ / "no" / "such" / "out.txt";
    try {
        write_file_atomic(target.string(), "x");
        FAIL() << "expected an error";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find(target.string()), std::string::npos);
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
}

TEST_F(AtomicFileTest, KeepsPermissionsOfTheReplacedFile) {
    auto target = dir_ / "out.txt";
    write_file_atomic(target.string(), "old");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    write_file_atomic(target.string(), "new");
    EXPECT_EQ(fs::status(target).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace
