// The board's register map as the device calls use it, and the small pieces
// of arithmetic that turn command arguments into register words.
#pragma once

#include <cstdint>

namespace vek {

namespace reg {
inline constexpr uint32_t kBoard0 = 0x00;     // read whole by inquiry 6
inline constexpr uint32_t kControl = 0x01;    // control bits
inline constexpr uint32_t kBoardType = 0x02;  // bits 28-31: board type
inline constexpr uint32_t kGpioIn = 0x03;
inline constexpr uint32_t kGpioOut = 0x04;
inline constexpr uint32_t kFrameStart = 0x10;   // byte address / 16
inline constexpr uint32_t kFrameLength = 0x11;  // bytes / 16
inline constexpr uint32_t kReg12 = 0x12;
inline constexpr uint32_t kReg13 = 0x13;
inline constexpr uint32_t kReg14 = 0x14;
inline constexpr uint32_t kMargin = 0x20;
inline constexpr uint32_t kGray = 0x21;
inline constexpr uint32_t kInterval = 0x22;
inline constexpr uint32_t kReg30 = 0x30;
inline constexpr uint32_t kReg31 = 0x31;
inline constexpr uint32_t kFrameGo = 0x32;
inline constexpr uint32_t kTrigger34 = 0x34;
inline constexpr uint32_t kTrigger35 = 0x35;  // bit 0: trigger extension enable
inline constexpr uint32_t kTrigger36 = 0x36;
inline constexpr uint32_t kTrigger37 = 0x37;
inline constexpr uint32_t kReg40 = 0x40;
inline constexpr uint32_t kReg41 = 0x41;
inline constexpr uint32_t kI2cWriteA = 0x50;
inline constexpr uint32_t kI2cStatus = 0x51;
inline constexpr uint32_t kI2cWriteB = 0x52;
inline constexpr uint32_t kI2cRead = 0x53;
inline constexpr uint32_t kPlaneTimeFirst = 0x6E;   // plane 1; plane 15 at 0x60
inline constexpr uint32_t kTimingWordFirst = 0x6F;  // W0; W6 at 0x75
}  // namespace reg

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
// Board type (1, 2, 3 or 255) from register 0x02, and the frame layout it
// implies, (type * 2^27) AND 0xF0000000 in 32 bits.
uint32_t BoardTypeFromRegister(uint32_t reg02);
uint32_t FrameModeFromBoardType(uint32_t boardType);
// Whether the command reads or writes its value word.
bool CommandUsesValue(uint32_t command);

}  // namespace vek
