// Threads: gated calls on one handle from several threads at once, two
// handles on one board and boards side by side. Built and run under
// ThreadSanitizer by `make test-tsan`, and in the ordinary test builds. It
// makes no calls at once that docs/reliability.md calls unsafe.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "api/board_fixture.h"
#include "host_environment.h"

namespace {

constexpr uint32_t kFrameBytes = 4096;

using Threads = vektest::SimTest;

// Board 0 has one handle shared by two threads, board 1 two handles with a
// thread each. Each thread reads a register of its own on its board (the
// request and its reply stay together across handles: the board's lock); the
// two threads of the shared handle also load and read back frames at their own
// board addresses now and then. A load is three register writes, a pause and
// the data; were the gate not to keep a transfer whole, the other thread's
// start address or data would slip in between and a readback would not match
// its load. (Frames on a board that another handle reads are not kept apart
// from those reads.) A thread that waited longer than the gate's 1000 ms gets
// 0x80000006, its documented answer, not a fault.
TEST_F(Threads, GatedCallsAreSerialisedAndEveryReadGetsItsOwnRegister) {
    vektest::SetEnvironment("VEK_NO_LIBUSB", "1");  // only virtual boards
    VekSimSetVirtualClock(0);                       // under the virtual clock a gate that is taken times out at once
    ASSERT_EQ(VekSimAttach(nullptr), 0);
    ASSERT_EQ(VekSimAttach(nullptr), 1);
    DeviceHandle *handles[3] = {};
    const uint32_t boardOf[3] = {0, 1, 1}, handleOf[4] = {0, 0, 1, 2};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(VekDevAlloc(boardOf[i], &handles[i], nullptr), DEV_OK);
        uint32_t type = 0;  // inquiry 5 writes the process-wide board type: before the threads
        ASSERT_EQ(VekDevInquire(handles[i], 5, &type), DEV_OK);
    }
    for (uint32_t t = 0; t < 4; ++t)
        ASSERT_EQ(VekSimSetRegister(boardOf[handleOf[t]], 0x20 + t, 0x11111111u * (t + 1)), 0);
    std::atomic<int> matched{0}, busy{0}, wrong{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            DeviceHandle *h = handles[handleOf[t]];
            for (int n = 0; n < 2000; ++n) {
                uint32_t v = 0;
                const uint32_t rreg = VekDevRReg(h, 0x20 + t, &v);
                if (rreg == DEV_ERR_BUSY)
                    ++busy;
                else if (rreg != DEV_OK || v != 0x11111111u * (t + 1))
                    ++wrong;
                if (n % 500 != 0 || t >= 2) continue;  // frames: the shared handle only
                std::vector<uint8_t> frame = vektest::Pattern(kFrameBytes, t * 31 + n), back(kFrameBytes);
                const uint32_t load = VekDevLoadFrame(h, frame.data(), 0x100000u * (t + 1), kFrameBytes);
                const uint32_t get = VekDevGetFrame(h, back.data(), 0x100000u * (t + 1), kFrameBytes);
                if (load == DEV_OK && get == DEV_OK) ++(back == frame ? matched : wrong);
                if ((load != DEV_OK && load != DEV_ERR_BUSY) || (get != DEV_OK && get != DEV_ERR_BUSY)) ++wrong;
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0) << "a call failed, a readback did not match its load or a read got another's register";
    EXPECT_GT(matched.load(), 0) << busy.load() << " calls found the gate taken";
    for (DeviceHandle *h : handles) EXPECT_EQ(VekDevFree(h), DEV_OK);
}

}  // namespace
