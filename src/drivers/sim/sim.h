// C++ access to the virtual board for tests: the trace as vectors, filtered
// by kind, and attaching devices straight from a DescriptorSet.
#pragma once

#include <cstdint>
#include <vector>

#include "drivers/sim/board_model.h"
#include "drivers/sim/descriptor_builder.h"
#include "drivers/sim/sim_driver.h"
#include "drivers/sim/trace.h"
#include "vek_sim.h"

namespace vek::sim {

// Every trace entry, oldest first.
inline std::vector<VekSimTraceEntry> TraceEntries() { return Trace::Instance().Snapshot(); }

// The entries of one kind; `board` -2 = every board.
inline std::vector<VekSimTraceEntry> TraceOf(uint32_t kind, int board = -2) {
    std::vector<VekSimTraceEntry> found;
    for (const VekSimTraceEntry &e : TraceEntries())
        if (e.kind == kind && (board == -2 || e.board == board)) found.push_back(e);
    return found;
}

// One register access as the board saw it.
struct RegisterAccess {
    bool read;
    uint32_t address;
    uint32_t value;  // written, or replied
    bool operator==(const RegisterAccess &) const = default;
};

inline std::vector<RegisterAccess> RegisterAccesses(int board = -2) {
    std::vector<RegisterAccess> found;
    for (const VekSimTraceEntry &e : TraceEntries()) {
        if (board != -2 && e.board != board) continue;
        if (e.kind == VEK_SIM_TRACE_REGISTER_WRITE) found.push_back({false, e.address, e.value});
        if (e.kind == VEK_SIM_TRACE_REGISTER_READ) found.push_back({true, e.address, e.value});
    }
    return found;
}

// The pauses (Sleep lengths, ms) in order.
inline std::vector<uint32_t> Pauses() {
    std::vector<uint32_t> found;
    for (const VekSimTraceEntry &e : TraceOf(VEK_SIM_TRACE_PAUSE)) found.push_back(e.value);
    return found;
}

// Attaches a device with these descriptors. The identity's empty names get
// the defaults; its speed 0 is taken from bcdUSB.
inline int AttachDevice(DescriptorSet descriptors, BoardIdentity identity = {}) {
    if (identity.deviceName.empty()) identity.deviceName = kDefaultDeviceNamePrefix;
    if (identity.friendlyName.empty()) identity.friendlyName = kDefaultFriendlyName;
    return AttachBoard(BoardSetup{std::move(descriptors), std::move(identity)});
}

// Detaches every board when it goes out of scope (a test fixture member).
struct BoardsGuard {
    BoardsGuard() = default;
    BoardsGuard(const BoardsGuard &) = delete;
    BoardsGuard &operator=(const BoardsGuard &) = delete;
    ~BoardsGuard() { VekSimDetachAll(); }
};

}  // namespace vek::sim
