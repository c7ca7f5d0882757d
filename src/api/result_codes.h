// Names and one-line explanations of the result codes of the device calls,
// for tools that report them (the command-line tool, logs of host programs).
#pragma once

#include <cstdint>
#include <span>

namespace vek {

struct ResultCodeInfo {
    uint32_t code;
    const char *name;     // the constant's name in vek_dll.h, e.g. "DEV_ERR_BUSY"
    const char *meaning;  // what happened and what to do, one line
};

// Every code of vek_dll.h: the DEV_* codes and the raw transport failure
// 0xFFFFFFFF (VEK_TRANSPORT_FAILED), in ascending order.
std::span<const ResultCodeInfo> ResultCodes();
// The constant's name, or nullptr for a code that is not one of them.
const char *ResultCodeName(uint32_t code);
// The one-line meaning and advice, or nullptr for an unknown code.
const char *ResultCodeMeaning(uint32_t code);

}  // namespace vek
