// A summary of the virtual board's trace: what the board was told.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace vektool {

struct TraceSummary {
    uint64_t entries = 0;
    std::map<uint32_t, uint64_t> writesPerRegister;  // address -> count
    std::map<uint32_t, uint32_t> lastWrite;          // address -> last value written
    std::map<uint32_t, uint64_t> readsPerRegister;
    uint64_t registerPackets = 0;  // 8-byte packets on 0x04 and replies on 0x86
    uint64_t dataOutTransfers = 0, dataOutBytes = 0;
    uint64_t dataInTransfers = 0, dataInBytes = 0;
    uint64_t controlRequests = 0, controlBytes = 0;
    std::map<uint32_t, uint64_t> pauses;  // ms -> count
    uint64_t faults = 0, failedRequests = 0, aborts = 0, resets = 0;

    nlohmann::json toJson() const;
    std::string toText() const;
};

// Reads the whole process-wide trace of the virtual boards.
TraceSummary summariseTrace();
// The trace as text, one line per entry.
std::string traceText();
// Writes traceText() to a file.
void writeTraceText(const std::string &path);

}  // namespace vektool
