// Events, waits, Sleep, the virtual clock, event pumps and the per-thread
// error code.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/device_registry.h"
#include "platform/win32.h"

namespace vek::platform {
namespace {

class EventsTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetVirtualClock(false);
        SetSleepObserver(nullptr);
    }
};

TEST_F(EventsTest, ResetKindsAndInitialStates) {
    const struct {
        BOOL manualReset, initialState;
        DWORD firstWait, secondWait;
    } cases[] = {
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "manual " << c.manualReset << ", set " << c.initialState);
        HANDLE event = CreateEventA(nullptr, c.manualReset, c.initialState, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.firstWait);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.secondWait);
        EXPECT_TRUE(SetEvent(event) && ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "reset clears the signal";
        EXPECT_TRUE(CloseHandle(event));
    }
}

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

TEST_F(EventsTest, UnknownAndClosedHandlesFail) {
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    constexpr GUID kSomeClass = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    HDEVINFO set = SetupDiGetClassDevsA(&kSomeClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    for (HANDLE handle : {HANDLE{}, INVALID_HANDLE_VALUE, closed, reinterpret_cast<HANDLE>(0x12345), set}) {
        SCOPED_TRACE(reinterpret_cast<uintptr_t>(handle));
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_FAILED);
        EXPECT_FALSE(SetEvent(handle) || ResetEvent(handle) || CloseHandle(handle));
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
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

std::vector<uint32_t> observedPauses;

TEST_F(EventsTest, VirtualClockAdvancesByEachPauseAndTimeout) {
    SetVirtualClock(true);
    observedPauses.clear();
    SetSleepObserver([](uint32_t milliseconds) { observedPauses.push_back(milliseconds); });
    const std::vector<uint32_t> pauses = {100, 200, 500, 1000, 2000, 0};
    uint64_t expected = ClockMs();
    for (uint32_t pause : pauses) {
        Sleep(pause);
        EXPECT_EQ(ClockMs(), expected += pause);
    }
    EXPECT_EQ(observedPauses, pauses);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_TIMEOUT);
    EXPECT_EQ(ClockMs(), expected + 2000) << "a wait that times out moves time by its whole timeout";
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(ClockMs(), expected + 2000) << "a satisfied wait takes no time";
    EXPECT_EQ(observedPauses.size(), pauses.size()) << "waits are not pauses";
    CloseHandle(event);
    AdvanceClock(5);
    EXPECT_EQ(ClockMs(), expected + 2005);
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

// --- event pumps ---

std::vector<DWORD> pumpTimeouts;
HANDLE pumpEvent = nullptr;
size_t pumpSignalsOnCall = 0;  // 0: never

void TestPump(DWORD timeoutMs) {
    pumpTimeouts.push_back(timeoutMs);
    if (pumpSignalsOnCall != 0 && pumpTimeouts.size() == pumpSignalsOnCall) SetEvent(pumpEvent);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class PumpTest : public EventsTest {
protected:
    void SetUp() override {
        pumpEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        RegisterEventPump(TestPump);
    }
    void TearDown() override {
        UnregisterEventPump(TestPump);
        CloseHandle(pumpEvent);
        EventsTest::TearDown();
    }
};

// A wait gives the pumps slices of at most 100 ms, never past the end of its
// own timeout, and takes an event the last slice set. A poll, or a timed wait
// under the virtual clock, gives them one pass without waiting.
TEST_F(PumpTest, WaitCallsThePumpInSlicesUntilTheEventIsSetOrTheTimeoutEnds) {
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
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.virtualClock << " " << c.timeout << " " << c.signalOnCall);
        SetVirtualClock(c.virtualClock);
        pumpTimeouts.clear();
        pumpSignalsOnCall = c.signalOnCall;
        const uint64_t before = ClockMs();
        EXPECT_EQ(WaitForSingleObject(pumpEvent, c.timeout), c.result);
        if (c.virtualClock) {
            EXPECT_EQ(ClockMs() - before, c.advance);
        }
        if (!c.slices.empty()) {
            EXPECT_EQ(pumpTimeouts, c.slices);
        }
        for (DWORD slice : pumpTimeouts) EXPECT_LE(slice, c.timeout) << "past the end of the wait";
    }
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

}  // namespace
}  // namespace vek::platform
