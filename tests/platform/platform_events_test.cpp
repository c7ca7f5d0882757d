// Events, waits, Sleep, the virtual clock, event pumps and the per-thread
// error code.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/device_registry.h"
#include "platform/win32.h"

namespace vek::platform {
namespace {

constexpr GUID kSomeClass = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};

class EventsTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetVirtualClock(false);
        SetSleepObserver(nullptr);
    }
};

TEST_F(EventsTest, ResetKindsAndInitialStates) {
    const struct {
        const char *name;
        BOOL manualReset, initialState;
        DWORD firstWait, secondWait;
    } cases[] = {
        {"manual, set", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {"auto, set", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {"manual, clear", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {"auto, clear", FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE event = CreateEventA(nullptr, c.manualReset, c.initialState, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.firstWait);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.secondWait);

        EXPECT_TRUE(SetEvent(event) && ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "reset clears the signal";
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST_F(EventsTest, NamedEventsAreSharedWithinTheProcessUntilTheLastHandleCloses) {
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "platform-test-shared");
    EXPECT_EQ(GetLastError(), 0u);
    // The second creation's kind and state are ignored: it is the same object.
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "platform-test-shared");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_NE(first, second);

    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
    SetEvent(first);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0) << "still the manual-reset object";

    EXPECT_TRUE(CloseHandle(first));
    HANDLE third = CreateEventA(nullptr, TRUE, FALSE, "platform-test-shared");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS) << "one handle still names it";
    EXPECT_EQ(WaitForSingleObject(third, 0), WAIT_OBJECT_0);
    CloseHandle(second);
    CloseHandle(third);

    HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, "platform-test-shared");
    EXPECT_EQ(std::pair(GetLastError(), WaitForSingleObject(fresh, 0)), std::pair(0u, WAIT_TIMEOUT))
        << "the name is free once its last handle closed";
    CloseHandle(fresh);

    // Made again under the name, the event has the kind now asked for.
    HANDLE again = CreateEventA(nullptr, FALSE, TRUE, "platform-test-shared");
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_TIMEOUT) << "auto-reset now";
    CloseHandle(again);
}

TEST_F(EventsTest, UnknownAndClosedHandlesFail) {
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HDEVINFO set = SetupDiGetClassDevsA(&kSomeClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    const HANDLE bad[] = {nullptr, INVALID_HANDLE_VALUE, closed, reinterpret_cast<HANDLE>(0x12345),
                          set /* not an event */};
    for (HANDLE handle : bad) {
        SCOPED_TRACE(reinterpret_cast<uintptr_t>(handle));
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_FAILED);
        EXPECT_FALSE(SetEvent(handle));
        EXPECT_FALSE(ResetEvent(handle));
        EXPECT_FALSE(CloseHandle(handle));
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(EventsTest, InfiniteWaitEndsWhenAnotherThreadSetsTheEvent) {
    // Under the virtual clock too: only timed waits end early there.
    for (bool virtualClock : {false, true}) {
        SCOPED_TRACE(virtualClock ? "virtual clock" : "real clock");
        SetVirtualClock(virtualClock);
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        const uint64_t before = ClockMs();
        std::thread setter([event] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            SetEvent(event);
        });
        EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        setter.join();
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the auto-reset signal was consumed";
        if (virtualClock) {
            EXPECT_EQ(ClockMs(), before) << "an infinite wait does not move virtual time";
        }
        CloseHandle(event);
    }
}

std::vector<uint32_t> observedPauses;
void RecordPause(uint32_t milliseconds) { observedPauses.push_back(milliseconds); }

TEST_F(EventsTest, VirtualClockAdvancesByEachPauseAndTimeout) {
    SetVirtualClock(true);
    observedPauses.clear();
    SetSleepObserver(RecordPause);
    const uint64_t start = ClockMs();

    const uint32_t pauses[] = {100, 200, 500, 1000, 2000, 0};
    uint64_t expected = start;
    for (uint32_t pause : pauses) {
        Sleep(pause);
        expected += pause;
        EXPECT_EQ(ClockMs(), expected);
    }
    EXPECT_EQ(observedPauses, std::vector<uint32_t>(std::begin(pauses), std::end(pauses)));

    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_TIMEOUT);
    EXPECT_EQ(ClockMs(), expected + 2000) << "a wait that times out moves time by its whole timeout";
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(ClockMs(), expected + 2000) << "a satisfied wait takes no time";
    EXPECT_EQ(observedPauses.size(), std::size(pauses)) << "waits are not pauses";
    CloseHandle(event);

    AdvanceClock(5);
    EXPECT_EQ(ClockMs(), expected + 2005);
}

