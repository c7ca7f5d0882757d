// The virtual board's trace: one process-wide, ordered record of every
// request, register access, control request, data move, abort, reset and
// pause, each entry tagged with its board (-1 for pauses). Shared by every
// front of the board model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vek_sim.h"

namespace vek::sim {

// A REQUEST entry is recorded when the request arrives, before its effects,
// and its outcome is filled in when the call returns; the ticket names it.
struct TraceTicket {
    uint64_t generation = 0;
    uint64_t index = UINT64_MAX;
};

class Trace {
public:
    static Trace &Instance();

    void Record(VekSimTraceEntry entry);
    TraceTicket RecordRequest(int board, uint32_t code, uint32_t endpoint, uint32_t inLength, uint32_t outLength);
    void SetOutcome(TraceTicket ticket, uint32_t result, uint32_t error, uint32_t bytes);

    std::vector<VekSimTraceEntry> Snapshot() const;
    size_t Count() const;
    bool Get(size_t index, VekSimTraceEntry *entry) const;
    void Clear();
    void Enable(bool enabled);
    bool Enabled() const;

    static std::string Format(const VekSimTraceEntry &entry);
    std::string Text() const;

    static constexpr size_t kCapacity = size_t{1} << 20;

private:
    Trace() = default;
};

// Helpers that fill one entry of each kind.
VekSimTraceEntry MakeEntry(uint32_t kind, int board);

}  // namespace vek::sim
