// Shared by the device-call tests: a virtual board under the virtual clock, a
// handle on it, and the board's trace turned into short readable lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vek_dll.h"
#include "vek_sim.h"

namespace vektest {

inline std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

// Register write:  "W 21=70000fe"
// Register read:   "R 1=value<carried"   (the value replied, the value word the request carried)
// Frame data:      "OUT 2 1048576" / "IN 86 1048576"   (bytes asked)
// Control request: "CTL 40 a0 e600 1"    (bmRequestType bRequest wValue wLength)
// Pause:           "P 100"
// Abort / reset:   "ABORT 86" / "RESET 2"
inline std::vector<std::string> TraceLines(int board = -2) {
    std::vector<std::string> out;
    const uint32_t n = VekSimTraceCount();
    bool afterRead = false;
    for (uint32_t i = 0; i < n; ++i) {
        VekSimTraceEntry e{};
        if (VekSimTraceGet(i, &e) != 0) break;
        if (board != -2 && e.board != board && e.kind != VEK_SIM_TRACE_PAUSE) continue;
        switch (e.kind) {
        case VEK_SIM_TRACE_REGISTER_WRITE:
            out.push_back("W " + Hex(e.address) + "=" + Hex(e.value));
            afterRead = false;
            break;
        case VEK_SIM_TRACE_REGISTER_READ:
            out.push_back("R " + Hex(e.address) + "=" + Hex(e.value) + "<" + Hex(e.carried));
            afterRead = true;
            break;
        case VEK_SIM_TRACE_DATA:
            if (e.endpoint == 0x04) break;  // the register packets themselves
            if (e.endpoint == 0x86 && e.direction == 1 && e.length == 8 && afterRead) {
                afterRead = false;  // the reply of the read just listed
                break;
            }
            out.push_back(std::string(e.direction ? "IN " : "OUT ") + Hex(e.endpoint) + " " + std::to_string(e.length));
            afterRead = false;
            break;
        case VEK_SIM_TRACE_CONTROL:
            if ((e.bmRequestType & 0x60) == 0) break;  // standard requests of opening the device
            out.push_back("CTL " + Hex(e.bmRequestType) + " " + Hex(e.bRequest) + " " + Hex(e.wValue) + " " +
                          std::to_string(e.wLength));
            break;
        case VEK_SIM_TRACE_PAUSE:
            out.push_back("P " + std::to_string(e.value));
            break;
        case VEK_SIM_TRACE_ABORT:
            out.push_back("ABORT " + Hex(e.endpoint));
            break;
        case VEK_SIM_TRACE_RESET:
            out.push_back("RESET " + Hex(e.endpoint));
            break;
        default:
            break;
        }
    }
    return out;
}

inline std::vector<std::string> Lines(std::initializer_list<const char *> lines) {
    return std::vector<std::string>(lines.begin(), lines.end());
}

inline uint32_t Reg(int board, uint32_t address) {
    uint32_t v = 0;
    EXPECT_EQ(VekSimGetRegister(board, address, &v), 0);
    return v;
}

// One board, the virtual clock, and a handle allocated on it; the trace
// starts empty after allocation.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        VekSimDetachAll();
        VekSimSetVirtualClock(1);
        board_ = VekSimAttach(nullptr);
        ASSERT_GE(board_, 0);
        uint8_t isVek40 = 0;
        ASSERT_EQ(VekDevAlloc(0, &handle_, &isVek40), DEV_OK);
        VekSimTraceClear();
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(VekDevFree(handle_), DEV_OK);
        }
        handle_ = nullptr;
        VekSimDetachAll();
        VekSimSetVirtualClock(0);
    }
    // Runs inquiry 5 so that the frame layout is known.
    void LearnBoardType() {
        uint32_t type = 0;
        ASSERT_EQ(VekDevInquire(handle_, 5, &type), DEV_OK);
        VekSimTraceClear();
    }

    int board_ = -1;
    DeviceHandle *handle_ = nullptr;
};

}  // namespace vektest
