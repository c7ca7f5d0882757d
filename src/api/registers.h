// The control and I2C status bits, and the small pieces of arithmetic that
// turn command arguments into register words (the register map itself is in
// protocol/registers.h).
#pragma once

#include <cstdint>

#include "protocol/registers.h"

namespace vek {

namespace ctrl {
inline constexpr uint32_t kBit0 = 1u << 0;
inline constexpr uint32_t kFrameBit = 1u << 1;  // cleared by command 9, set by 10, inquiry 0
inline constexpr uint32_t kShortTiming = 1u << 2;
inline constexpr uint32_t kBit25 = 1u << 25;
inline constexpr uint32_t kBit26 = 1u << 26;
inline constexpr uint32_t kCommand8Word = 0x40000000u;
}  // namespace ctrl

namespace i2c {
inline constexpr uint32_t kReady = 1u << 0;
inline constexpr uint32_t kDone = 1u << 1;
}  // namespace i2c

inline constexpr uint32_t kClockHz = 48000000;
inline constexpr uint32_t kMarginBase = 1200;
inline constexpr uint32_t kMaxFrequency = 0x40000000;

// Margin word of the frequency command: 3 / (48000000 / f - 1200) in unsigned
// 32-bit arithmetic, and 0 where the divisor is 0 (39967 to 40000 Hz).
// `frequency` is 1 to 0x40000000.
uint32_t FrequencyMargin(uint32_t frequency);
// Gray depth word of command 15 for a depth of 1 to 16.
uint32_t GrayWord(uint32_t depth);

}  // namespace vek
