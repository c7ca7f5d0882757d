#include "trace_summary.hpp"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "common.hpp"
#include "progress.hpp"
#include "vek_names.h"
#include "vek_sim.h"

namespace vektool {
namespace {

// A register's name from the library's register map; "" for one it does not name.
std::string registerName(uint32_t address) {
    const VekNameEntry *entry = VekNameOf(VEK_TABLE_REGISTERS, address);
    return entry != nullptr ? entry->name : "";
}

// The name of a numbered run of registers ("plane-time" of "plane-time-3"), or
// "" for a register of its own; the summary shows a run's writes on one line.
std::string runName(const std::string &name) {
    const std::size_t dash = name.rfind('-');
    if (dash == std::string::npos || dash + 1 == name.size()) return "";
    for (std::size_t i = dash + 1; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return "";
    return name.substr(0, dash);
}

}  // namespace

TraceSummary summariseTrace() {
    TraceSummary s;
    const uint32_t n = VekSimTraceCount();
    s.entries = n;
    VekSimTraceEntry e;
    uint64_t repliesDue = 0;  // register reads whose 8-byte reply on 0x86 is still to come
    for (uint32_t i = 0; i < n; ++i) {
        if (VekSimTraceGet(i, &e) != 0) break;
        switch (e.kind) {
        case VEK_SIM_TRACE_REQUEST:
            if (e.result == VEK_SIM_RESULT_FAILED) ++s.failedRequests;
            break;
        case VEK_SIM_TRACE_REGISTER_WRITE:
            ++s.writesPerRegister[e.address];
            s.lastWrite[e.address] = e.value;
            break;
        case VEK_SIM_TRACE_REGISTER_READ:
            ++s.readsPerRegister[e.address];
            ++repliesDue;
            break;
        case VEK_SIM_TRACE_CONTROL:
            ++s.controlRequests;
            s.controlBytes += e.bytes;
            break;
        case VEK_SIM_TRACE_DATA:
            if (e.direction == 0 && e.endpoint == 0x04) {
                ++s.registerPackets;
            } else if (e.direction == 0) {
                ++s.dataOutTransfers;
                s.dataOutBytes += e.bytes;
            } else if (repliesDue > 0) {
                --repliesDue;
                ++s.registerPackets;
            } else {
                ++s.dataInTransfers;
                s.dataInBytes += e.bytes;
            }
            break;
        case VEK_SIM_TRACE_ABORT:
            ++s.aborts;
            break;
        case VEK_SIM_TRACE_RESET:
            ++s.resets;
            break;
        case VEK_SIM_TRACE_PAUSE:
            ++s.pauses[e.value];
            break;
        case VEK_SIM_TRACE_FAULT:
            ++s.faults;
            break;
        default:
            break;
        }
    }
    return s;
}

std::string traceText() {
    uint32_t need = VekSimTraceText(nullptr, 0);
    std::vector<char> text(static_cast<std::size_t>(need) + 1);
    VekSimTraceText(text.data(), static_cast<uint32_t>(text.size()));
    return std::string(text.data(), need);
}

void writeTraceText(const std::string &path) {
    const std::string text = traceText();
    writeFile(path, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

nlohmann::json TraceSummary::toJson() const {
    nlohmann::json j;
    j["entries"] = entries;
    auto regs = [](const std::map<uint32_t, uint64_t> &m) {
        nlohmann::json o = nlohmann::json::object();
        for (const auto &[a, c] : m) o[hex32(a)] = c;
        return o;
    };
    j["register_writes"] = regs(writesPerRegister);
    j["register_reads"] = regs(readsPerRegister);
    nlohmann::json last = nlohmann::json::object();
    for (const auto &[a, v] : lastWrite) last[hex32(a)] = v;
    j["last_values"] = last;
    j["register_packets"] = registerPackets;
    j["data_out"] = {{"transfers", dataOutTransfers}, {"bytes", dataOutBytes}};
    j["data_in"] = {{"transfers", dataInTransfers}, {"bytes", dataInBytes}};
    j["control_requests"] = {{"count", controlRequests}, {"bytes", controlBytes}};
    nlohmann::json p = nlohmann::json::object();
    for (const auto &[ms, c] : pauses) p[std::to_string(ms) + " ms"] = c;
    j["pauses"] = p;
    j["failed_requests"] = failedRequests;
    j["faults"] = faults;
    j["aborts"] = aborts;
    j["pipe_resets"] = resets;
    return j;
}

std::string TraceSummary::toText() const {
    std::string t;
    char line[256];
    uint64_t writes = 0, reads = 0, pauseMs = 0, pauseCount = 0;
    for (const auto &[a, c] : writesPerRegister) writes += c;
    for (const auto &[a, c] : readsPerRegister) reads += c;
    for (const auto &[ms, c] : pauses) {
        pauseMs += ms * c;
        pauseCount += c;
    }
    std::snprintf(line, sizeof line, "  %llu trace entries: %llu register writes, %llu register reads\n",
                  static_cast<unsigned long long>(entries), static_cast<unsigned long long>(writes),
                  static_cast<unsigned long long>(reads));
    t += line;
    t += "  registers written (times, last value):\n";
    // A run of numbered registers (the bit-plane times, the timing words) is shown as one line.
    std::string group, groupName;
    uint32_t groupFirst = 0, groupLast = 0;
    auto flush = [&] {
        if (group.empty()) return;
        std::snprintf(line, sizeof line, "    0x%02X-0x%02X %s:", groupFirst, groupLast, groupName.c_str());
        t += line + group + "\n";
        group.clear();
    };
    for (const auto &[a, c] : writesPerRegister) {
        const std::string name = registerName(a), run = runName(name);
        if (!run.empty()) {
            if (group.empty() || run != groupName || a != groupLast + 1) {
                flush();
                groupName = run;
                groupFirst = a;
            }
            groupLast = a;
            group.append(" ").append(
                std::to_string(lastWrite.at(a)));  // not " " + ...: GCC 12 -O3 -Wrestrict false positive
            continue;
        }
        flush();
        std::snprintf(line, sizeof line, "    0x%02X %-16s x%-4llu last %s\n", a, name.c_str(),
                      static_cast<unsigned long long>(c), hex32(lastWrite.at(a)).c_str());
        t += line;
    }
    flush();
    t += "  registers read (times):";
    int k = 0;
    for (const auto &[a, c] : readsPerRegister) {
        std::snprintf(line, sizeof line, "%s 0x%02X x%llu", k++ ? "," : "", a, static_cast<unsigned long long>(c));
        t += line;
    }
    t += "\n";
    std::snprintf(
        line, sizeof line, "  frame data: %llu transfers out (%s), %llu transfers in (%s); %llu register packets\n",
        static_cast<unsigned long long>(dataOutTransfers), humanBytes(static_cast<double>(dataOutBytes)).c_str(),
        static_cast<unsigned long long>(dataInTransfers), humanBytes(static_cast<double>(dataInBytes)).c_str(),
        static_cast<unsigned long long>(registerPackets));
    t += line;
    if (controlRequests) {
        std::snprintf(line, sizeof line, "  control requests: %llu (%s)\n",
                      static_cast<unsigned long long>(controlRequests),
                      humanBytes(static_cast<double>(controlBytes)).c_str());
        t += line;
    }
    t += "  pauses:";
    k = 0;
    for (const auto &[ms, c] : pauses) {
        std::snprintf(line, sizeof line, "%s %llu x %u ms", k++ ? "," : "", static_cast<unsigned long long>(c), ms);
        t += line;
    }
    std::snprintf(line, sizeof line, "%s (%.1f s of board time)\n", pauseCount ? "" : " none",
                  static_cast<double>(pauseMs) / 1000.0);
    t += line;
    if (failedRequests || faults || aborts || resets) {
        std::snprintf(line, sizeof line, "  failed requests %llu, faults %llu, aborts %llu, pipe resets %llu\n",
                      static_cast<unsigned long long>(failedRequests), static_cast<unsigned long long>(faults),
                      static_cast<unsigned long long>(aborts), static_cast<unsigned long long>(resets));
        t += line;
    }
    return t;
}

}  // namespace vektool
