// The stamping tool's files created new: never an existing file, and never
// through a link standing at the name, whether the link leads to a file or
// to nowhere yet.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tools/StampFiles.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class StampFiles : public testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("quellox-stamp-files-" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

}  // namespace

TEST_F(StampFiles, ALinkAtTheNameIsNeverWrittenThrough) {
    const stamp::Bytes bytes = {'M', 'Z', 1, 2, 3};
    const fs::path victim = folder_ / "victim.exe", nowhere = folder_ / "nowhere.exe";
    std::ofstream(victim) << "someone else's file";
    const struct {
        const char* Name;
        fs::path Target;
    } links[] = {{"to-a-file", victim}, {"to-nowhere", nowhere}};
    for (const auto& link : links) {
        SCOPED_TRACE(link.Name);
        const fs::path name = folder_ / (std::string(link.Name) + ".stamping");
        fs::create_symlink(link.Target, name);
        std::string why;
        EXPECT_FALSE(files::WriteNewAt(name.string(), bytes, why));
        EXPECT_EQ(why, "cannot be created: File exists");
        EXPECT_TRUE(fs::is_symlink(name));
    }
    EXPECT_EQ(Read(victim), "someone else's file");
    EXPECT_FALSE(fs::exists(nowhere));
    // A free name is written.
    std::string why;
    ASSERT_TRUE(files::WriteNewAt((folder_ / "free.exe").string(), bytes, why)) << why;
    EXPECT_EQ(Read(folder_ / "free.exe"), std::string("MZ\1\2\3"));
}
