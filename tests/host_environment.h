// What tests need of the host system, the same on every system they run on:
// environment variables and fresh scratch directories.
#pragma once

#include <cstdlib>
#include <filesystem>
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

}  // namespace vektest
