// The board's register map: every register the library and the virtual board
// use, by address, with its name and one line on its use. The only list of
// register addresses: the named constants below are looked up in it when
// compiling, the name lookups of vek_names.h export it, and the tool's trace
// summary reads it from there.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/name_table.h"

namespace vek {

inline constexpr VekNameEntry kRegisters[] = {
    {0x00, "register-0x00", "board register 0, read whole by inquiry 6", 0},
    {0x01, "control", "control bits, changed by read-modify-write (commands 1, 9-11, 13, 21, 22, 35)", 0},
    {0x02, "board-type-register", "bits 28 to 31 give the board type (inquiry 5); the host cannot change it", 0},
    {0x03, "gpio-in", "GPIO inputs, read by VekDevGetGPIO; the host cannot change them", 0},
    {0x04, "gpio-out", "GPIO outputs, written by VekDevSetGPIO", 0},
    {0x10, "frame-start", "frame start address / 16 of the next frame transfer", 0},
    {0x11, "frame-length", "frame length in bytes / 16 of the next frame transfer", 0},
    {0x12, "register-0x12", "written by command 20", 0},
    {0x13, "register-0x13", "written by command 25 with its value / 16", 0},
    {0x14, "register-0x14", "written by command 26 with its value / 16", 0},
    {0x20, "margin-register", "margin word: computed by command 14, written by 31, read by 34", 0},
    {0x21, "gray-register", "gray depth word written by command 15", 0},
    {0x22, "interval-register", "interval word: 0 by command 14, written by 32", 0},
    {0x30, "register-0x30", "written and verified by command 18 (VekDevInit)", 0},
    {0x31, "register-0x31", "written by command 19", 0},
    {0x32, "frame-go", "a write of 1 starts a frame load or readback", 0},
    {0x34, "trigger-0x34", "trigger extension register, written by VekDevTriggerExtSet", 0},
    {0x35, "trigger-enable", "trigger extension register; bit 0 enables the extension", 0},
    {0x36, "trigger-0x36", "trigger extension register, written by VekDevTriggerExtSet", 0},
    {0x37, "trigger-0x37", "trigger extension register, written by VekDevTriggerExtSet", 0},
    {0x40, "register-0x40", "written and verified by command 24, read by command 33", 0},
    {0x41, "register-0x41", "written by command 27", 0},
    {0x50, "i2c-write-register-a", "I2C write register A (command 28)", 0},
    {0x51, "i2c-status", "I2C status: bit 0 ready, bit 1 done; the host cannot change it", 0},
    {0x52, "i2c-write-register-b", "I2C write register B (command 29)", 0},
    {0x53, "i2c-read-register", "I2C read register (command 30)", 0},
    {0x60, "plane-time-15", "display time of bit plane 15, in 48 MHz counts", 0},
    {0x61, "plane-time-14", "display time of bit plane 14, in 48 MHz counts", 0},
    {0x62, "plane-time-13", "display time of bit plane 13, in 48 MHz counts", 0},
    {0x63, "plane-time-12", "display time of bit plane 12, in 48 MHz counts", 0},
    {0x64, "plane-time-11", "display time of bit plane 11, in 48 MHz counts", 0},
    {0x65, "plane-time-10", "display time of bit plane 10, in 48 MHz counts", 0},
    {0x66, "plane-time-9", "display time of bit plane 9, in 48 MHz counts", 0},
    {0x67, "plane-time-8", "display time of bit plane 8, in 48 MHz counts", 0},
    {0x68, "plane-time-7", "display time of bit plane 7, in 48 MHz counts", 0},
    {0x69, "plane-time-6", "display time of bit plane 6, in 48 MHz counts", 0},
    {0x6A, "plane-time-5", "display time of bit plane 5, in 48 MHz counts", 0},
    {0x6B, "plane-time-4", "display time of bit plane 4, in 48 MHz counts", 0},
    {0x6C, "plane-time-3", "display time of bit plane 3, in 48 MHz counts", 0},
    {0x6D, "plane-time-2", "display time of bit plane 2, in 48 MHz counts", 0},
    {0x6E, "plane-time-1", "display time of bit plane 1, in 48 MHz counts", 0},
    {0x6F, "timing-word-0", "bit-plane timing word W0, in 48 MHz counts", 0},
    {0x70, "timing-word-1", "bit-plane timing word W1, in 48 MHz counts", 0},
    {0x71, "timing-word-2", "bit-plane timing word W2, in 48 MHz counts", 0},
    {0x72, "timing-word-3", "bit-plane timing word W3, in 48 MHz counts", 0},
    {0x73, "timing-word-4", "bit-plane timing word W4, in 48 MHz counts", 0},
    {0x74, "timing-word-5", "bit-plane timing word W5, in 48 MHz counts", 0},
    {0x75, "timing-word-6", "bit-plane timing word W6, in 48 MHz counts", 0},
};
static_assert(WellOrdered(kRegisters));

// The address of the register named `name`; a name not in the map does not compile.
consteval uint32_t RegisterAddress(std::string_view name) {
    for (const VekNameEntry &row : kRegisters)
        if (name == row.name) return row.number;
    throw "no register of that name";
}

namespace reg {
inline constexpr uint32_t kBoard0 = RegisterAddress("register-0x00");
inline constexpr uint32_t kControl = RegisterAddress("control");
inline constexpr uint32_t kBoardType = RegisterAddress("board-type-register");
inline constexpr uint32_t kGpioIn = RegisterAddress("gpio-in");
inline constexpr uint32_t kGpioOut = RegisterAddress("gpio-out");
inline constexpr uint32_t kFrameStart = RegisterAddress("frame-start");
inline constexpr uint32_t kFrameLength = RegisterAddress("frame-length");
inline constexpr uint32_t kReg12 = RegisterAddress("register-0x12");
inline constexpr uint32_t kReg13 = RegisterAddress("register-0x13");
inline constexpr uint32_t kReg14 = RegisterAddress("register-0x14");
inline constexpr uint32_t kMargin = RegisterAddress("margin-register");
inline constexpr uint32_t kGray = RegisterAddress("gray-register");
inline constexpr uint32_t kInterval = RegisterAddress("interval-register");
inline constexpr uint32_t kReg30 = RegisterAddress("register-0x30");
inline constexpr uint32_t kReg31 = RegisterAddress("register-0x31");
inline constexpr uint32_t kFrameGo = RegisterAddress("frame-go");
inline constexpr uint32_t kTrigger34 = RegisterAddress("trigger-0x34");
inline constexpr uint32_t kTrigger35 = RegisterAddress("trigger-enable");
inline constexpr uint32_t kTrigger36 = RegisterAddress("trigger-0x36");
inline constexpr uint32_t kTrigger37 = RegisterAddress("trigger-0x37");
inline constexpr uint32_t kReg40 = RegisterAddress("register-0x40");
inline constexpr uint32_t kReg41 = RegisterAddress("register-0x41");
inline constexpr uint32_t kI2cWriteA = RegisterAddress("i2c-write-register-a");
inline constexpr uint32_t kI2cStatus = RegisterAddress("i2c-status");
inline constexpr uint32_t kI2cWriteB = RegisterAddress("i2c-write-register-b");
inline constexpr uint32_t kI2cRead = RegisterAddress("i2c-read-register");
inline constexpr uint32_t kPlaneTimeFirst = RegisterAddress("plane-time-1");    // plane 15 at kPlaneTimeFirst - 14
inline constexpr uint32_t kTimingWordFirst = RegisterAddress("timing-word-0");  // W6 at kTimingWordFirst + 6
}  // namespace reg

}  // namespace vek
