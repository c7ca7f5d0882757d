// Result codes of the library, with a name, what each means and what to try.
#pragma once

#include <cstdint>
#include <string>

namespace vektool {

struct CodeInfo {
    uint32_t code;
    const char *name;
    const char *meaning;
    const char *advice;
};

// The entry for a device-call result code (DEV_OK, DEV_ERR_*), or for
// VEK_TRANSPORT_FAILED; an "unknown result code" entry for anything else.
const CodeInfo &describeCode(uint32_t code);

// All known entries, in code order (DEV_OK first, VEK_TRANSPORT_FAILED last).
const CodeInfo *allCodes(std::size_t *count);

// "0x80000009"
std::string hex32(uint32_t v);

}  // namespace vektool
