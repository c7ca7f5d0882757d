// Fault sweeps on the virtual board, under the virtual clock.
//
// Each sweep runs its sequence of calls once on a healthy board and counts
// the requests the board receives; then, for every fault kind (stall, failure
// at issue, stays pending, short transfer, device detached) and every request
// index in turn, it runs the same sequence again with that one request
// faulted and checks:
//   - nothing crashes, and nothing leaks (the AddressSanitizer build);
//   - the calls before the faulted one give exactly their healthy results;
//   - every call gives a result its documented failure handling allows
//     (0x80000009 for a failed register access in an inquiry, 0 for frame
//     transfers once the frame mode is known, 0x80000001 for a failed
//     allocation, 0 from the firmware download when a chunk fails, ...), and
//     no call finds its gate taken (0x80000006);
//   - the virtual time spent stays within the healthy run's pauses plus the
//     waits one fault can cost: on the bulk pipes, the faulted transfer's own
//     2000 ms wait and one more 2000 ms for a read that then gets no reply
//     (its request half went astray, or the write of 1 to 0x32 that arms a
//     frame readback was lost, so the readback finds nothing to stream); on
//     the control pipe, the control endpoint's 10000 ms timeout and the
//     50 ms wait after its abort;
//   - the handle can still be freed.
// A descriptor request that the device leaves pending is ended by the driver
// after the 5 s limit its request block carries; those runs may spend that
// long too.
//
// The counts and outcomes are printed as a table (docs/reliability.md keeps
// them).
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "api/device_handle.h"
#include "firmware/iic_file.h"
#include "host_environment.h"
#include "vek_dll.h"
#include "vek_sim.h"

namespace {

constexpr uint32_t kNotRun = 0xDEAD0000u;  // a call that the sequence did not reach
constexpr uint32_t kFrameBytes = 4096;     // frames of the road (reduced for the sweep)
constexpr uint64_t kBulkWaitMs = 2000;
constexpr uint64_t kControlTimeoutMs = 10000 + 50;  // SyncTransfer: timeout, then abort and its short wait
constexpr uint64_t kDescriptorTimeoutMs = 5000;     // the limit a descriptor request carries

const char *KindName(int kind) {
    switch (kind) {
    case VEK_SIM_FAULT_STALL:
        return "stall";
    case VEK_SIM_FAULT_FAIL_AT_ISSUE:
        return "failure at issue";
    case VEK_SIM_FAULT_STAY_PENDING:
        return "stays pending";
    case VEK_SIM_FAULT_SHORT:
        return "short transfer";
    case VEK_SIM_FAULT_DETACH:
        return "device detached";
    default:
        return "?";
    }
}
constexpr int kKinds[] = {VEK_SIM_FAULT_STALL, VEK_SIM_FAULT_FAIL_AT_ISSUE, VEK_SIM_FAULT_STAY_PENDING,
                          VEK_SIM_FAULT_SHORT, VEK_SIM_FAULT_DETACH};

std::string Hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
}

// One counted request of the healthy run, as the trace shows it.
struct RequestInfo {
    int board = -1;
    uint32_t code = 0;
    uint32_t endpoint = 0;
    uint8_t bmRequestType = 0;  // control requests
    uint16_t wValue = 0;
    bool synchronousDescriptorRead() const { return code == 0x220020 && bmRequestType == 0x80; }
};

// The counted requests of `board` in order: every REQUEST entry but aborts,
// with the control setup that follows a control request.
std::vector<RequestInfo> CountedRequests(int board) {
    std::vector<RequestInfo> out;
    const uint32_t n = VekSimTraceCount();
    for (uint32_t i = 0; i < n; ++i) {
        VekSimTraceEntry e{};
        if (VekSimTraceGet(i, &e) != 0) break;
        if (e.board != board) continue;
        if (e.kind == VEK_SIM_TRACE_REQUEST && e.code != 0x220044) {
            out.push_back({board, e.code, e.endpoint, 0, 0});
        } else if (e.kind == VEK_SIM_TRACE_CONTROL && !out.empty() && out.back().code == 0x220020) {
            out.back().bmRequestType = e.bmRequestType;
            out.back().wValue = e.wValue;
        }
    }
    return out;
}

bool FaultFired(int kind) {
    const uint32_t n = VekSimTraceCount();
    for (uint32_t i = 0; i < n; ++i) {
        VekSimTraceEntry e{};
        if (VekSimTraceGet(i, &e) == 0 && e.kind == VEK_SIM_TRACE_FAULT && e.value == static_cast<uint32_t>(kind))
            return true;
    }
    return false;
}

