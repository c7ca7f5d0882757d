// The name lookups of vek_names.h over the protocol tables, and the table of
// result codes: for tools and language bindings that show or accept names.
#include <cstring>
#include <span>

#include "api/tables.h"
#include "protocol/registers.h"
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
static_assert(WellOrdered(kResults));

std::span<const VekNameEntry> Table(uint32_t table) {
    switch (table) {
    case VEK_TABLE_RESULTS:
        return kResults;
    case VEK_TABLE_COMMANDS:
        return CommandEntries();
    case VEK_TABLE_INQUIRIES:
        return InquiryEntries();
    case VEK_TABLE_REGISTERS:
        return kRegisters;
    case VEK_TABLE_BOARD_TYPES:
        return BoardTypeEntries();
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
