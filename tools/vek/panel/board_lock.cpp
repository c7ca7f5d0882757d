#include "panel/board_lock.hpp"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace vektool::panel {

namespace {

// Per user where the system gives a folder of its own, so another user's
// panel neither sees nor blocks it.
std::string lockPath(const std::string &key) {
    std::string name = "vek-panel-";
    for (char c : key) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    const std::filesystem::path dir =
        runtime && *runtime ? std::filesystem::path(runtime) : std::filesystem::temp_directory_path(ec);
    return (dir / (name + ".lock")).string();
}

}  // namespace

std::unique_ptr<BoardLock> BoardLock::take(const std::string &key, const std::string &owner, std::string &holder) {
    std::unique_ptr<BoardLock> lock(new BoardLock);
    lock->path_ = lockPath(key);
#ifdef _WIN32
    // No sharing: a second open fails while this handle lives.
    HANDLE h = CreateFileA(lock->path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::ifstream in(lock->path_);
        std::getline(in, holder);
        return nullptr;
    }
    DWORD written = 0;
    SetEndOfFile(h);
    WriteFile(h, owner.data(), static_cast<DWORD>(owner.size()), &written, nullptr);
    lock->file_ = h;
#else
    const int fd = ::open(lock->path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (fd >= 0) {
            char buf[256] = {};
            const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
            holder.assign(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
            ::close(fd);
        }
        return nullptr;
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, owner.data(), owner.size(), 0) < 0) {
        // The lock holds without the note; the refused panel just says less.
    }
    lock->fd_ = fd;
#endif
    return lock;
}

BoardLock::~BoardLock() {
#ifdef _WIN32
    CloseHandle(static_cast<HANDLE>(file_));
#else
    ::close(fd_);
#endif
}

}  // namespace vektool::panel