// A sequence of calls under test. run() returns one result per call
// (kNotRun for calls not reached) and calls mark() after each call, so that
// the healthy run tells which call each request belongs to.
struct Sequence {
    std::vector<std::string> callNames;
    std::function<void()> prepare;  // boards attached, and whatever comes before counting starts
    std::vector<int> boards;        // the boards whose requests are swept
    std::function<std::vector<uint32_t>(const std::function<void()> &mark)> run;
    // Whether call c may give `result` when the fault hit `request` (of call
    // `faulted`, or of an unknown call when several boards are swept).
    std::function<bool(size_t c, uint32_t result, const std::vector<uint32_t> &results, int kind,
                       const RequestInfo &request)>
        allowed;
    uint64_t extraWaitMs = 2 * kBulkWaitMs;  // the waits one fault can add
};

struct SweepTally {
    int runs = 0;
    std::map<std::string, int> outcomes;  // "kind: outcome" -> runs
};

void PrintTally(const char *name, size_t requests, const SweepTally &t) {
    std::printf("sweep %s: %zu requests, %d faulted runs\n", name, requests, t.runs);
    for (const auto &[key, n] : t.outcomes) std::printf("  %-78s %5d\n", key.c_str(), n);
}

// Runs the healthy sequence, then every kind at every request index.
void Sweep(const char *name, Sequence &s) {
    std::vector<int64_t> base;
    auto counted = [&] {
        int64_t n = 0;
        for (size_t k = 0; k < s.boards.size(); ++k)
            n += VekSimRequestCount(s.boards[k], VEK_SIM_ANY_ENDPOINT) - base[k];
        return n;
    };
    auto begin = [&] {
        VekSimDetachAll();
        s.prepare();
        VekSimTraceClear();
        base.clear();
        for (int b : s.boards) base.push_back(VekSimRequestCount(b, VEK_SIM_ANY_ENDPOINT));
    };

    // Healthy run.
    begin();
    std::vector<int64_t> perCall;  // requests counted up to the end of each call
    const uint64_t t0 = VekSimClockMs();
    const std::vector<uint32_t> healthy = s.run([&] { perCall.push_back(counted()); });
    const uint64_t healthyMs = VekSimClockMs() - t0;
    for (size_t c = 0; c < healthy.size(); ++c) ASSERT_NE(healthy[c], kNotRun) << s.callNames[c];
    std::vector<RequestInfo> requests;
    for (size_t k = 0; k < s.boards.size(); ++k) {
        std::vector<RequestInfo> r = CountedRequests(s.boards[k]);
        ASSERT_EQ(static_cast<int64_t>(r.size()), VekSimRequestCount(s.boards[k], VEK_SIM_ANY_ENDPOINT) - base[k])
            << "trace and request count disagree on board " << s.boards[k];
        requests.insert(requests.end(), r.begin(), r.end());
    }
    ASSERT_FALSE(requests.empty());

    SweepTally tally;
    for (int kind : kKinds) {
        for (size_t i = 0; i < requests.size(); ++i) {
            const RequestInfo &request = requests[i];
            size_t first = i;  // index of this board's first request
            while (first > 0 && requests[first - 1].board == request.board) --first;
            const uint32_t nth = static_cast<uint32_t>(i - first + 1);
            SCOPED_TRACE(std::string(name) + ": " + KindName(kind) + " on request " + std::to_string(nth) +
                         " of board " + std::to_string(request.board) + " (code " + Hex(request.code) + ", endpoint " +
                         Hex(request.endpoint) + ")");
            begin();
            ASSERT_EQ(VekSimInjectFault(request.board, VEK_SIM_ANY_ENDPOINT, nth, kind), 0);
            const bool timesOut = kind == VEK_SIM_FAULT_STAY_PENDING && request.synchronousDescriptorRead();
            const uint64_t start = VekSimClockMs();
            const std::vector<uint32_t> results = s.run([] {});
            const uint64_t spent = VekSimClockMs() - start;
            ++tally.runs;

            EXPECT_TRUE(FaultFired(kind)) << "the fault never fired";
            // The call the faulted request belongs to (exact with one swept
            // board; with several, every call is checked by the rule alone).
            size_t faulted = 0;
            if (s.boards.size() == 1) {
                while (faulted + 1 < perCall.size() && perCall[faulted] < static_cast<int64_t>(i + 1)) ++faulted;
            }
            for (size_t c = 0; c < results.size(); ++c) {
                EXPECT_NE(results[c], static_cast<uint32_t>(DEV_ERR_BUSY)) << s.callNames[c];
                if (c < faulted) {
                    EXPECT_EQ(results[c], healthy[c]) << s.callNames[c] << " before the faulted call";
                } else if (results[c] != kNotRun) {
                    EXPECT_TRUE(s.allowed(c, results[c], results, kind, request))
                        << s.callNames[c] << " gave 0x" << Hex(results[c]);
                }
            }
            EXPECT_LE(spent, healthyMs + s.extraWaitMs + (timesOut ? kDescriptorTimeoutMs : 0))
                << "virtual ms; healthy run " << healthyMs;

            std::string outcome;
            if (timesOut) outcome = "ended by the driver's time limit, then ";
            for (size_t c = 0; c < results.size(); ++c) {
                if (results[c] == healthy[c]) continue;
                outcome +=
                    s.callNames[c] + "=" + (results[c] == kNotRun ? std::string("not run") : Hex(results[c])) + " ";
            }
            if (outcome.empty()) outcome = "same results as healthy";
            ++tally.outcomes[std::string(KindName(kind)) + ": " + outcome];
        }
    }
    PrintTally(name, requests.size(), tally);
    ::testing::Test::RecordProperty((std::string(name) + " runs").c_str(), tally.runs);
    VekSimDetachAll();
}

