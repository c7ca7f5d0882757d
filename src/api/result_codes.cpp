#include "api/result_codes.h"

#include "vek_dll.h"

namespace vek {

namespace {

constexpr ResultCodeInfo kCodes[] = {
    {DEV_OK, "DEV_OK", "success"},
    {DEV_ERR_NO_DEVICE, "DEV_ERR_NO_DEVICE",
     "no board at that index, or it could not be opened: check the cable, the driver and the index"},
    {DEV_ERR_NULL_ARGUMENT, "DEV_ERR_NULL_ARGUMENT", "a handle, record or buffer argument was null"},
    {DEV_ERR_BUSY, "DEV_ERR_BUSY",
     "the handle stayed in use by another thread for 1000 ms (or its gate could not be created): retry, or "
     "keep one thread per handle"},
    {DEV_ERR_UNSUPPORTED, "DEV_ERR_UNSUPPORTED",
     "the command or inquiry number is not supported, or the handle output pointer was null"},
    {DEV_ERR_TRANSFER, "DEV_ERR_TRANSFER",
     "a register transfer failed on the USB link: check that the board is attached and powered, then reopen it"},
    {DEV_ERR_NO_MEMORY, "DEV_ERR_NO_MEMORY", "the library could not allocate memory for the handle"},
    {DEV_ERR_TIMING, "DEV_ERR_TIMING",
     "frequency outside 1 to 0x40000000 Hz, or a margin/interval register did not read back as written"},
    {DEV_ERR_FRAME_MODE, "DEV_ERR_FRAME_MODE",
     "frame layout unknown or unsupported: run inquiry 5 after VekDevInit and before frame transfers"},
    {DEV_ERR_GRAY_DEPTH, "DEV_ERR_GRAY_DEPTH", "gray depth outside 1 to 16, or setting it failed"},
    {DEV_ERR_VERIFY, "DEV_ERR_VERIFY", "register 0x30 or 0x40 did not read back as written"},
    {DEV_ERR_I2C_NOT_READY, "DEV_ERR_I2C_NOT_READY", "the board's I2C bus was not ready before the access"},
    {DEV_ERR_I2C_NOT_DONE, "DEV_ERR_I2C_NOT_DONE", "the board's I2C access did not report done"},
    {DEV_ERR_FAILED, "DEV_ERR_FAILED",
     "the control register did not read back as written, or the requested bit-plane timing cannot be met "
     "(plane count 1 to 16; a longer frame period or auxiliary time)"},
    {VEK_TRANSPORT_FAILED, "VEK_TRANSPORT_FAILED", "a raw register or data transfer failed (transport calls)"},
};

const ResultCodeInfo *Find(uint32_t code) {
    for (const ResultCodeInfo &info : kCodes)
        if (info.code == code) return &info;
    return nullptr;
}

}  // namespace

std::span<const ResultCodeInfo> ResultCodes() { return kCodes; }

const char *ResultCodeName(uint32_t code) {
    const ResultCodeInfo *info = Find(code);
    return info != nullptr ? info->name : nullptr;
}

const char *ResultCodeMeaning(uint32_t code) {
    const ResultCodeInfo *info = Find(code);
    return info != nullptr ? info->meaning : nullptr;
}

}  // namespace vek