TEST_F(EventsTest, LastErrorIsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD initialInThread = 1;
    std::thread other([&] {
        initialInThread = GetLastError();
        SetLastError(ERROR_IO_PENDING);
    });
    other.join();
    EXPECT_EQ(initialInThread, 0u);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// --- event pumps ---

std::vector<DWORD> pumpTimeouts;
HANDLE pumpEvent = nullptr;
size_t pumpSignalsOnCall = 0;  // 0: never

void TestPump(DWORD timeoutMs) {
    pumpTimeouts.push_back(timeoutMs);
    if (pumpSignalsOnCall != 0 && pumpTimeouts.size() == pumpSignalsOnCall) SetEvent(pumpEvent);
}

class PumpTest : public EventsTest {
protected:
    void SetUp() override {
        pumpTimeouts.clear();
        pumpSignalsOnCall = 0;
        pumpEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        RegisterEventPump(TestPump);
    }
    void TearDown() override {
        UnregisterEventPump(TestPump);
        CloseHandle(pumpEvent);
        EventsTest::TearDown();
    }
};

TEST_F(PumpTest, WaitCallsThePumpInSlicesUntilTheEventIsSet) {
    pumpSignalsOnCall = 3;
    EXPECT_EQ(WaitForSingleObject(pumpEvent, INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(pumpTimeouts.size(), 3u);
    for (DWORD t : pumpTimeouts) EXPECT_EQ(t, 100u) << "each slice is capped";
}

TEST_F(PumpTest, PollAndVirtualTimedWaitGiveThePumpOnePassWithoutWaiting) {
    const struct {
        bool virtualClock;
        DWORD timeout;
        size_t signalOnCall;
        DWORD result;
        uint64_t advance;
    } cases[] = {
        {false, 0, 0, WAIT_TIMEOUT, 0},
        {false, 0, 1, WAIT_OBJECT_0, 0},
        {true, 500, 0, WAIT_TIMEOUT, 500},
        {true, 500, 1, WAIT_OBJECT_0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.virtualClock << " " << c.timeout << " " << c.signalOnCall);
        SetVirtualClock(c.virtualClock);
        pumpTimeouts.clear();
        pumpSignalsOnCall = c.signalOnCall;
        const uint64_t before = ClockMs();
        EXPECT_EQ(WaitForSingleObject(pumpEvent, c.timeout), c.result);
        EXPECT_EQ(pumpTimeouts, std::vector<DWORD>{0});
        if (c.virtualClock) {
            EXPECT_EQ(ClockMs() - before, c.advance);
        }
    }
}

HANDLE handleToCloseInPump = nullptr;
void ClosingPump(DWORD) {
    if (handleToCloseInPump != nullptr) {
        CloseHandle(handleToCloseInPump);
        handleToCloseInPump = nullptr;
    }
}

TEST_F(EventsTest, HandleClosedDuringAWaitKeepsTheObjectAliveForTheWaiter) {
    // The pump closes the only handle while the wait is under way; the wait
    // must go on with a live object (the sanitizer build checks the memory).
    SetVirtualClock(true);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    handleToCloseInPump = event;
    RegisterEventPump(ClosingPump);
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    UnregisterEventPump(ClosingPump);
    EXPECT_EQ(handleToCloseInPump, nullptr);
    EXPECT_FALSE(CloseHandle(event)) << "already closed";
}

}  // namespace
}  // namespace vek::platform
