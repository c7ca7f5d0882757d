// Regular-file checks and whole-file writes.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace vek::platform {

bool IsRegularFile(const char *name) {
    if (name == nullptr || *name == '\0') return false;
    struct stat info;
    return stat(name, &info) == 0 && S_ISREG(info.st_mode);
}

namespace {

#ifndef O_BINARY
constexpr int O_BINARY = 0;
#endif
#ifdef O_NONBLOCK
constexpr int kNoWait = O_NONBLOCK;
#else
constexpr int kNoWait = 0;  // opening a name never waits there
#endif
#ifndef O_CLOEXEC
constexpr int O_CLOEXEC = 0;
#endif

// A descriptor closed when it goes out of scope.
struct OpenFile {
    int fd;
    ~OpenFile() {
        if (fd >= 0) close(fd);
    }
};

bool ReadAll(int fd, std::vector<uint8_t> &bytes, size_t limit) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) > limit) return false;
    // The size is a first guess: a file that changes while it is read is
    // read to its end, or refused once past the limit.
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    for (;;) {
        if (done == bytes.size()) bytes.resize(done + std::max<size_t>(4096, done / 2));
        const auto n =
            read(fd, bytes.data() + done, static_cast<unsigned>(std::min<size_t>(bytes.size() - done, 1u << 30)));
        if (n < 0) return false;
        if (n == 0) break;
        done += static_cast<size_t>(n);
        if (done > limit) return false;
    }
    bytes.resize(done);
    return true;
}

}  // namespace

bool ReadRegularFile(const char *name, std::vector<uint8_t> &bytes, size_t limit) {
    bytes.clear();
    if (name == nullptr || *name == '\0') return false;
    const OpenFile file{open(name, O_RDONLY | O_BINARY | O_CLOEXEC | kNoWait)};
    if (file.fd >= 0 && ReadAll(file.fd, bytes, limit)) return true;
    bytes.clear();
    return false;
}

bool WriteWholeFile(const char *path, const void *data, size_t size) {
    if (path == nullptr || *path == '\0' || (data == nullptr && size != 0)) return false;
    // Only a new name or a regular file is written: the open of a FIFO would
    // wait for a reader.
    struct stat info;
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) return false;
    std::FILE *out = std::fopen(path, "wb");
    if (out == nullptr) return false;
    bool ok = size == 0 || std::fwrite(data, 1, size, out) == size;
    ok = std::fflush(out) == 0 && ok;
    ok = std::fclose(out) == 0 && ok;
    if (!ok) std::remove(path);
    return ok;
}

}  // namespace vek::platform
