// Directory search over a POSIX directory.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host_environment.h"
#include "platform/win32.h"

namespace {

namespace fs = std::filesystem;

struct Found {
    std::string name;
    DWORD attributes;
    uint64_t size;
    bool operator==(const Found &) const = default;
};

// The entries found, and the error of FindFirstFileA when it failed, else of the last FindNextFileA.
std::pair<std::vector<Found>, DWORD> List(const std::string &pattern) {
    std::vector<Found> entries;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return {entries, GetLastError()};
    do {
        entries.push_back(
            {data.cFileName, data.dwFileAttributes, (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow});
    } while (FindNextFileA(find, &data));
    const DWORD error = GetLastError();
    EXPECT_TRUE(FindClose(find));
    return {entries, error};
}

std::vector<std::string> Names(const std::string &pattern) {
    std::vector<std::string> names;
    for (const Found &f : List(pattern).first) names.push_back(f.name);
    return names;
}

class FindFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        // Created out of name order: the listing sorts them.
        std::ofstream(dir_ / "notes.txt") << "hello";
        std::ofstream(dir_ / "b.BMP") << std::string(1000, 'x');
        std::ofstream(dir_ / "a.png");
        fs::create_directory(dir_ / "sub");
        std::ofstream(dir_ / "sub/inner.bmp");
    }
    void TearDown() override { fs::remove_all(dir_); }

    const fs::path dir_ = vektest::MakeScratchDirectory("vek-find-");
    const std::string d_ = dir_.string();
};

constexpr DWORD kDir = FILE_ATTRIBUTE_DIRECTORY, kFile = FILE_ATTRIBUTE_NORMAL;

// Dot entries first, then by name; either separator, wildcards matched
// without regard to case (as on Windows); no separator: the current directory.
TEST_F(FindFileTest, ListsDotEntriesFirstThenByName) {
    const std::vector<Found> expected = {
        {".", kDir, 0},         {"..", kDir, 0},         {"a.png", kFile, 0},
        {"b.BMP", kFile, 1000}, {"notes.txt", kFile, 5}, {"sub", kDir, 0},
    };
    for (const std::string &pattern : {d_ + "/*", d_ + "\\*", d_ + "\\*.*"})
        EXPECT_EQ(List(pattern), std::pair(expected, DWORD{ERROR_NO_MORE_FILES})) << pattern;
    using Strings = std::vector<std::string>;
    EXPECT_EQ(Names(d_ + "\\*.bmp"), Strings{"b.BMP"});
    EXPECT_EQ(Names(d_ + "/sub\\*"), (Strings{".", "..", "inner.bmp"}));
    const fs::path previous = fs::current_path();
    fs::current_path(dir_ / "sub");
    const Strings names = Names("*");
    fs::current_path(previous);
    EXPECT_EQ(names, (Strings{".", "..", "inner.bmp"}));
}

TEST_F(FindFileTest, MissingDirectoryAndBadHandlesFail) {
    EXPECT_EQ(List(d_ + "/*.tif"), std::pair(std::vector<Found>{}, DWORD{ERROR_FILE_NOT_FOUND}));
    EXPECT_EQ(List(d_ + "/no-such-dir\\*"), std::pair(std::vector<Found>{}, DWORD{ERROR_PATH_NOT_FOUND}));
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((d_ + "/*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CloseHandle(find)) << "a search is closed with FindClose";
    EXPECT_TRUE(FindClose(find));
    EXPECT_FALSE(FindClose(find));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
