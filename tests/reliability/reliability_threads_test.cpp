// Threads: gated calls on one handle from several threads at once, and
// several boards each driven by a thread of its own. Built and run under
// ThreadSanitizer by `make test-tsan`, and in the ordinary test builds.
//
// What is safe and what is not is set out in docs/reliability.md: the gate
// serialises the gated calls of one handle, a board's lock the register reads
// of all handles on it; the ungated calls, allocation
// (firmwareVersion), inquiry 5 with VekDevNewFrequencySet on other handles
// (boardType) and firmware downloads (one process-wide set of buffers) are
// not for concurrent use, and these tests do not make such calls at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "host_environment.h"
#include "vek_dll.h"
#include "vek_sim.h"

namespace {

constexpr uint32_t kFrameBytes = 4096;

std::vector<uint8_t> Pattern(uint32_t seed) {
    std::vector<uint8_t> v(kFrameBytes);
    for (uint32_t i = 0; i < kFrameBytes; ++i) v[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 8));
    return v;
}

class Threads : public ::testing::Test {
protected:
    void SetUp() override {
        vektest::SetEnvironment("VEK_NO_LIBUSB", "1");  // only virtual boards
        VekSimDetachAll();
    }
    void TearDown() override {
        VekSimDetachAll();
        VekSimSetVirtualClock(0);
    }
};

