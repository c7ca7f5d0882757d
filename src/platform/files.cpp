// Regular-file checks and whole-file writes.
#include "platform/files.h"

#include <sys/stat.h>

#include <cstdio>

namespace vek::platform {

bool IsRegularFile(const char *name) {
    if (name == nullptr || *name == '\0') return false;
    struct stat info;
    return stat(name, &info) == 0 && S_ISREG(info.st_mode);
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
