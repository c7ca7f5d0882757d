// Shared by the fuzz targets: process set-up for targets that drive the
// virtual board, and a reader that turns the fuzz input into values.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "vek_sim.h"

namespace vekfuzz {

// Only virtual boards (no search for real ones), the virtual clock (pauses
// and the 2000 ms transfer waits cost nothing), and standard output silenced
// (the trigger extension call prints a banner).
inline void UseVirtualBoardsOnly() {
    setenv("VEK_NO_LIBUSB", "1", 1);
    VekSimSetVirtualClock(1);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

// Detaches every board and switches the trace off: a run keeps no state from
// the run before it.
inline void FreshBoards() {
    VekSimDetachAll();
    VekSimTraceEnable(0);
}

// Fails the run: libFuzzer reports it as a crash with the input that caused
// it. The text goes where the sanitizers report, which stays open when
// libFuzzer silences the target's own output (-close_fd_mask).
[[noreturn]] inline void Finding(const char *what) {
    __sanitizer_report_error_summary(what);
    std::abort();
}

// A work directory of the process's own under /tmp, made at the first call
// and removed with what it holds when the process ends.
inline const std::string &WorkDirectory(const char *name) {
    static std::string dir;
    if (dir.empty()) {
        std::string pattern = std::string("/tmp/vek-") + name + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) Finding("no work directory");
        dir = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        });
    }
    return dir;
}

#define VEK_FUZZ_STR2(x) #x
#define VEK_FUZZ_STR(x) VEK_FUZZ_STR2(x)
#define VEK_FUZZ_CHECK(cond)                                                                 \
    do {                                                                                     \
        if (!(cond)) ::vekfuzz::Finding(#cond " (" __FILE__ ":" VEK_FUZZ_STR(__LINE__) ")"); \
    } while (0)

}  // namespace vekfuzz