// Four threads load and read back frames through one handle, each at its own
// board address. A load is three register writes, a pause and the data; were
// the gate not to keep a transfer whole, another thread's start address or
// data would slip in between and a readback would not match its load. The
// real clock is used: under the virtual clock a gate that is taken times out
// at once. A thread that waited longer than the gate's 1000 ms gets
// 0x80000006, which is the gate's documented answer, not a fault.
TEST_F(Threads, GatedCallsOnOneHandleAreSerialised) {
    VekSimSetVirtualClock(0);
    ASSERT_GE(VekSimAttach(nullptr), 0);
    DeviceHandle *handle = nullptr;
    uint8_t isVek40 = 0;
    ASSERT_EQ(VekDevAlloc(0, &handle, &isVek40), DEV_OK);
    uint32_t type = 0;
    ASSERT_EQ(VekDevInquire(handle, 5, &type), DEV_OK);

    constexpr int kThreads = 4, kRounds = 3;
    std::atomic<int> matched{0}, busy{0}, wrong{0}, mismatched{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kRounds; ++k) {
                const uint32_t address = 0x100000u * static_cast<uint32_t>(t + 1);
                const std::vector<uint8_t> frame = Pattern(static_cast<uint32_t>(t * 16 + k));
                std::vector<uint8_t> back(kFrameBytes, 0);
                const uint32_t load = VekDevLoadFrame(handle, frame.data(), address, kFrameBytes);
                const uint32_t get = VekDevGetFrame(handle, back.data(), address, kFrameBytes);
                uint32_t value = 0;
                const uint32_t rreg = VekDevRReg(handle, 0x02, &value);
                uint32_t loaded = 0;
                const uint32_t inquiry = VekDevInquire(handle, 17, &loaded);
                for (uint32_t r : {load, get, rreg, inquiry}) {
                    if (r == DEV_ERR_BUSY)
                        ++busy;
                    else if (r != DEV_OK)
                        ++wrong;
                }
                if (load == DEV_OK && get == DEV_OK) {
                    if (back == frame)
                        ++matched;
                    else
                        ++mismatched;
                }
                if (rreg == DEV_OK && value != 0) ++wrong;  // register 0x02 of the default board is 0
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(mismatched.load(), 0) << "a readback did not match its load";
    EXPECT_GT(matched.load(), 0) << busy.load() << " calls found the gate taken";
    EXPECT_EQ(VekDevFree(handle), DEV_OK);
}

// Three boards, each allocated on the main thread (allocation writes the
// process-wide firmware version) and then driven from its own thread: the
// typical use, commands and timing, and frames of its own content. Then each
// thread frees its handle.
TEST_F(Threads, EachBoardDrivenByItsOwnThread) {
    VekSimSetVirtualClock(1);
    constexpr int kBoards = 3;
    std::vector<DeviceHandle *> handles(kBoards, nullptr);
    for (int b = 0; b < kBoards; ++b) ASSERT_EQ(VekSimAttach(nullptr), b);
    for (int b = 0; b < kBoards; ++b) {
        uint8_t isVek40 = 0;
        ASSERT_EQ(VekDevAlloc(static_cast<uint32_t>(b), &handles[b], &isVek40), DEV_OK);
    }
    // Inquiry 5 writes the process-wide board type that the frequency call
    // reads; all boards are of the same type, and it runs before the threads.
    for (DeviceHandle *h : handles) {
        uint32_t type = 0;
        ASSERT_EQ(VekDevInquire(h, 5, &type), DEV_OK);
    }

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int b = 0; b < kBoards; ++b) {
        threads.emplace_back([&, b] {
            DeviceHandle *h = handles[b];
            auto expect = [&](bool ok) {
                if (!ok) ++failures;
            };
            DeviceInitParams params{0, 1000, 8, 0x100u + static_cast<uint32_t>(b)};
            expect(VekDevInit(h, &params) == DEV_OK);
            for (int k = 0; k < 4; ++k) {
                const std::vector<uint8_t> frame = Pattern(static_cast<uint32_t>(b * 100 + k));
                std::vector<uint8_t> back(kFrameBytes);
                const uint32_t address = static_cast<uint32_t>(k) * kFrameBytes;
                expect(VekDevLoadFrame(h, frame.data(), address, kFrameBytes) == DEV_OK);
                expect(VekDevGetFrame(h, back.data(), address, kFrameBytes) == DEV_OK);
                expect(back == frame);
            }
            expect(VekDevNewFrequencySet(h, 8, 20000, 0) == DEV_OK);
            uint32_t value = 0x40u + static_cast<uint32_t>(b);
            expect(VekDevControl(h, 24, &value) == DEV_OK);
            value = 0;
            expect(VekDevControl(h, 33, &value) == DEV_OK && value == 0x40u + static_cast<uint32_t>(b));
            uint32_t reg30 = 0;
            expect(VekDevRReg(h, 0x30, &reg30) == DEV_OK && reg30 == 0x100u + static_cast<uint32_t>(b));
            uint32_t gpio = 0x5u + static_cast<uint32_t>(b);
            expect(VekDevSetGPIO(h, &gpio) == 0);
            expect(ResetUSBPipe(h, 0x86) == 1);
            uint32_t loaded = 0;
            expect(VekDevInquire(h, 17, &loaded) == DEV_OK && loaded == 8 * kFrameBytes);
            expect(VekDevFree(h) == DEV_OK);
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    // Each board kept its own registers.
    for (int b = 0; b < kBoards; ++b) {
        uint32_t v = 0;
        ASSERT_EQ(VekSimGetRegister(b, 0x30, &v), 0);
        EXPECT_EQ(v, 0x100u + static_cast<uint32_t>(b));
        ASSERT_EQ(VekSimGetRegister(b, 0x04, &v), 0);
        EXPECT_EQ(v, 0x5u + static_cast<uint32_t>(b));
    }
}

// Two handles on one board, each read from a thread of its own: every read
// gets its own register's value (the request and its reply stay together
// across handles).
TEST_F(Threads, TwoHandlesOnOneBoardReadTheirOwnRegisters) {
    const int board = VekSimAttach(nullptr);
    ASSERT_GE(board, 0);
    const uint32_t registers[2] = {0x20, 0x21}, values[2] = {0x11111111, 0x22222222};
    DeviceHandle *handles[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(VekSimSetRegister(board, registers[i], values[i]), 0);
        ASSERT_EQ(VekDevAlloc(0, &handles[i], nullptr), DEV_OK);
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 3000; ++n) {
                uint32_t v = 0;
                if (VekDevRReg(handles[i], registers[i], &v) != DEV_OK || v != values[i]) ++wrong;
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    for (DeviceHandle *h : handles) EXPECT_EQ(VekDevFree(h), DEV_OK);
}

}  // namespace
