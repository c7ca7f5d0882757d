// Directory search over a POSIX directory.

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/internal.h"
#include "platform/win32.h"

namespace vek::platform::detail {
namespace {

struct FoundEntry {
    std::string name;
    bool directory = false;
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
};

// The entries of one search, taken when it starts.
class FindSearch final : public Object {
public:
    explicit FindSearch(std::vector<FoundEntry> entries)
        : Object(ObjectKind::FindSearch), entries(std::move(entries)) {}
    const std::vector<FoundEntry> entries;
    size_t next = 0;  // used by one thread at a time, as a search handle is
};

// "*" and "*.*" match every name, as on Windows; other wildcards go through
// fnmatch, ignoring case where the C library can.
bool Matches(const std::string &wildcard, const std::string &name) {
    if (wildcard == "*" || wildcard == "*.*") return true;
    int flags = 0;
#ifdef FNM_CASEFOLD
    flags |= FNM_CASEFOLD;
#endif
    return fnmatch(wildcard.c_str(), name.c_str(), flags) == 0;
}

FoundEntry Describe(const std::string &directory, const std::string &name) {
    FoundEntry entry;
    entry.name = name;
    struct stat info {};
    if (stat((directory + "/" + name).c_str(), &info) == 0) {
        entry.directory = S_ISDIR(info.st_mode);
        entry.size = entry.directory ? 0 : static_cast<uint64_t>(info.st_size);
        entry.modifiedSeconds = static_cast<int64_t>(info.st_mtime);
    }
    return entry;
}

FILETIME ToFileTime(int64_t unixSeconds) {
    // 100 ns ticks since 1601-01-01.
    const uint64_t ticks = static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

void Fill(const FoundEntry &entry, WIN32_FIND_DATAA *data) {
    std::memset(data, 0, sizeof(*data));
    data->dwFileAttributes = entry.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    data->ftLastWriteTime = ToFileTime(entry.modifiedSeconds);
    data->ftCreationTime = data->ftLastWriteTime;
    data->ftLastAccessTime = data->ftLastWriteTime;
    data->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(entry.size);
    const size_t length = std::min(entry.name.size(), static_cast<size_t>(MAX_PATH - 1));
    std::memcpy(data->cFileName, entry.name.data(), length);
    data->cFileName[length] = '\0';
}

}  // namespace
}  // namespace vek::platform::detail

using vek::platform::detail::FindSearch;
using vek::platform::detail::FoundEntry;
using vek::platform::detail::ObjectKind;

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA findData) {
    using namespace vek::platform::detail;
    if (pattern == nullptr || findData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Split at the last separator: the directory before it, the wildcard
    // after it. Both separators are accepted anywhere in the directory part.
    const std::string text(pattern);
    const size_t sep = text.find_last_of("\\/");
    const bool hasSeparator = sep != std::string::npos;
    std::string directory = hasSeparator ? text.substr(0, sep) : std::string(".");
    std::replace(directory.begin(), directory.end(), '\\', '/');
    if (directory.empty()) directory.push_back('/');
    const std::string wildcard = hasSeparator ? text.substr(sep + 1) : text;
    if (wildcard.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr) {
        SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name(entry->d_name);
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    names.insert(names.begin(), {".", ".."});

    std::vector<FoundEntry> entries;
    for (const std::string &name : names) {
        if (Matches(wildcard, name)) entries.push_back(Describe(directory, name));
    }
    if (entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_shared<FindSearch>(std::move(entries));
    Fill(search->entries[0], findData);
    search->next = 1;
    HANDLE handle = InsertHandle(std::move(search));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA findData) {
    auto search = vek::platform::detail::Lookup<FindSearch>(find, ObjectKind::FindSearch);
    if (!search) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (findData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (search->next >= search->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    vek::platform::detail::Fill(search->entries[search->next++], findData);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    if (!vek::platform::detail::RemoveHandle(find, ObjectKind::FindSearch)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
