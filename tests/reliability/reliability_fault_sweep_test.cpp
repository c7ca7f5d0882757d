// Fault sweeps on the virtual board, under the virtual clock.
//
// Each sweep runs its calls once on a healthy board and counts the requests
// the board receives; then, for every fault kind and every request index in
// turn, it runs the calls again with that one request faulted and checks that
// nothing crashes or leaks (the AddressSanitizer build), that the fault fired,
// that the calls before the faulted one give their healthy results, that every
// call gives a result its failure handling allows and none finds its gate
// taken, and that the virtual time stays within the healthy run's plus the
// waits one fault can cost: on the bulk pipes the faulted transfer's 2000 ms
// and 2000 ms more for a read that then gets no reply (its request half went
// astray, or the write of 1 to 0x32 that arms a readback was lost); on the
// control pipe its 10000 ms timeout and the 50 ms after its abort; a
// descriptor request left pending ends at the 5 s limit its block carries.
// The outcomes are printed as a table (docs/reliability.md keeps them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "api/board_fixture.h"
#include "firmware/iic_file.h"
#include "host_environment.h"

using vektest::Hex;

namespace {

constexpr uint32_t kNotRun = 0xDEAD0000u;  // a call that the sequence did not reach
constexpr uint32_t kFrameBytes = 4096;
constexpr uint64_t kBulkWaitMs = 2000;
constexpr uint32_t kDescriptorRequest = 0x220020, kAbortRequest = 0x220044;
const std::pair<int, const char *> kKinds[] = {{VEK_SIM_FAULT_STALL, "stall"},
                                               {VEK_SIM_FAULT_FAIL_AT_ISSUE, "failure at issue"},
                                               {VEK_SIM_FAULT_STAY_PENDING, "stays pending"},
                                               {VEK_SIM_FAULT_SHORT, "short transfer"},
                                               {VEK_SIM_FAULT_DETACH, "device detached"}};

struct RequestInfo {
    int board;
    uint32_t code, endpoint;
    uint8_t bmRequestType;  // control requests
    uint16_t wValue;
};

// Whether a call may give `result` when the fault of `kind` hit `request`.
using Rule =
    std::function<bool(uint32_t result, const std::vector<uint32_t> &results, int kind, const RequestInfo &request)>;
Rule OneOf(std::vector<uint32_t> set) {
    return [set](uint32_t v, auto &, int, auto &) { return std::count(set.begin(), set.end(), v) > 0; };
}

struct Step {
    const char *name;
    std::function<uint32_t()> call;
    Rule allowed;
};

struct Sequence {
    std::function<void()> prepare;  // boards attached, and whatever comes before counting starts
    std::vector<int> boards;        // the boards whose requests are swept
    std::vector<Step> steps;
    bool firstStepAllocates = true;          // its failure ends the sequence
    uint64_t extraWaitMs = 2 * kBulkWaitMs;  // the waits one fault can add
};

// The counted requests of `board` in order (all but aborts), with the setup of each control request.
std::vector<RequestInfo> CountedRequests(int board) {
    std::vector<RequestInfo> out;
    VekSimTraceEntry e{};
    for (uint32_t i = 0; VekSimTraceGet(i, &e) == 0; ++i) {
        if (e.board != board) continue;
        if (e.kind == VEK_SIM_TRACE_REQUEST && e.code != kAbortRequest)
            out.push_back({board, e.code, e.endpoint, 0, 0});
        else if (e.kind == VEK_SIM_TRACE_CONTROL && !out.empty() && out.back().code == kDescriptorRequest)
            out.back().bmRequestType = e.bmRequestType, out.back().wValue = e.wValue;
    }
    return out;
}

bool FaultFired(int kind) {
    VekSimTraceEntry e{};
    for (uint32_t i = 0; VekSimTraceGet(i, &e) == 0; ++i)
        if (e.kind == VEK_SIM_TRACE_FAULT && e.value == static_cast<uint32_t>(kind)) return true;
    return false;
}

// Runs the healthy sequence, then every kind at every request index.
void Sweep(const char *name, const Sequence &s) {
    std::vector<int64_t> base;
    auto begin = [&] {
        VekSimDetachAll();
        s.prepare();
        VekSimTraceClear();
        base.clear();
        for (int b : s.boards) base.push_back(VekSimRequestCount(b, VEK_SIM_ANY_ENDPOINT));
    };
    auto run = [&](const std::function<void()> &mark) {
        std::vector<uint32_t> r(s.steps.size(), kNotRun);
        for (size_t c = 0; c < s.steps.size(); ++c) {
            r[c] = s.steps[c].call();
            mark();
            if (c == 0 && s.firstStepAllocates && r[0] != DEV_OK) break;
        }
        return r;
    };

    begin();
    std::vector<int64_t> perCall;  // requests counted up to the end of each call
    uint64_t start = VekSimClockMs();
    const std::vector<uint32_t> healthy = run([&] {
        int64_t n = 0;
        for (size_t k = 0; k < s.boards.size(); ++k)
            n += VekSimRequestCount(s.boards[k], VEK_SIM_ANY_ENDPOINT) - base[k];
        perCall.push_back(n);
    });
    const uint64_t healthyMs = VekSimClockMs() - start;
    for (size_t c = 0; c < healthy.size(); ++c) ASSERT_NE(healthy[c], kNotRun) << s.steps[c].name;
    std::vector<RequestInfo> requests;
    for (size_t k = 0; k < s.boards.size(); ++k) {
        std::vector<RequestInfo> r = CountedRequests(s.boards[k]);
        ASSERT_EQ(static_cast<int64_t>(r.size()), VekSimRequestCount(s.boards[k], VEK_SIM_ANY_ENDPOINT) - base[k])
            << "trace and request count disagree on board " << s.boards[k];
        requests.insert(requests.end(), r.begin(), r.end());
    }
    ASSERT_FALSE(requests.empty());

    std::map<std::string, int> outcomes;  // "kind: outcome" -> runs
    for (auto [kind, kindName] : kKinds) {
        for (size_t i = 0; i < requests.size(); ++i) {
            const RequestInfo &request = requests[i];
            uint32_t nth = 1;  // among this board's requests
            for (size_t j = i; j > 0 && requests[j - 1].board == request.board; --j) ++nth;
            SCOPED_TRACE(std::string(name) + ": " + kindName + " on request " + std::to_string(nth) + " of board " +
                         std::to_string(request.board) + " (code " + Hex(request.code) + ", endpoint " +
                         Hex(request.endpoint) + ")");
            begin();
            ASSERT_EQ(VekSimInjectFault(request.board, VEK_SIM_ANY_ENDPOINT, nth, kind), 0);
            const bool timesOut = kind == VEK_SIM_FAULT_STAY_PENDING && request.code == kDescriptorRequest &&
                                  request.bmRequestType == 0x80;
            start = VekSimClockMs();
            const std::vector<uint32_t> results = run([] {});
            EXPECT_LE(VekSimClockMs() - start, healthyMs + s.extraWaitMs + (timesOut ? 5000 : 0))
                << "virtual ms; healthy run " << healthyMs;
            EXPECT_TRUE(FaultFired(kind)) << "the fault never fired";
            // The call the faulted request belongs to (known with one swept
            // board; with several, every call is held to its rule alone).
            size_t faulted = 0;
            while (s.boards.size() == 1 && faulted + 1 < perCall.size() && perCall[faulted] <= int64_t(i)) ++faulted;
            std::string outcome = timesOut ? "ended by the driver's time limit, then " : "";
            for (size_t c = 0; c < results.size(); ++c) {
                EXPECT_NE(results[c], static_cast<uint32_t>(DEV_ERR_BUSY)) << s.steps[c].name;
                if (c < faulted) {
                    EXPECT_EQ(results[c], healthy[c]) << s.steps[c].name << " before the faulted call";
                } else if (results[c] != kNotRun) {
                    EXPECT_TRUE(s.steps[c].allowed(results[c], results, kind, request))
                        << s.steps[c].name << " gave 0x" << Hex(results[c]);
                }
                if (results[c] != healthy[c])
                    outcome += std::string(s.steps[c].name) + "=" +
                               (results[c] == kNotRun ? "not run" : Hex(results[c])) + " ";
            }
            ++outcomes[std::string(kindName) + ": " + (outcome.empty() ? "same results as healthy" : outcome)];
        }
    }
    std::printf("sweep %s: %zu requests, %zu faulted runs\n", name, requests.size(), requests.size() * 5);
    for (const auto &[key, n] : outcomes) std::printf("  %-78s %5d\n", key.c_str(), n);
    VekSimDetachAll();
}

// Allocates board `index`; a failed allocation must store no handle.
uint32_t Allocate(uint32_t index, DeviceHandle *&handle) {
    handle = nullptr;
    uint8_t isVek40 = 0;
    const uint32_t r = VekDevAlloc(index, &handle, &isVek40);
    EXPECT_TRUE(r == DEV_OK || handle == nullptr) << "a failed allocation stored a handle";
    return r;
}

class FaultSweep : public vektest::SimTest {
protected:
    void SetUp() override {
        vektest::SetEnvironment("VEK_NO_LIBUSB", "1");  // only virtual boards
        SimTest::SetUp();
    }
    DeviceHandle *handle_ = nullptr;
    const Rule okOrTransfer_ = OneOf({DEV_OK, DEV_ERR_TRANSFER}), ok_ = OneOf({DEV_OK});
    Step inquire5_{"inquire5",
                   [this] {
                       uint32_t type = 0;
                       return VekDevInquire(handle_, 5, &type);
                   },
                   okOrTransfer_};
    Step free_{"free", [this] { return VekDevFree(handle_); }, ok_};
};

TEST_F(FaultSweep, TypicalUse) {
    std::vector<uint8_t> frame(kFrameBytes), back(kFrameBytes);
    for (uint32_t i = 0; i < kFrameBytes; ++i) frame[i] = static_cast<uint8_t>(i * 7);
    // Once inquiry 5 (call 2) told the frame mode, a frame transfer returns 0
    // whatever its transfers did; before, 0x8000000d (or 0 when command 9 failed).
    const Rule frameRule = [](uint32_t v, const std::vector<uint32_t> &r, int, auto &) {
        return v == DEV_OK || (r[2] != DEV_OK && v == DEV_ERR_FRAME_MODE);
    };
    Sequence s{[] { ASSERT_EQ(VekSimAttach(nullptr), 0); }, {0}, {}};
    s.steps = {{"alloc", [&] { return Allocate(0, handle_); }, OneOf({DEV_OK, DEV_ERR_NO_DEVICE})},
               // Command 15 failing gives 0x8000000e, command 14 ignores its writes,
               // command 18 gives 0x80000009, or 0x8000000f when a reply went astray.
               {"init",
                [&] {
                    DeviceInitParams params{0, 1000, 8, 0x12};
                    return VekDevInit(handle_, &params);
                },
                OneOf({DEV_OK, DEV_ERR_GRAY_DEPTH, DEV_ERR_TRANSFER, DEV_ERR_VERIFY})},
               inquire5_,
               {"load", [&] { return VekDevLoadFrame(handle_, frame.data(), 0x10000, kFrameBytes); }, frameRule},
               {"frequency", [&] { return VekDevNewFrequencySet(handle_, 8, 20000, 0); }, okOrTransfer_},
               {"get", [&] { return VekDevGetFrame(handle_, back.data(), 0x10000, kFrameBytes); }, frameRule},
               free_};
    Sweep("typical use", s);
}

// Allocation of the second of two boards: enumeration opens both, then board
// 1 is opened for the handle. Requests of both boards are swept.
TEST_F(FaultSweep, Allocation) {
    Sequence s{[] {
                   VekSimBoardConfig second{sizeof(VekSimBoardConfig), "VEK4.0 second", nullptr, 0x10000000};
                   ASSERT_EQ(VekSimAttach(nullptr), 0);
                   ASSERT_EQ(VekSimAttach(&second), 1);
               },
               {0, 1},
               {{"alloc", [&] { return Allocate(1, handle_); }, OneOf({DEV_OK, DEV_ERR_NO_DEVICE})}, inquire5_, free_},
               true,
               kBulkWaitMs};  // the inquiry's reply; the open itself waits on nothing
    Sweep("allocation", s);
}

// The download and re-open with dlp_usb.iic in the current directory; the
// handle is allocated before counting starts.
TEST_F(FaultSweep, FirmwareDownload) {
    vektest::ScratchDirectory dir;
    ASSERT_TRUE(dir.ok());
    // 3000 bytes from 0: two chunks (2048 at 0x0000, 952 at 0x0800).
    vektest::ScratchDirectory::WriteFirmware(vektest::IicFile({{0x0000, vektest::Bytes(3000, 3)}}));
    // A chunk that fails ends the download with 0, the 8051 left held; a short
    // chunk still succeeds; faults on the hold and run requests go unnoticed.
    const Rule download = [](uint32_t v, auto &, int kind, const RequestInfo &req) {
        const bool chunk = req.code == kDescriptorRequest && req.bmRequestType == 0x40 && req.wValue != 0xE600;
        if (chunk && kind != VEK_SIM_FAULT_SHORT) return v == 0 && VekSimControllerHeld(0) == 1;
        return v == 0 || v == 1;
    };
    Sequence s{[&] {
                   ASSERT_EQ(VekSimAttach(nullptr), 0);
                   ASSERT_EQ(Allocate(0, handle_), DEV_OK);
               },
               {0},
               {{"download", [&] { return static_cast<uint32_t>(VekDownloadFirmWare(handle_, 0)); }, download},
                {"realloc", [&] { return static_cast<uint32_t>(DevReAlloc(handle_)); }, OneOf({0, 1})},
                free_},
               false,
               10000 + 50};  // the control endpoint's timeout, then its abort's short wait
    Sweep("firmware download", s);
}

}  // namespace
