// Directory search over a POSIX directory.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace {

namespace fs = std::filesystem;

struct Found {
    std::string name;
    DWORD attributes;
    uint64_t size;
    bool operator==(const Found &) const = default;
};

struct Listing {
    bool opened = false;
    DWORD error = 0;  // of FindFirstFileA when it failed, else of the last FindNextFileA
    std::vector<Found> entries;
};

Listing List(const std::string &pattern) {
    Listing listing;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        listing.error = GetLastError();
        return listing;
    }
    listing.opened = true;
    do {
        listing.entries.push_back(
            {data.cFileName, data.dwFileAttributes, (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow});
    } while (FindNextFileA(find, &data));
    listing.error = GetLastError();
    EXPECT_TRUE(FindClose(find));
    return listing;
}

std::vector<std::string> Names(const Listing &listing) {
    std::vector<std::string> names;
    for (const Found &f : listing.entries) names.push_back(f.name);
    return names;
}
using Strings = std::vector<std::string>;

class FindFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "vek-find-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        // Created out of name order: the listing sorts them.
        std::ofstream(dir_ + "/notes.txt") << "hello";
        std::ofstream(dir_ + "/b.BMP") << std::string(1000, 'x');
        std::ofstream(dir_ + "/a.png");
        fs::create_directory(dir_ + "/sub");
        std::ofstream(dir_ + "/sub/inner.bmp");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string dir_;
};

constexpr DWORD kDir = FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD kFile = FILE_ATTRIBUTE_NORMAL;

TEST_F(FindFileTest, ListsDotEntriesFirstThenByNameWithEitherSeparator) {
    const std::vector<Found> expected = {
        {".", kDir, 0},         {"..", kDir, 0},         {"a.png", kFile, 0},
        {"b.BMP", kFile, 1000}, {"notes.txt", kFile, 5}, {"sub", kDir, 0},
    };
    for (const std::string &pattern : {dir_ + "/*", dir_ + "\\*", dir_ + "\\*.*"}) {
        SCOPED_TRACE(pattern);
        Listing listing = List(pattern);
        ASSERT_TRUE(listing.opened);
        EXPECT_EQ(listing.entries, expected);
        EXPECT_EQ(listing.error, ERROR_NO_MORE_FILES);
    }
}

TEST_F(FindFileTest, WildcardsAndSeparatorsInsideTheDirectory) {
    EXPECT_EQ(Names(List(dir_ + "\\*.bmp")), Strings{"b.BMP"}) << "case is ignored, as on Windows";
    EXPECT_EQ(Names(List(dir_ + "/sub\\*")), (Strings{".", "..", "inner.bmp"}));
    const fs::path previous = fs::current_path();  // no separator: the current directory
    fs::current_path(dir_ + "/sub");
    const Strings names = Names(List("*"));
    fs::current_path(previous);
    EXPECT_EQ(names, (Strings{".", "..", "inner.bmp"}));
}

TEST_F(FindFileTest, MissingDirectoryAndBadHandlesFail) {
    for (const auto &[pattern, error] : {std::pair{dir_ + "/*.tif", ERROR_FILE_NOT_FOUND},
                                         std::pair{dir_ + "/no-such-dir\\*", ERROR_PATH_NOT_FOUND}}) {
        const Listing none = List(pattern);
        EXPECT_FALSE(none.opened);
        EXPECT_EQ(none.error, error) << pattern;
    }

    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir_ + "/*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CloseHandle(find)) << "a search is closed with FindClose";
    EXPECT_TRUE(FindClose(find));
    EXPECT_FALSE(FindClose(find));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
