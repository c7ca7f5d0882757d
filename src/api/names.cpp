// The one table of names: result codes, commands and inquiries, for tools and
// language bindings that show or accept them (vek_names.h).
#include <cstring>
#include <span>

#include "vek_names.h"

namespace vek {
namespace {

constexpr VekNameEntry kResults[] = {
    {DEV_OK, "DEV_OK", "success", 0},
    {DEV_ERR_NO_DEVICE, "DEV_ERR_NO_DEVICE",
     "no board at that index, or it could not be opened: check the cable, the power, the driver and the index", 0},
    {DEV_ERR_NULL_ARGUMENT, "DEV_ERR_NULL_ARGUMENT",
     "a handle, parameter record or data buffer passed to the library was null: a fault of the calling program", 0},
    {DEV_ERR_BUSY, "DEV_ERR_BUSY",
     "the handle stayed in use by another thread for 1000 ms (or its gate could not be created): retry, or keep "
     "one thread per handle",
     0},
    {DEV_ERR_UNSUPPORTED, "DEV_ERR_UNSUPPORTED",
     "the command or inquiry number is not one the library supports, or the handle output pointer was null", 0},
    {DEV_ERR_TRANSFER, "DEV_ERR_TRANSFER",
     "a register transfer failed on the USB link: check the cable and hub, replug the board, then reopen it", 0},
    {DEV_ERR_NO_MEMORY, "DEV_ERR_NO_MEMORY", "the library could not allocate memory for the handle", 0},
    {DEV_ERR_TIMING, "DEV_ERR_TIMING",
     "the frequency is outside 1 to 1073741824 Hz, or a margin/interval register did not read back as written", 0},
    {DEV_ERR_FRAME_MODE, "DEV_ERR_FRAME_MODE",
     "the frame layout is unknown: run inquiry 5 after VekDevInit and before frame transfers (board types 1, 2, 3 "
     "have one)",
     0},
    {DEV_ERR_GRAY_DEPTH, "DEV_ERR_GRAY_DEPTH",
     "the gray depth is outside 1 to 16 bit planes, or the board did not take it", 0},
    {DEV_ERR_VERIFY, "DEV_ERR_VERIFY",
     "register 0x30 or 0x40 did not read back the value written: check the value suits it, and the connection", 0},
    {DEV_ERR_I2C_NOT_READY, "DEV_ERR_I2C_NOT_READY",
     "the board's I2C bus was not ready before the access (status bit 0 clear): wait and retry", 0},
    {DEV_ERR_I2C_NOT_DONE, "DEV_ERR_I2C_NOT_DONE",
     "the board's I2C access did not report done (status bit 1 clear): check the value and the I2C device", 0},
    {DEV_ERR_FAILED, "DEV_ERR_FAILED",
     "the control register did not read back as written, or the bit-plane timing cannot be met: use 1 to 16 "
     "planes, a longer frame period, or an aux time of 0 or at least 3 x (load time + 13) us",
     0},
    {VEK_TRANSPORT_FAILED, "VEK_TRANSPORT_FAILED",
     "a raw register or data transfer failed on the USB link: check the cable and hub, then retry", 0},
};

constexpr VekNameEntry kCommands[] = {
    {1, "pulse", "pulse bit 31 of the control register (set, 100 ms, clear)", VEK_VALUE_NONE},
    {8, "control-word", "if bit 0 of VALUE is 1, write 0x40000000 to the control register", VEK_VALUE_IN},
    {9, "clear-bit1", "clear bit 1 of the control register and verify it", VEK_VALUE_NONE},
    {10, "set-bit1", "set bit 1 of the control register", VEK_VALUE_NONE},
    {11, "pulse2", "the same pulse of bit 31 as 'pulse'", VEK_VALUE_NONE},
    {13, "set-bit0", "set bit 0 of the control register, then wait 100 ms", VEK_VALUE_NONE},
    {14, "frequency", "set the frequency, VALUE in Hz (1 to 1073741824)", VEK_VALUE_IN},
    {15, "gray-depth", "set the gray depth, VALUE bit planes (1 to 16)", VEK_VALUE_IN},
    {17, "loaded-bytes", "set the running frame byte count (the next load address) to VALUE", VEK_VALUE_IN},
    {18, "reg30", "write VALUE to register 0x30 and verify it", VEK_VALUE_IN},
    {19, "reg31", "write VALUE to register 0x31", VEK_VALUE_IN},
    {20, "reg12", "write VALUE to register 0x12", VEK_VALUE_IN},
    {21, "bit25", "VALUE 1 sets bit 25 of the control register, anything else clears it", VEK_VALUE_IN},
    {22, "bit26", "VALUE 1 sets bit 26 of the control register, anything else clears it", VEK_VALUE_IN},
    {24, "reg40", "wait 200 ms, write VALUE to register 0x40 and verify it", VEK_VALUE_IN},
    {25, "reg13", "write VALUE / 16 to register 0x13", VEK_VALUE_IN},
    {26, "reg14", "write VALUE / 16 to register 0x14", VEK_VALUE_IN},
    {27, "reg41", "write VALUE to register 0x41", VEK_VALUE_IN},
    {28, "i2c-write-a", "I2C write of VALUE through register 0x50", VEK_VALUE_IN},
    {29, "i2c-write-b", "I2C write of VALUE through register 0x52", VEK_VALUE_IN},
    {30, "i2c-read", "I2C read through register 0x53 (VALUE is sent with the request)", VEK_VALUE_INOUT},
    {31, "margin", "write VALUE to the margin register 0x20 and verify it", VEK_VALUE_IN},
    {32, "interval", "write VALUE to the interval register 0x22 and verify it", VEK_VALUE_IN},
    {33, "read-reg40", "wait 200 ms, read register 0x40", VEK_VALUE_OUT},
    {34, "read-margin", "read the margin register 0x20", VEK_VALUE_OUT},
    {35, "mode5", "set bits 4 to 7 of the control register to 0101, then wait 1 s", VEK_VALUE_NONE},
};

constexpr VekNameEntry kInquiries[] = {
    {0, "bit1", "1 if bit 1 of the control register is set, else 0", 0},
    {2, "fixed-2", "a fixed value, 4096", 0},
    {3, "fixed-3", "a fixed value, 4096", 0},
    {4, "fixed-4", "a fixed value, 0x120315", 0},
    {5, "board-type", "the board type (1: 1920x1080, 2 or 3: 1024x768, 255: unknown); sets the frame layout", 0},
    {6, "register0", "board register 0x00", 0},
    {7, "fixed-7", "a fixed value, 0x120315", 0},
    {17, "loaded-bytes", "the running frame byte count: where the next frame goes", 0},
    {23, "control-register", "the whole control register 0x01", 0},
};

std::span<const VekNameEntry> Table(uint32_t table) {
    switch (table) {
    case VEK_TABLE_RESULTS:
        return kResults;
    case VEK_TABLE_COMMANDS:
        return kCommands;
    case VEK_TABLE_INQUIRIES:
        return kInquiries;
    default:
        return {};
    }
}

const char *NameOrNull(const VekNameEntry *entry) { return entry != nullptr ? entry->name : nullptr; }

}  // namespace
}  // namespace vek

