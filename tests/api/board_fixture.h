// Shared by the device-call tests: a virtual board under the virtual clock, a
// handle on it, and the board's trace turned into short readable lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "drivers/sim/descriptor_builder.h"
#include "drivers/sim/sim.h"
#include "vek_dll.h"
#include "vek_sim.h"

namespace vektest {

inline std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

// "W 21=70000fe" register write; "R 1=value<carried" register read (its reply
// packet is not listed); "OUT 2 1048576" / "IN 86 1048576" frame data;
// "CTL 40 a0 e600 1" vendor control request; "P 100" pause; "ABORT 86"; "RESET 2".
inline std::vector<std::string> TraceLines(int board = -2) {
    std::vector<std::string> out;
    bool afterRead = false;
    VekSimTraceEntry e{};
    for (uint32_t i = 0; VekSimTraceGet(i, &e) == 0; ++i) {
        if (board != -2 && e.board != board && e.kind != VEK_SIM_TRACE_PAUSE) continue;
        const bool read = e.kind == VEK_SIM_TRACE_REGISTER_READ,
                   data = e.kind == VEK_SIM_TRACE_DATA && e.endpoint != 0x04;
        if (e.kind == VEK_SIM_TRACE_REGISTER_WRITE || read)
            out.push_back((read ? "R " : "W ") + Hex(e.address) + "=" + Hex(e.value) +
                          (read ? "<" + Hex(e.carried) : ""));
        else if (data && !(e.endpoint == 0x86 && e.direction == 1 && e.length == 8 && afterRead))
            out.push_back(std::string(e.direction ? "IN " : "OUT ") + Hex(e.endpoint) + " " + std::to_string(e.length));
        else if (e.kind == VEK_SIM_TRACE_CONTROL && (e.bmRequestType & 0x60) != 0)  // not the opening's requests
            out.push_back("CTL " + Hex(e.bmRequestType) + " " + Hex(e.bRequest) + " " + Hex(e.wValue) + " " +
                          std::to_string(e.wLength));
        else if (e.kind == VEK_SIM_TRACE_PAUSE)
            out.push_back("P " + std::to_string(e.value));
        else if (e.kind == VEK_SIM_TRACE_ABORT || e.kind == VEK_SIM_TRACE_RESET)
            out.push_back((e.kind == VEK_SIM_TRACE_ABORT ? "ABORT " : "RESET ") + Hex(e.endpoint));
        if (e.kind == VEK_SIM_TRACE_REGISTER_WRITE || read || data) afterRead = read;
    }
    return out;
}

using Lines = std::vector<std::string>;

// Frame data of n bytes, different for each seed.
inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
    return v;
}

inline uint32_t Reg(int board, uint32_t address) {
    uint32_t v = 0;
    EXPECT_EQ(VekSimGetRegister(board, address, &v), 0);
    return v;
}

// A device of one configuration with these interfaces, not named as a VEK board.
inline int AttachInterfaces(std::vector<vek::sim::InterfaceSpec> interfaces, uint8_t altSetting = 0) {
    vek::sim::DescriptorSet set = vek::sim::VekBoardDescriptors("Maker", "OTHER", "");
    set.configurations = {vek::sim::ConfigurationDescriptor({1, 0x80, 50, 0, -1, std::move(interfaces)})};
    vek::sim::BoardIdentity identity;
    identity.altSetting = altSetting;
    return vek::sim::AttachDevice(set, identity);
}

// The virtual clock and no board; boards are detached again afterwards.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        VekSimDetachAll();
        VekSimSetVirtualClock(1);
    }
    void TearDown() override {
        VekSimDetachAll();
        VekSimSetVirtualClock(0);
    }
};

// One board and a handle allocated on it; the trace starts empty.
class BoardTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        board_ = VekSimAttach(nullptr);
        ASSERT_GE(board_, 0);
        ASSERT_EQ(VekDevAlloc(0, &handle_, nullptr), DEV_OK);
        VekSimTraceClear();
    }
    void TearDown() override {
        EXPECT_TRUE(handle_ == nullptr || VekDevFree(handle_) == DEV_OK);
        SimTest::TearDown();
    }
    void SetRegisters(std::initializer_list<std::pair<uint32_t, uint32_t>> values) {
        for (auto [address, value] : values) ASSERT_EQ(VekSimSetRegister(board_, address, value), 0);
        VekSimTraceClear();
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
