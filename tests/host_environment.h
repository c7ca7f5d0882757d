// What tests need of the host system, the same on every system they run on:
// environment variables and fresh scratch directories.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <system_error>

namespace vektest {

inline void SetEnvironment(const char *name, const char *value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

// A new, empty directory under the system's temporary folder, or an empty
// path if none could be made.
inline std::filesystem::path MakeScratchDirectory(const std::string &prefix) {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) return {};
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate = base / (prefix + std::to_string(entropy()));
        if (std::filesystem::create_directory(candidate, ec)) return candidate;
    }
    return {};
}

#if !defined(_WIN32)
}  // namespace vektest

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vektest {

// Names that are not regular files: a FIFO with no writer (its open waits for
// one), a directory, and a device node (reached through a symbolic link).
enum class NotRegular { Fifo, Directory, DeviceNode };
inline constexpr NotRegular kNotRegularKinds[] = {NotRegular::Fifo, NotRegular::Directory, NotRegular::DeviceNode};

inline const char *Describe(NotRegular kind) {
    return kind == NotRegular::Fifo ? "FIFO" : kind == NotRegular::Directory ? "directory" : "device node";
}

inline bool MakeNotRegular(NotRegular kind, const std::filesystem::path &path) {
    std::error_code ec;
    switch (kind) {
    case NotRegular::Fifo:
        return mkfifo(path.c_str(), 0600) == 0;
    case NotRegular::Directory:
        return std::filesystem::create_directory(path, ec);
    case NotRegular::DeviceNode:
        std::filesystem::create_symlink("/dev/zero", path, ec);
        return !ec;
    }
    return false;
}

// Runs call on another thread and returns its result. A call that opens the
// FIFO at `fifo` would wait for a writer for ever: when it has not returned
// after a generous while, `hung` is set and the FIFO is opened for writing
// (and closed) until the call returns.
template <typename Call>
auto ReturnsWithoutAWriter(const std::filesystem::path &fifo, Call call, bool &hung) {
    hung = false;
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        hung = true;
        do {
            const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) close(fd);
        } while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready);
    }
    return result.get();
}
#endif

}  // namespace vektest