bool In(uint32_t v, std::initializer_list<uint32_t> set) { return std::find(set.begin(), set.end(), v) != set.end(); }

class FaultSweep : public ::testing::Test {
protected:
    void SetUp() override {
        vektest::SetEnvironment("VEK_NO_LIBUSB", "1");  // only virtual boards
        VekSimDetachAll();
        VekSimSetVirtualClock(1);
    }
    void TearDown() override {
        VekSimDetachAll();
        VekSimSetVirtualClock(0);
    }
};

// VekDevAlloc, VekDevInit, VekDevInquire 5, VekDevLoadFrame,
// VekDevNewFrequencySet, VekDevGetFrame, VekDevFree.
TEST_F(FaultSweep, TypicalUse) {
    enum { kAlloc, kInit, kInquire, kLoad, kFrequency, kGet, kFree };
    Sequence s;
    s.callNames = {"alloc", "init", "inquire5", "load", "frequency", "get", "free"};
    int board = -1;
    s.prepare = [&] { board = VekSimAttach(nullptr); };
    s.boards = {0};
    s.run = [&](const std::function<void()> &mark) {
        std::vector<uint32_t> r(7, kNotRun);
        DeviceHandle *handle = nullptr;
        uint8_t isVek40 = 0;
        r[kAlloc] = VekDevAlloc(0, &handle, &isVek40);
        mark();
        if (r[kAlloc] != DEV_OK) {
            EXPECT_EQ(handle, nullptr) << "a failed allocation stored a handle";
            return r;
        }
        DeviceInitParams params{0, 1000, 8, 0x12};
        r[kInit] = VekDevInit(handle, &params);
        mark();
        uint32_t type = 0;
        r[kInquire] = VekDevInquire(handle, 5, &type);
        mark();
        std::vector<uint8_t> frame(kFrameBytes);
        for (uint32_t i = 0; i < kFrameBytes; ++i) frame[i] = static_cast<uint8_t>(i * 7);
        r[kLoad] = VekDevLoadFrame(handle, frame.data(), 0x10000, kFrameBytes);
        mark();
        r[kFrequency] = VekDevNewFrequencySet(handle, 8, 20000, 0);
        mark();
        std::vector<uint8_t> back(kFrameBytes);
        r[kGet] = VekDevGetFrame(handle, back.data(), 0x10000, kFrameBytes);
        mark();
        r[kFree] = VekDevFree(handle);
        mark();
        return r;
    };
    s.allowed = [](size_t c, uint32_t v, const std::vector<uint32_t> &r, int, const RequestInfo &) {
        switch (c) {
        case kAlloc:
            return In(v, {DEV_OK, DEV_ERR_NO_DEVICE});
        // Command 15 failing gives 0x8000000e, command 14 ignores its writes,
        // command 18 gives 0x80000009, or 0x8000000f when a reply went astray.
        case kInit:
            return In(v, {DEV_OK, DEV_ERR_GRAY_DEPTH, DEV_ERR_TRANSFER, DEV_ERR_VERIFY});
        case kInquire:
            return In(v, {DEV_OK, DEV_ERR_TRANSFER});
        // Once the frame mode is known, a frame transfer returns 0 whatever
        // its transfers did; before, 0x8000000d (or 0 when command 9 failed).
        case kLoad:
        case kGet:
            return r[kInquire] == DEV_OK ? v == DEV_OK : In(v, {DEV_OK, DEV_ERR_FRAME_MODE});
        case kFrequency:
            return In(v, {DEV_OK, DEV_ERR_TRANSFER});
        case kFree:
            return v == DEV_OK;
        }
        return false;
    };
    Sweep("typical use", s);
}

