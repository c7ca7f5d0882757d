// The bit-plane timing of VekDevNewFrequencySet, as pure arithmetic: from a
// plane count n, a frame period T and an auxiliary time F (microseconds) and
// the board's load time k, the words of registers 0x6E down to 0x60 and of
// 0x6F to 0x75. Single- and double-precision steps are kept exactly as the
// board's timing expects: the figures depend on them.
#pragma once

#include <cstdint>

namespace vek {

struct BitPlaneTiming {
    uint32_t result;          // 0, or DEV_ERR_FAILED: the period cannot be met
    bool shortPeriod;         // set bit 2 of the control register (else clear it)
    uint32_t planeWords[15];  // entry i goes to register 0x6E - i
    uint32_t timingWords[7];  // W0 to W6 for registers 0x6F to 0x75
};

// Load time k in microseconds: 43 for board type 1, else 30 (also before any
// inquiry 5 has told the board type).
uint32_t LoadTimeUs(uint32_t boardType);

// planeCount 1 to 16; any other count gives DEV_ERR_FAILED.
BitPlaneTiming ComputeBitPlaneTiming(uint32_t planeCount, uint32_t framePeriodUs, uint32_t auxTimeUs,
                                     uint32_t loadTimeUs);

}  // namespace vek
