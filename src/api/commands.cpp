// The command table of VekDevControl: each command's number, name, meaning,
// value use and work, in one row; the dispatcher and the name lookups read it.
#include <cstdint>

#include "api/device_handle.h"
#include "api/registers.h"
#include "api/tables.h"

namespace vek {

namespace {

// One register access on the handle's device: true on success.
bool Write(DeviceHandle *h, uint32_t address, uint32_t value) {
    return VekWriteReg(h->device, address, &value) == kTransportOk;
}
// Reads into `word`; the request carries the word's current content.
bool Read(DeviceHandle *h, uint32_t address, uint32_t &word) {
    return VekReadReg(h->device, address, &word) == kTransportOk;
}

// A write whose failure is the command's result.
uint32_t WriteChecked(DeviceHandle *h, uint32_t address, uint32_t value) {
    return Write(h, address, value) ? DEV_OK : DEV_ERR_TRANSFER;
}

// Read-modify-write of the control register: the first read carries 0.
template <typename Change>
uint32_t ModifyControl(DeviceHandle *h, uint32_t &word, Change change) {
    word = 0;
    if (!Read(h, reg::kControl, word)) return DEV_ERR_TRANSFER;
    word = change(word);
    if (!Write(h, reg::kControl, word)) return DEV_ERR_TRANSFER;
    return DEV_OK;
}

// Replaces the control bits under `mask` with `bits`, then pauses.
uint32_t ModifyControlThenWait(DeviceHandle *h, uint32_t mask, uint32_t bits, uint32_t pauseMs) {
    uint32_t word = 0;
    const uint32_t rc = ModifyControl(h, word, [&](uint32_t w) { return (w & ~mask) | bits; });
    if (rc != DEV_OK) return rc;
    win32::Sleep(pauseMs);
    return DEV_OK;
}

uint32_t PulseBit31(DeviceHandle *h) {
    uint32_t word = 0;
    uint32_t rc = ModifyControl(h, word, [](uint32_t w) { return w | 0x80000000u; });
    if (rc != DEV_OK) return rc;
    if (!Read(h, reg::kControl, word)) return DEV_ERR_TRANSFER;
    win32::Sleep(100);
    word &= ~0x80000000u;
    return Write(h, reg::kControl, word) ? DEV_OK : DEV_ERR_TRANSFER;
}

uint32_t ClearFrameBit(DeviceHandle *h) {
    uint32_t word = 0;
    uint32_t rc = ModifyControl(h, word, [](uint32_t w) { return w & ~ctrl::kFrameBit; });
    if (rc != DEV_OK) return rc;
    uint32_t check = 0;
    if (!Read(h, reg::kControl, check)) return DEV_ERR_TRANSFER;
    return check == word ? DEV_OK : DEV_ERR_FAILED;
}

uint32_t SetControlBitFromValue(DeviceHandle *h, uint32_t bit, uint32_t value) {
    uint32_t word = 0;
    uint32_t rc = ModifyControl(h, word, [&](uint32_t w) { return value == 1 ? (w | bit) : (w & ~bit); });
    if (rc != DEV_OK) return rc;
    return Read(h, reg::kControl, word) ? DEV_OK : DEV_ERR_TRANSFER;
}

// Write, then read back into a word that holds the written value.
uint32_t WriteVerify(DeviceHandle *h, uint32_t address, uint32_t value, uint32_t mismatch) {
    if (!Write(h, address, value)) return DEV_ERR_TRANSFER;
    uint32_t word = value;
    if (!Read(h, address, word)) return DEV_ERR_TRANSFER;
    return word == value ? DEV_OK : mismatch;
}

// Write, then read back into a second word cleared to 0.
uint32_t WriteVerifyClean(DeviceHandle *h, uint32_t address, uint32_t value, uint32_t mismatch) {
    if (!Write(h, address, value)) return DEV_ERR_TRANSFER;
    uint32_t word = 0;
    if (!Read(h, address, word)) return DEV_ERR_TRANSFER;
    return word == value ? DEV_OK : mismatch;
}

uint32_t Frequency(DeviceHandle *h, uint32_t f) {
    if (f == 0 || f > kMaxFrequency) return DEV_ERR_TIMING;
    Write(h, reg::kMargin, FrequencyMargin(f));
    Write(h, reg::kInterval, 0);
    return DEV_OK;
}

uint32_t GrayDepth(DeviceHandle *h, uint32_t n) {
    if (n < 1 || n > 16) return DEV_ERR_GRAY_DEPTH;
    uint32_t word = GrayWord(n);
    if (!Write(h, reg::kGray, word)) return DEV_ERR_TRANSFER;
    h->grayBits = n;
    return Read(h, reg::kGray, word) ? DEV_OK : DEV_ERR_TRANSFER;
}

uint32_t I2cWrite(DeviceHandle *h, uint32_t dataRegister, uint32_t value) {
    win32::Sleep(20);
    uint32_t status = 0;
    if (!Read(h, reg::kI2cStatus, status)) return DEV_ERR_TRANSFER;
    if ((status & i2c::kReady) == 0) return DEV_ERR_I2C_NOT_READY;
    win32::Sleep(20);
    if (!Write(h, dataRegister, value)) return DEV_ERR_TRANSFER;
    win32::Sleep(20);
    if (!Read(h, reg::kI2cStatus, status)) return DEV_ERR_TRANSFER;
    return (status & i2c::kDone) != 0 ? DEV_OK : DEV_ERR_I2C_NOT_DONE;
}

uint32_t I2cRead(DeviceHandle *h, uint32_t *value) {
    win32::Sleep(20);
    uint32_t status = 0;
    if (!Read(h, reg::kI2cStatus, status)) return DEV_ERR_TRANSFER;
    if ((status & i2c::kReady) == 0) return DEV_ERR_I2C_NOT_READY;
    win32::Sleep(20);
    if (!Read(h, reg::kI2cRead, *value)) return DEV_ERR_TRANSFER;
    win32::Sleep(20);
    if (!Read(h, reg::kI2cStatus, status)) return DEV_ERR_TRANSFER;
    return (status & i2c::kDone) != 0 ? DEV_OK : DEV_ERR_I2C_NOT_DONE;
}

uint32_t ReadOut(DeviceHandle *h, uint32_t address, uint32_t *value) {
    uint32_t word = 0;
    if (!Read(h, address, word)) return DEV_ERR_TRANSFER;
    *value = word;
    return DEV_OK;
}

}  // namespace

uint32_t FrequencyMargin(uint32_t frequency) {
    const uint32_t d = kClockHz / frequency - kMarginBase;  // wraps above 40000 Hz
    // 39967 to 40000 Hz: d is 0 and the division has no divisor; the margin is
    // 0, as for every frequency above the band.
    return d == 0 ? 0 : 3u / d;
}

uint32_t GrayWord(uint32_t n) { return ((1u << n) - 2u) | ((n - 1u) << 24); }

namespace {

// A command's work: `value` is non-null whenever the row's value use is not VEK_VALUE_NONE.
using CommandHandler = uint32_t (*)(DeviceHandle *h, uint32_t *value);

struct CommandRow {
    VekNameEntry entry;  // number, name, meaning, value use (VEK_VALUE_*)
    CommandHandler run;
};

// The commands of VekDevControl: a number not listed here is refused.
constexpr CommandRow kCommands[] = {
    {{1, "pulse", "pulse bit 31 of the control register (set, 100 ms, clear)", VEK_VALUE_NONE},
     [](DeviceHandle *h, uint32_t *) { return PulseBit31(h); }},
    {{8, "control-word", "if bit 0 of VALUE is 1, write 0x40000000 to the control register", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) {
         if ((*value & 1u) == 0) return DEV_OK;
         return WriteChecked(h, reg::kControl, ctrl::kCommand8Word);
     }},
    {{9, "clear-bit1", "clear bit 1 of the control register and verify it", VEK_VALUE_NONE},
     [](DeviceHandle *h, uint32_t *) { return ClearFrameBit(h); }},
    {{10, "set-bit1", "set bit 1 of the control register", VEK_VALUE_NONE},
     [](DeviceHandle *h, uint32_t *) {
         uint32_t word = 0;
         return ModifyControl(h, word, [](uint32_t w) { return w | ctrl::kFrameBit; });
     }},
    {{11, "pulse2", "the same pulse of bit 31 as 'pulse'", VEK_VALUE_NONE},
     [](DeviceHandle *h, uint32_t *) { return PulseBit31(h); }},
    {{13, "set-bit0", "set bit 0 of the control register, then wait 100 ms", VEK_VALUE_NONE},
     [](DeviceHandle *h, uint32_t *) { return ModifyControlThenWait(h, ctrl::kBit0, ctrl::kBit0, 100); }},
    {{14, "frequency", "set the frequency, VALUE in Hz (1 to 1073741824)", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return Frequency(h, *value); }},
    {{15, "gray-depth", "set the gray depth, VALUE bit planes (1 to 16)", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return GrayDepth(h, *value); }},
    {{17, "loaded-bytes", "set the running frame byte count (the next load address) to VALUE", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) {
         h->loadedBytes = *value & ~0xFu;
         return DEV_OK;
     }},
    {{18, "reg30", "write VALUE to register 0x30 and verify it", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return WriteVerify(h, reg::kReg30, *value, DEV_ERR_VERIFY); }},
    {{19, "reg31", "write VALUE to register 0x31", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return WriteChecked(h, reg::kReg31, *value); }},
    {{20, "reg12", "write VALUE to register 0x12", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return WriteChecked(h, reg::kReg12, *value); }},
    {{21, "bit25", "VALUE 1 sets bit 25 of the control register, anything else clears it", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return SetControlBitFromValue(h, ctrl::kBit25, *value); }},
    {{22, "bit26", "VALUE 1 sets bit 26 of the control register, anything else clears it", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return SetControlBitFromValue(h, ctrl::kBit26, *value); }},
    {{24, "reg40", "wait 200 ms, write VALUE to register 0x40 and verify it", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) {
         win32::Sleep(200);  // before the write
         return WriteVerify(h, reg::kReg40, *value, DEV_ERR_VERIFY);
     }},
    {{25, "reg13", "write VALUE / 16 to register 0x13", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return WriteChecked(h, reg::kReg13, *value / 16u); }},
    {{26, "reg14", "write VALUE / 16 to register 0x14", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return WriteChecked(h, reg::kReg14, *value / 16u); }},
    {{27, "reg41", "write VALUE to register 0x41", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return WriteChecked(h, reg::kReg41, *value); }},
    {{28, "i2c-write-a", "I2C write of VALUE through register 0x50", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return I2cWrite(h, reg::kI2cWriteA, *value); }},
    {{29, "i2c-write-b", "I2C write of VALUE through register 0x52", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return I2cWrite(h, reg::kI2cWriteB, *value); }},
    {{30, "i2c-read", "I2C read through register 0x53 (VALUE is sent with the request)", VEK_VALUE_INOUT},
     [](DeviceHandle *h, uint32_t *value) { return I2cRead(h, value); }},
    {{31, "margin", "write VALUE to the margin register 0x20 and verify it", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return WriteVerifyClean(h, reg::kMargin, *value, DEV_ERR_TIMING); }},
    {{32, "interval", "write VALUE to the interval register 0x22 and verify it", VEK_VALUE_IN},
     [](DeviceHandle *h, uint32_t *value) { return WriteVerifyClean(h, reg::kInterval, *value, DEV_ERR_TIMING); }},
    {{33, "read-reg40", "wait 200 ms, read register 0x40", VEK_VALUE_OUT},
     [](DeviceHandle *h, uint32_t *value) {
         win32::Sleep(200);  // before the read
         return ReadOut(h, reg::kReg40, value);
     }},
    {{34, "read-margin", "read the margin register 0x20", VEK_VALUE_OUT},
     [](DeviceHandle *h, uint32_t *value) { return ReadOut(h, reg::kMargin, value); }},
    {{35, "mode5", "set bits 4 to 7 of the control register to 0101, then wait 1 s", VEK_VALUE_NONE},
     [](DeviceHandle *h, uint32_t *) { return ModifyControlThenWait(h, 0xF0u, 0x50u, 1000); }},
};

constexpr auto kCommandEntries = EntriesOf(kCommands);
static_assert(WellOrdered(kCommandEntries));

}  // namespace

std::span<const VekNameEntry> CommandEntries() { return kCommandEntries; }

uint32_t RunCommand(DeviceHandle *h, uint32_t command, uint32_t *value) {
    const CommandRow *row = FindRow(kCommands, command);
    if (row == nullptr) return DEV_ERR_UNSUPPORTED;
    if (value == nullptr && row->entry.value != VEK_VALUE_NONE) return DEV_ERR_NULL_ARGUMENT;
    return row->run(h, value);
}

}  // namespace vek

extern "C" VEK_API uint32_t VEK_CALL VekDevControl(DeviceHandle *handle, uint32_t command, uint32_t *value) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    vek::GateGuard gate(handle);
    if (!gate.entered()) return DEV_ERR_BUSY;
    return vek::RunCommand(handle, command, value);
}
