// The fault sweep: a typical use of two virtual boards runs once healthy, then
// once per fault kind at each request of either board; each run checks that
// the fault fired, earlier calls kept their healthy results, every result is
// one its failure handling allows (never a taken gate) and the virtual time is
// within what one fault may cost (docs/reliability.md; it keeps the printed table).
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
constexpr uint32_t kDescriptorRequest = 0x220020, kAbortRequest = 0x220044;
const std::pair<int, const char *> kKinds[] = {{VEK_SIM_FAULT_STALL, "stall"},
                                               {VEK_SIM_FAULT_FAIL_AT_ISSUE, "failure at issue"},
                                               {VEK_SIM_FAULT_STAY_PENDING, "stays pending"},
                                               {VEK_SIM_FAULT_SHORT, "short transfer"},
                                               {VEK_SIM_FAULT_DETACH, "device detached"}};

struct Request {
    int board;
    uint32_t nth, code, endpoint;  // nth: among its board's requests, from 1
    uint8_t bmRequestType;         // control requests
    uint16_t wValue;
    // A vendor request: the control endpoint's timeout and the wait after its
    // abort; a bulk one: its wait and one more for a read that then gets no
    // reply; a descriptor read left pending: the 5 s its block carries.
    uint64_t MayCostMs(int kind) const {
        if (code == kDescriptorRequest && bmRequestType == 0x40) return 10000 + 50;
        return 2 * 2000 + (kind == VEK_SIM_FAULT_STAY_PENDING && code == kDescriptorRequest ? 5000 : 0);
    }
};

// Whether a call may give `result` when the fault of `kind` hit `request`.
using Rule = std::function<bool(uint32_t result, const std::vector<uint32_t> &results, int kind, const Request &)>;
Rule OneOf(std::vector<uint32_t> set) {
    return [set](uint32_t v, auto &, int, auto &) { return std::count(set.begin(), set.end(), v) > 0; };
}

struct Step {
    const char *name;
    std::function<uint32_t()> call;
    Rule allowed;
};