extern "C" VEK_API const VekNameEntry *VEK_CALL VekNameAt(uint32_t table, uint32_t index) {
    const auto entries = vek::Table(table);
    return index < entries.size() ? &entries[index] : nullptr;
}

extern "C" VEK_API const VekNameEntry *VEK_CALL VekNameOf(uint32_t table, uint32_t number) {
    for (const VekNameEntry &entry : vek::Table(table))
        if (entry.number == number) return &entry;
    return nullptr;
}

extern "C" VEK_API const VekNameEntry *VEK_CALL VekNameFind(uint32_t table, const char *name) {
    if (name == nullptr) return nullptr;
    for (const VekNameEntry &entry : vek::Table(table))
        if (std::strcmp(entry.name, name) == 0) return &entry;
    return nullptr;
}

extern "C" VEK_API const char *VEK_CALL VekResultName(uint32_t code) {
    return vek::NameOrNull(VekNameOf(VEK_TABLE_RESULTS, code));
}

extern "C" VEK_API const char *VEK_CALL VekResultMeaning(uint32_t code) {
    const VekNameEntry *entry = VekNameOf(VEK_TABLE_RESULTS, code);
    return entry != nullptr ? entry->meaning : nullptr;
}

extern "C" VEK_API const char *VEK_CALL VekCommandName(uint32_t command) {
    return vek::NameOrNull(VekNameOf(VEK_TABLE_COMMANDS, command));
}

extern "C" VEK_API const char *VEK_CALL VekInquiryName(uint32_t inquiry) {
    return vek::NameOrNull(VekNameOf(VEK_TABLE_INQUIRIES, inquiry));
}
