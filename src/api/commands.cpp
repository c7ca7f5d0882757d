// The numbered command dispatcher (commands 1 to 35).
#include <cstdint>

#include "api/device_handle.h"
#include "api/registers.h"

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

// Read-modify-write of the control register: the first read carries 0.
template <typename Change>
uint32_t ModifyControl(DeviceHandle *h, uint32_t &word, Change change) {
    word = 0;
    if (!Read(h, reg::kControl, word)) return DEV_ERR_TRANSFER;
    word = change(word);
    if (!Write(h, reg::kControl, word)) return DEV_ERR_TRANSFER;
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

bool CommandUsesValue(uint32_t command) {
    switch (command) {
    case 8:
    case 14:
    case 15:
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22:
    case 24:
    case 25:
    case 26:
    case 27:
    case 28:
    case 29:
    case 30:
    case 31:
    case 32:
    case 33:
    case 34:
        return true;
    default:
        return false;
    }
}

uint32_t RunCommand(DeviceHandle *h, uint32_t command, uint32_t *value) {
    if (command - 1u > 34u) return DEV_ERR_UNSUPPORTED;
    if (value == nullptr && CommandUsesValue(command)) return DEV_ERR_NULL_ARGUMENT;
    uint32_t word = 0;
    switch (command) {
    case 1:
    case 11:
        return PulseBit31(h);
    case 8:
        if ((*value & 1u) == 0) return DEV_OK;
        return Write(h, reg::kControl, ctrl::kCommand8Word) ? DEV_OK : DEV_ERR_TRANSFER;
    case 9:
        return ClearFrameBit(h);
    case 10:
        return ModifyControl(h, word, [](uint32_t w) { return w | ctrl::kFrameBit; });
    case 13: {
        uint32_t rc = ModifyControl(h, word, [](uint32_t w) { return w | ctrl::kBit0; });
        if (rc != DEV_OK) return rc;
        win32::Sleep(100);
        return DEV_OK;
    }
    case 14:
        return Frequency(h, *value);
    case 15:
        return GrayDepth(h, *value);
    case 17:
        h->loadedBytes = *value & ~0xFu;
        return DEV_OK;
    case 18:
        return WriteVerify(h, reg::kReg30, *value, DEV_ERR_VERIFY);
    case 19:
        return Write(h, reg::kReg31, *value) ? DEV_OK : DEV_ERR_TRANSFER;
    case 20:
        return Write(h, reg::kReg12, *value) ? DEV_OK : DEV_ERR_TRANSFER;
    case 21:
        return SetControlBitFromValue(h, ctrl::kBit25, *value);
    case 22:
        return SetControlBitFromValue(h, ctrl::kBit26, *value);
    case 24:
        win32::Sleep(200);
        return WriteVerify(h, reg::kReg40, *value, DEV_ERR_VERIFY);
    case 25:
        return Write(h, reg::kReg13, *value / 16u) ? DEV_OK : DEV_ERR_TRANSFER;
    case 26:
        return Write(h, reg::kReg14, *value / 16u) ? DEV_OK : DEV_ERR_TRANSFER;
    case 27:
        return Write(h, reg::kReg41, *value) ? DEV_OK : DEV_ERR_TRANSFER;
    case 28:
        return I2cWrite(h, reg::kI2cWriteA, *value);
    case 29:
        return I2cWrite(h, reg::kI2cWriteB, *value);
    case 30:
        return I2cRead(h, value);
    case 31:
        return WriteVerifyClean(h, reg::kMargin, *value, DEV_ERR_TIMING);
    case 32:
        return WriteVerifyClean(h, reg::kInterval, *value, DEV_ERR_TIMING);
    case 33:
        win32::Sleep(200);
        return ReadOut(h, reg::kReg40, value);
    case 34:
        return ReadOut(h, reg::kMargin, value);
    case 35: {
        uint32_t rc = ModifyControl(h, word, [](uint32_t w) { return (w & ~0xF0u) | 0x50u; });
        if (rc != DEV_OK) return rc;
        win32::Sleep(1000);
        return DEV_OK;
    }
    default:  // 2 to 7, 12, 16, 23
        return DEV_ERR_UNSUPPORTED;
    }
}

}  // namespace vek

extern "C" VEK_API uint32_t VEK_CALL VekDevControl(DeviceHandle *handle, uint32_t command, uint32_t *value) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    vek::GateGuard gate(handle);
    if (!gate.entered()) return DEV_ERR_BUSY;
    return vek::RunCommand(handle, command, value);
}