// The counted requests of `board` in order (all but aborts), with the setup of each control request.
std::vector<Request> CountedRequests(int board) {
    std::vector<Request> out;
    VekSimTraceEntry e{};
    for (uint32_t i = 0; VekSimTraceGet(i, &e) == 0; ++i) {
        if (e.board != board) continue;
        if (e.kind == VEK_SIM_TRACE_REQUEST && e.code != kAbortRequest)
            out.push_back({board, static_cast<uint32_t>(out.size() + 1), e.code, e.endpoint, 0, 0});
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

void AttachBoards() {
    VekSimDetachAll();
    VekSimBoardConfig second{sizeof(VekSimBoardConfig), "VEK4.0 second", nullptr, 0x10000000};
    ASSERT_EQ(VekSimAttach(nullptr), 0);
    ASSERT_EQ(VekSimAttach(&second), 1);
    VekSimTraceClear();
}

// Runs the steps; a failed allocation (the first) ends them. After each
// call, `mark` may count the requests so far.
std::vector<uint32_t> RunSteps(
    const std::vector<Step> &steps, const std::function<void()> &mark = [] {}) {
    std::vector<uint32_t> r(steps.size(), kNotRun);
    for (size_t c = 0; c < steps.size() && (c == 0 || r[0] == DEV_OK); ++c) {
        r[c] = steps[c].call();
        mark();
    }
    return r;
}

using FaultSweep = vektest::SimTest;

TEST_F(FaultSweep, TypicalUseOfTheSecondOfTwoBoardsThenAFirmwareDownloadAndReopen) {
    vektest::SetEnvironment("VEK_NO_LIBUSB", "1");  // only virtual boards
    DeviceHandle *handle = nullptr;
    vektest::ScratchDirectory dir;
    ASSERT_TRUE(dir.ok());
    // 3000 bytes from 0: two chunks (2048 at 0x0000, 952 at 0x0800).
    vektest::ScratchDirectory::WriteFirmware(vektest::IicFile({{0x0000, vektest::Pattern(3000, 3)}}));
    std::vector<uint8_t> frame = vektest::Pattern(kFrameBytes), back(kFrameBytes);
    // Once inquiry 5 (call 2) told the frame mode, a frame transfer returns 0
    // whatever its transfers did; before, 0x8000000d (or 0 when command 9 failed).
    const Rule frames = [](uint32_t v, const std::vector<uint32_t> &r, int, auto &) {
        return v == DEV_OK || (r[2] != DEV_OK && v == DEV_ERR_FRAME_MODE);
    };
    // A chunk that fails ends the download with 0, the 8051 left held; a short
    // chunk still succeeds; faults on the hold and run requests go unnoticed.
    const Rule download = [](uint32_t v, auto &, int kind, const Request &req) {
        if (req.code == kDescriptorRequest && req.bmRequestType == 0x40 && req.wValue != 0xE600 &&
            kind != VEK_SIM_FAULT_SHORT)
            return v == 0 && VekSimControllerHeld(req.board) == 1;
        return v == 0 || v == 1;
    };
    const Rule okOrTransfer = OneOf({DEV_OK, DEV_ERR_TRANSFER});
    DeviceInitParams params{0, 1000, 8, 0x12};
    uint32_t type = 0;
    const std::vector<Step> steps = {
        // The enumeration opens both boards, then board 1 is opened; a failed
        // allocation must store no handle.
        {"alloc",
         [&] {
             handle = nullptr;
             const uint32_t r = VekDevAlloc(1, &handle, nullptr);
             EXPECT_TRUE(r == DEV_OK || handle == nullptr) << "a failed allocation stored a handle";
             return r;
         },
         OneOf({DEV_OK, DEV_ERR_NO_DEVICE})},
        // Command 15 failing gives 0x8000000e, command 14 ignores its writes,
        // command 18 gives 0x80000009, or 0x8000000f when a reply went astray.
        {"init", [&] { return VekDevInit(handle, &params); },
         OneOf({DEV_OK, DEV_ERR_GRAY_DEPTH, DEV_ERR_TRANSFER, DEV_ERR_VERIFY})},
        {"inquire5", [&] { return VekDevInquire(handle, 5, &type); }, okOrTransfer},
        {"load", [&] { return VekDevLoadFrame(handle, frame.data(), 0x10000, kFrameBytes); }, frames},
        {"frequency", [&] { return VekDevNewFrequencySet(handle, 8, 20000, 0); }, okOrTransfer},
        {"get", [&] { return VekDevGetFrame(handle, back.data(), 0x10000, kFrameBytes); }, frames},
        {"download", [&] { return static_cast<uint32_t>(VekDownloadFirmWare(handle, 0)); }, download},
        {"realloc", [&] { return static_cast<uint32_t>(DevReAlloc(handle)); }, OneOf({0, 1})},
        {"free", [&] { return VekDevFree(handle); }, OneOf({DEV_OK})}};

    AttachBoards();
    std::vector<std::vector<int64_t>> perCall;  // requests of each board up to the end of each call
    uint64_t start = VekSimClockMs();
    const std::vector<uint32_t> healthy = RunSteps(steps, [&] {
        perCall.push_back({VekSimRequestCount(0, VEK_SIM_ANY_ENDPOINT), VekSimRequestCount(1, VEK_SIM_ANY_ENDPOINT)});
    });
    const uint64_t healthyMs = VekSimClockMs() - start;
    for (size_t c = 0; c < healthy.size(); ++c) ASSERT_NE(healthy[c], kNotRun) << steps[c].name;
    std::vector<Request> requests = CountedRequests(0), second = CountedRequests(1);
    ASSERT_EQ(static_cast<int64_t>(requests.size()), perCall.back()[0]) << "the trace and the request count disagree";
    ASSERT_EQ(static_cast<int64_t>(second.size()), perCall.back()[1]);
    requests.insert(requests.end(), second.begin(), second.end());

    std::map<std::string, int> outcomes;  // "kind: outcome" -> runs
    for (auto [kind, kindName] : kKinds) {
        for (const Request &request : requests) {
            SCOPED_TRACE(std::string(kindName) + " on request " + std::to_string(request.nth) + " of board " +
                         std::to_string(request.board) + " (code " + Hex(request.code) + ", endpoint " +
                         Hex(request.endpoint) + ")");
            AttachBoards();
            ASSERT_EQ(VekSimInjectFault(request.board, VEK_SIM_ANY_ENDPOINT, request.nth, kind), 0);
            start = VekSimClockMs();
            const std::vector<uint32_t> results = RunSteps(steps);
            EXPECT_LE(VekSimClockMs() - start, healthyMs + request.MayCostMs(kind))
                << "virtual ms; healthy " << healthyMs;
            EXPECT_TRUE(FaultFired(kind)) << "the fault never fired";
            size_t faulted = 0;  // the call the faulted request belongs to
            while (faulted + 1 < perCall.size() && perCall[faulted][request.board] < request.nth) ++faulted;
            std::string outcome;
            for (size_t c = 0; c < results.size(); ++c) {
                EXPECT_NE(results[c], static_cast<uint32_t>(DEV_ERR_BUSY)) << steps[c].name;
                if (c < faulted) {
                    EXPECT_EQ(results[c], healthy[c]) << steps[c].name << " before the faulted call";
                } else if (results[c] != kNotRun) {
                    EXPECT_TRUE(steps[c].allowed(results[c], results, kind, request))
                        << steps[c].name << " gave 0x" << Hex(results[c]);
                }
                if (results[c] != healthy[c])
                    outcome +=
                        std::string(steps[c].name) + "=" + (results[c] == kNotRun ? "not run" : Hex(results[c])) + " ";
            }
            ++outcomes[std::string(kindName) + ": " + (outcome.empty() ? "same results as healthy" : outcome)];
        }
    }
    std::printf("%zu requests, %zu faulted runs\n", requests.size(), requests.size() * std::size(kKinds));
    for (const auto &[key, n] : outcomes) std::printf("  %-78s %5d\n", key.c_str(), n);
}

}  // namespace
