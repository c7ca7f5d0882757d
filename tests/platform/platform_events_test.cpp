// The platform layer's own events, waits, Sleep, the virtual clock, event
// pumps, the per-thread error code and the directory search.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host_environment.h"
#include "platform/clock.h"
#include "platform/device_registry.h"
#include "platform/win32.h"

namespace vek::platform {
namespace {

class EventsTest : public ::testing::Test {
protected:
    void TearDown() override { SetVirtualClock(false); }
};

// The name the bulk transfers share. A second creation's kind and state are
// ignored: it is the same object, until the last handle closes.
TEST_F(EventsTest, NamedEventsAreSharedWithinTheProcessUntilTheLastHandleCloses) {
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "CYUSB_INOUT");
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "CYUSB_INOUT");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_NE(first, second);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
    SetEvent(first);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(first));
    HANDLE third = CreateEventA(nullptr, TRUE, FALSE, "CYUSB_INOUT");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS) << "one handle still names it";
    EXPECT_EQ(WaitForSingleObject(third, 0), WAIT_OBJECT_0) << "still the manual-reset object";
    CloseHandle(second);
    CloseHandle(third);
    // Made again under the name, the event is fresh and of the kind now asked for.
    HANDLE again = CreateEventA(nullptr, FALSE, TRUE, "CYUSB_INOUT");
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_TIMEOUT) << "auto-reset now";
    CloseHandle(again);
}

// A wait on no event fails at once, also with no timeout (the endpoint's
// wait then falls back on the completion query).
TEST_F(EventsTest, WaitOnNoEventFails) {
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE handle : {HANDLE{}, INVALID_HANDLE_VALUE, closed}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

// A wait ends when another thread sets the event: an infinite one under
// either clock (only timed waits end early under the virtual one), and a
// long timed one on the real clock, which must not end with its first slice.
TEST_F(EventsTest, WaitEndsWhenAnotherThreadSetsTheEvent) {
    for (auto [virtualClock, timeout] : {std::pair{false, INFINITE}, {false, 60000u}, {true, INFINITE}}) {
        SCOPED_TRACE(::testing::Message() << virtualClock << " " << timeout);
        SetVirtualClock(virtualClock);
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        const uint64_t before = ClockMs();
        std::thread setter([event] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            SetEvent(event);
        });
        EXPECT_EQ(WaitForSingleObject(event, timeout), WAIT_OBJECT_0);
        setter.join();
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the auto-reset signal was consumed";
        EXPECT_TRUE(!virtualClock || ClockMs() == before) << "an infinite wait does not move virtual time";
        CloseHandle(event);
    }
}

TEST_F(EventsTest, LastErrorIsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD initialInThread = 1;
    std::thread([&] {
        initialInThread = GetLastError();
        SetLastError(ERROR_IO_PENDING);
    }).join();
    EXPECT_EQ(std::pair(initialInThread, GetLastError()), std::pair(0u, ERROR_ACCESS_DENIED));
}

std::vector<DWORD> pumpTimeouts;
HANDLE pumpEvent = nullptr;
size_t pumpSignalsOnCall = 0;  // 0: never