// VekDevAlloc of the second of two boards: enumeration opens both, then
// board 1 is opened for the handle. Requests of both boards are swept.
TEST_F(FaultSweep, Allocation) {
    Sequence s;
    s.callNames = {"alloc", "inquire5", "free"};
    s.prepare = [&] {
        VekSimBoardConfig second{sizeof(VekSimBoardConfig), "VEK4.0 second", nullptr, 0x10000000};
        ASSERT_EQ(VekSimAttach(nullptr), 0);
        ASSERT_EQ(VekSimAttach(&second), 1);
    };
    s.boards = {0, 1};
    s.run = [&](const std::function<void()> &mark) {
        std::vector<uint32_t> r(3, kNotRun);
        DeviceHandle *handle = nullptr;
        uint8_t isVek40 = 0;
        r[0] = VekDevAlloc(1, &handle, &isVek40);
        mark();
        if (r[0] != DEV_OK) {
            EXPECT_EQ(handle, nullptr);
            return r;
        }
        uint32_t type = 0;
        r[1] = VekDevInquire(handle, 5, &type);
        mark();
        r[2] = VekDevFree(handle);
        mark();
        return r;
    };
    s.allowed = [](size_t c, uint32_t v, const std::vector<uint32_t> &, int, const RequestInfo &) {
        switch (c) {
        case 0:
            return In(v, {DEV_OK, DEV_ERR_NO_DEVICE});
        case 1:
            return In(v, {DEV_OK, DEV_ERR_TRANSFER});
        case 2:
            return v == DEV_OK;
        }
        return false;
    };
    s.extraWaitMs = kBulkWaitMs;  // the inquiry's reply; the open itself waits on nothing
    Sweep("allocation", s);
}

// VekDownloadFirmWare and DevReAlloc with dlp_usb.iic in the current
// directory; the handle is allocated before counting starts.
TEST_F(FaultSweep, FirmwareDownload) {
    vektest::ScratchDirectory dir;
    ASSERT_TRUE(dir.ok());
    // 3000 bytes from 0: two chunks (2048 at 0x0000, 952 at 0x0800).
    vektest::ScratchDirectory::WriteFirmware(vektest::IicFile({{0x0000, vektest::Bytes(3000, 3)}}));
    Sequence s;
    s.callNames = {"download", "realloc", "free"};
    DeviceHandle *handle = nullptr;
    s.prepare = [&] {
        ASSERT_EQ(VekSimAttach(nullptr), 0);
        uint8_t isVek40 = 0;
        handle = nullptr;
        ASSERT_EQ(VekDevAlloc(0, &handle, &isVek40), DEV_OK);
    };
    s.boards = {0};
    s.run = [&](const std::function<void()> &mark) {
        std::vector<uint32_t> r(3, kNotRun);
        r[0] = static_cast<uint32_t>(VekDownloadFirmWare(handle, 0));
        mark();
        r[1] = static_cast<uint32_t>(DevReAlloc(handle));
        mark();
        r[2] = VekDevFree(handle);
        mark();
        return r;
    };
    s.allowed = [](size_t c, uint32_t v, const std::vector<uint32_t> &, int kind, const RequestInfo &req) {
        const bool chunk = req.code == 0x220020 && req.bmRequestType == 0x40 && req.wValue != 0xE600;
        switch (c) {
        case 0:
            // A chunk that fails ends the download with 0, the 8051 left
            // held; a short chunk still succeeds; faults on the hold and
            // run requests go unnoticed (unless the board is gone).
            if (chunk && kind != VEK_SIM_FAULT_SHORT) {
                if (v != 0) return false;
                return VekSimControllerHeld(0) == 1;
            }
            return In(v, {0, 1});
        case 1:
            return In(v, {0, 1});
        case 2:
            return v == DEV_OK;
        }
        return false;
    };
    s.extraWaitMs = kControlTimeoutMs;
    Sweep("firmware download", s);
}

}  // namespace
