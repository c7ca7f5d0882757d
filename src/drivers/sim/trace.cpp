#include "drivers/sim/trace.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "drivers/backend.h"

namespace vek::sim {

namespace {
std::mutex gMutex;
std::vector<VekSimTraceEntry> gEntries;
uint64_t gGeneration = 1;
std::atomic<bool> gEnabled{true};
}  // namespace

Trace &Trace::Instance() {
    static Trace trace;
    return trace;
}

VekSimTraceEntry MakeEntry(uint32_t kind, int board) {
    VekSimTraceEntry e{};
    e.kind = kind;
    e.board = board;
    e.clockMs = platform::ClockMs();
    return e;
}

void Trace::Record(VekSimTraceEntry entry) {
    if (!gEnabled.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(gMutex);
    if (gEntries.size() < kCapacity) gEntries.push_back(entry);
}

TraceTicket Trace::RecordRequest(int board, uint32_t code, uint32_t endpoint, uint32_t inLength, uint32_t outLength) {
    if (!gEnabled.load(std::memory_order_relaxed)) return {};
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_REQUEST, board);
    e.code = code;
    e.endpoint = endpoint;
    e.inLength = inLength;
    e.outLength = outLength;
    std::lock_guard lock(gMutex);
    if (gEntries.size() >= kCapacity) return {};
    gEntries.push_back(e);
    return {gGeneration, gEntries.size() - 1};
}

void Trace::SetOutcome(TraceTicket ticket, uint32_t result, uint32_t error, uint32_t bytes) {
    if (ticket.generation == 0) return;  // recorded nothing (the trace was off or full): no lock
    std::lock_guard lock(gMutex);
    if (ticket.generation != gGeneration || ticket.index >= gEntries.size()) return;
    VekSimTraceEntry &e = gEntries[ticket.index];
    e.result = result;
    e.error = error;
    e.bytes = bytes;
}

std::vector<VekSimTraceEntry> Trace::Snapshot() const {
    std::lock_guard lock(gMutex);
    return gEntries;
}

size_t Trace::Count() const {
    std::lock_guard lock(gMutex);
    return gEntries.size();
}

bool Trace::Get(size_t index, VekSimTraceEntry *entry) const {
    std::lock_guard lock(gMutex);
    if (entry == nullptr || index >= gEntries.size()) return false;
    *entry = gEntries[index];
    return true;
}

void Trace::Clear() {
    std::lock_guard lock(gMutex);
    gEntries.clear();
    gEntries.shrink_to_fit();
    ++gGeneration;
}

void Trace::Enable(bool enabled) { gEnabled.store(enabled); }
bool Trace::Enabled() const { return gEnabled.load(); }

std::string Trace::Format(const VekSimTraceEntry &e) {
    char line[256];
    const char *results[] = {"complete", "pending", "failed"};
    switch (e.kind) {
    case VEK_SIM_TRACE_REQUEST:
        std::snprintf(line, sizeof line,
                      "%llu ms board %d request 0x%06X ep 0x%02X in %u out %u -> %s error %u bytes %u",
                      static_cast<unsigned long long>(e.clockMs), e.board, e.code, e.endpoint & 0xFFu, e.inLength,
                      e.outLength, e.result < 3 ? results[e.result] : "?", e.error, e.bytes);
        break;
    case VEK_SIM_TRACE_COMPLETION:
        std::snprintf(line, sizeof line, "%llu ms board %d completion 0x%06X ep 0x%02X error %u bytes %u",
                      static_cast<unsigned long long>(e.clockMs), e.board, e.code, e.endpoint & 0xFFu, e.error,
                      e.bytes);
        break;
    case VEK_SIM_TRACE_REGISTER_WRITE:
        std::snprintf(line, sizeof line, "%llu ms board %d register write 0x%02X = 0x%08X",
                      static_cast<unsigned long long>(e.clockMs), e.board, e.address, e.value);
        break;
    case VEK_SIM_TRACE_REGISTER_READ:
        std::snprintf(line, sizeof line, "%llu ms board %d register read 0x%02X -> 0x%08X (carried 0x%08X)",
                      static_cast<unsigned long long>(e.clockMs), e.board, e.address, e.value, e.carried);
        break;
    case VEK_SIM_TRACE_CONTROL:
        std::snprintf(line, sizeof line,
                      "%llu ms board %d control bmRequestType 0x%02X bRequest 0x%02X wValue 0x%04X wIndex 0x%04X "
                      "wLength %u moved %u",
                      static_cast<unsigned long long>(e.clockMs), e.board, e.bmRequestType, e.bRequest, e.wValue,
                      e.wIndex, e.wLength, e.bytes);
        break;
    case VEK_SIM_TRACE_DATA:
        std::snprintf(line, sizeof line, "%llu ms board %d data %s ep 0x%02X asked %u moved %u",
                      static_cast<unsigned long long>(e.clockMs), e.board, e.direction ? "IN" : "OUT",
                      e.endpoint & 0xFFu, e.length, e.bytes);
        break;
    case VEK_SIM_TRACE_ABORT:
        std::snprintf(line, sizeof line, "%llu ms board %d abort ep 0x%02X ended %u",
                      static_cast<unsigned long long>(e.clockMs), e.board, e.endpoint & 0xFFu, e.bytes);
        break;
    case VEK_SIM_TRACE_RESET:
        std::snprintf(line, sizeof line, "%llu ms board %d reset ep 0x%02X", static_cast<unsigned long long>(e.clockMs),
                      e.board, e.endpoint & 0xFFu);
        break;
    case VEK_SIM_TRACE_PAUSE:
        std::snprintf(line, sizeof line, "%llu ms pause %u ms", static_cast<unsigned long long>(e.clockMs), e.value);
        break;
    case VEK_SIM_TRACE_FAULT:
        std::snprintf(line, sizeof line, "%llu ms board %d fault %u on ep 0x%X",
                      static_cast<unsigned long long>(e.clockMs), e.board, e.value, e.endpoint);
        break;
    case VEK_SIM_TRACE_ATTACH:
        std::snprintf(line, sizeof line, "%llu ms board %d attached", static_cast<unsigned long long>(e.clockMs),
                      e.board);
        break;
    case VEK_SIM_TRACE_DETACH:
        std::snprintf(line, sizeof line, "%llu ms board %d detached", static_cast<unsigned long long>(e.clockMs),
                      e.board);
        break;
    default:
        std::snprintf(line, sizeof line, "%llu ms board %d kind %u", static_cast<unsigned long long>(e.clockMs),
                      e.board, e.kind);
        break;
    }
    return line;
}

std::string Trace::Text() const {
    std::string text;
    for (const VekSimTraceEntry &e : Snapshot()) {
        text += Format(e);
        text += '\n';
    }
    return text;
}

}  // namespace vek::sim