void TestPump(DWORD timeoutMs) {
    pumpTimeouts.push_back(timeoutMs);
    if (pumpSignalsOnCall != 0 && pumpTimeouts.size() == pumpSignalsOnCall) SetEvent(pumpEvent);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A wait gives the pumps slices of at most 100 ms, never past the end of its
// own timeout, and takes an event the last slice set. A poll, or a timed wait
// under the virtual clock, gives them one pass without waiting.
TEST_F(EventsTest, WaitCallsThePumpInSlicesUntilTheEventIsSetOrTheTimeoutEnds) {
    const struct {
        bool virtualClock;
        DWORD timeout;
        size_t signalOnCall;
        DWORD result;
        std::vector<DWORD> slices;  // empty: checked against the timeout only
        uint64_t advance;
    } cases[] = {
        {false, INFINITE, 3, WAIT_OBJECT_0, {100, 100, 100}, 0},
        {false, 30, 0, WAIT_TIMEOUT, {}, 0},
        {false, 0, 0, WAIT_TIMEOUT, {0}, 0},
        {false, 0, 1, WAIT_OBJECT_0, {0}, 0},
        {true, 500, 0, WAIT_TIMEOUT, {0}, 500},
        {true, 500, 1, WAIT_OBJECT_0, {0}, 0},
    };
    pumpEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    RegisterEventPump(TestPump);
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.virtualClock << " " << c.timeout << " " << c.signalOnCall);
        SetVirtualClock(c.virtualClock);
        pumpTimeouts.clear();
        pumpSignalsOnCall = c.signalOnCall;
        const uint64_t before = ClockMs();
        EXPECT_EQ(WaitForSingleObject(pumpEvent, c.timeout), c.result);
        EXPECT_TRUE(!c.virtualClock || ClockMs() - before == c.advance);
        EXPECT_TRUE(c.slices.empty() || pumpTimeouts == c.slices) << ::testing::PrintToString(pumpTimeouts);
        for (DWORD slice : pumpTimeouts) EXPECT_LE(slice, c.timeout) << "past the end of the wait";
    }
    UnregisterEventPump(TestPump);
    CloseHandle(pumpEvent);
}

HANDLE handleToCloseInPump = nullptr;

// The pump closes the only handle while the wait is under way; the wait
// must go on with a live object (the sanitizer build checks the memory).
TEST_F(EventsTest, HandleClosedDuringAWaitKeepsTheObjectAliveForTheWaiter) {
    SetVirtualClock(true);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    handleToCloseInPump = event;
    const auto closingPump = [](DWORD) {
        if (handleToCloseInPump != nullptr) CloseHandle(std::exchange(handleToCloseInPump, nullptr));
    };
    RegisterEventPump(closingPump);
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    UnregisterEventPump(closingPump);
    EXPECT_EQ(handleToCloseInPump, nullptr);
    EXPECT_FALSE(CloseHandle(event)) << "already closed";
}

namespace fs = std::filesystem;

using Found = std::tuple<std::string, DWORD, uint64_t>;  // name, attributes, size

// The entries found, and the error of FindFirstFileA when it failed, else of the last FindNextFileA.
std::pair<std::vector<Found>, DWORD> List(const std::string &pattern) {
    std::vector<Found> entries;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return {entries, GetLastError()};
    do {
        entries.emplace_back(data.cFileName, data.dwFileAttributes,
                             (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
    } while (FindNextFileA(find, &data));
    const DWORD error = GetLastError();
    EXPECT_TRUE(FindClose(find));
    return {entries, error};
}

constexpr DWORD kDir = FILE_ATTRIBUTE_DIRECTORY, kFile = FILE_ATTRIBUTE_NORMAL;

// Dot entries first, then by name; a backslash separates too, and wildcards
// match without regard to case (as on Windows). No separator, the current
// directory: batch_test. A missing directory and no match fail.
TEST(FindFileTest, ListsDotEntriesFirstThenByName) {
    const fs::path dir = vektest::MakeScratchDirectory("vek-find-");
    ASSERT_FALSE(dir.empty());
    const std::string d = dir.string();
    std::ofstream(dir / "notes.txt") << "hello";  // created out of name order: the listing sorts them
    std::ofstream(dir / "b.BMP") << std::string(1000, 'x');
    std::ofstream(dir / "a.png");
    fs::create_directory(dir / "sub");
    const std::vector<Found> all = {{".", kDir, 0},         {"..", kDir, 0},         {"a.png", kFile, 0},
                                    {"b.BMP", kFile, 1000}, {"notes.txt", kFile, 5}, {"sub", kDir, 0}};
    EXPECT_EQ(List(d + "/*"), std::pair(all, DWORD{ERROR_NO_MORE_FILES}));
    EXPECT_EQ(List(d + "\\*.bmp"), std::pair(std::vector<Found>{all[3]}, DWORD{ERROR_NO_MORE_FILES}));
    EXPECT_EQ(List(d + "/*.tif"), std::pair(std::vector<Found>{}, DWORD{ERROR_FILE_NOT_FOUND}));
    EXPECT_EQ(List(d + "/no-such-dir\\*"), std::pair(std::vector<Found>{}, DWORD{ERROR_PATH_NOT_FOUND}));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vek::platform
