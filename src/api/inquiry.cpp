// VekDevInquire, VekDevRReg and VekDevRRegEcho: the gated reads; the tables
// of the inquiries and of the board types with their frame layouts.
#include "api/device_handle.h"
#include "api/registers.h"
#include "api/tables.h"
#include "vek_registers.h"

namespace vek {

namespace {

struct BoardTypeRow {
    VekNameEntry entry;  // number = board type; value = the bits 28 to 31 of register 0x02 that select it
    uint32_t width, height;
};

// The board types of inquiry 5, with the size of their bit planes; type 255
// stands for any other content of register 0x02 and has no frame layout.
constexpr BoardTypeRow kBoardTypes[] = {
    {{1, "board-type-1", "bit planes of 1920 x 1080 bits (register 0x02 bits 28-31: 0x0)", 0x00000000u}, 1920, 1080},
    {{2, "board-type-2", "bit planes of 1024 x 768 bits (register 0x02 bits 28-31: 0x1)", 0x10000000u}, 1024, 768},
    {{3, "board-type-3", "bit planes of 1024 x 768 bits (register 0x02 bits 28-31: 0x3)", 0x30000000u}, 1024, 768},
    {{255, "unknown", "any other board type register: no frame layout, frame transfers refused", 0xFFFFFFFFu}, 0, 0},
};
constexpr uint32_t kUnknownBoardType = 255;

constexpr auto kBoardTypeEntries = EntriesOf(kBoardTypes);
static_assert(WellOrdered(kBoardTypeEntries));

// The board type (1, 2, 3 or 255) of register 0x02.
uint32_t BoardTypeFromRegister(uint32_t reg02) {
    for (const BoardTypeRow &row : kBoardTypes)
        if (row.entry.value == (reg02 & 0xF0000000u)) return row.entry.number;
    return kUnknownBoardType;
}

// The frame mode a board type gives the handle: (type * 2^27) AND 0xF0000000 in 32 bits.
uint32_t FrameModeFromBoardType(uint32_t boardType) { return (boardType << 27) & 0xF0000000u; }

constexpr uint32_t kBlockSize = 0x1000;
constexpr uint32_t kLibraryVersion = 0x120315;

uint32_t ReadWhole(DeviceHandle *h, uint32_t address, uint32_t &out) {
    uint32_t word = 0;
    if (VekReadReg(h->device, address, &word) != kTransportOk) return DEV_ERR_TRANSFER;
    out = word;
    return DEV_OK;
}

uint32_t LearnBoardType(DeviceHandle *h, uint32_t &out) {
    uint32_t word = 0;
    const uint32_t rc = ReadWhole(h, reg::kBoardType, word);
    if (rc != DEV_OK) return rc;
    const uint32_t type = BoardTypeFromRegister(word);
    g_boardType.store(type, std::memory_order_relaxed);
    h->frameMode = FrameModeFromBoardType(type);
    out = type;
    return DEV_OK;
}

template <uint32_t kValue>
uint32_t Fixed(DeviceHandle *, uint32_t &out) {
    out = kValue;
    return DEV_OK;
}

// An inquiry's work; `out` is written only with DEV_OK.
using InquiryHandler = uint32_t (*)(DeviceHandle *h, uint32_t &out);

struct InquiryRow {
    VekNameEntry entry;
    InquiryHandler run;
};

// The inquiries of VekDevInquire: a number not listed here is refused.
constexpr InquiryRow kInquiries[] = {
    {{0, "bit1", "1 if bit 1 of the control register is set, else 0", 0},
     [](DeviceHandle *h, uint32_t &out) {
         uint32_t word = 0;
         const uint32_t rc = ReadWhole(h, reg::kControl, word);
         out = (word & ctrl::kFrameBit) != 0 ? 1 : 0;
         return rc;
     }},
    {{2, "fixed-2", "a fixed value, 4096", 0}, Fixed<kBlockSize>},
    {{3, "fixed-3", "a fixed value, 4096", 0}, Fixed<kBlockSize>},
    {{4, "fixed-4", "a fixed value, 0x120315", 0}, Fixed<kLibraryVersion>},
    {{5, "board-type", "the board type (1: 1920x1080, 2 or 3: 1024x768, 255: unknown); sets the frame layout", 0},
     LearnBoardType},
    {{6, "register0", "board register 0x00", 0},
     [](DeviceHandle *h, uint32_t &out) { return ReadWhole(h, reg::kBoard0, out); }},
    {{7, "fixed-7", "a fixed value, 0x120315", 0}, Fixed<kLibraryVersion>},
    {{17, "loaded-bytes", "the running frame byte count: where the next frame goes", 0},
     [](DeviceHandle *h, uint32_t &out) {
         out = h->loadedBytes;
         return DEV_OK;
     }},
    {{23, "control-register", "the whole control register 0x01", 0},
     [](DeviceHandle *h, uint32_t &out) { return ReadWhole(h, reg::kControl, out); }},
};

constexpr auto kInquiryEntries = EntriesOf(kInquiries);
static_assert(WellOrdered(kInquiryEntries));

}  // namespace

std::span<const VekNameEntry> InquiryEntries() { return kInquiryEntries; }
std::span<const VekNameEntry> BoardTypeEntries() { return kBoardTypeEntries; }

}  // namespace vek

using namespace vek;

extern "C" VEK_API uint32_t VEK_CALL VekDevInquire(DeviceHandle *handle, uint32_t inquiry, uint32_t *result) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    GateGuard gate(handle);
    if (!gate.entered()) return DEV_ERR_BUSY;
    // An unsupported number is refused before the result pointer matters.
    const InquiryRow *row = FindRow(kInquiries, inquiry);
    if (row == nullptr) return DEV_ERR_UNSUPPORTED;
    if (result == nullptr) return DEV_ERR_NULL_ARGUMENT;
    uint32_t out = 0;
    const uint32_t rc = row->run(handle, out);
    if (rc == DEV_OK) *result = out;
    return rc;
}

extern "C" VEK_API uint32_t VEK_CALL VekDevRReg(DeviceHandle *handle, uint32_t address, uint32_t *value) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    GateGuard gate(handle);
    if (!gate.entered()) return DEV_ERR_BUSY;
    if (value == nullptr) return DEV_ERR_NULL_ARGUMENT;
    return VekReadReg(handle->device, address, value) == kTransportOk ? DEV_OK : DEV_ERR_TRANSFER;
}

extern "C" VEK_API uint32_t VEK_CALL VekDevRRegEcho(DeviceHandle *handle, uint32_t address, uint32_t *value,
                                                    uint32_t *echoedAddress) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    GateGuard gate(handle);
    if (!gate.entered()) return DEV_ERR_BUSY;
    if (value == nullptr || echoedAddress == nullptr) return DEV_ERR_NULL_ARGUMENT;
    return ReadRegister(handle->device, address, value, echoedAddress) == kTransportOk ? DEV_OK : DEV_ERR_TRANSFER;
}

extern "C" VEK_API int VEK_CALL VekBoardFrameLayout(uint32_t boardType, VekFrameLayout *layout) {
    if (layout == nullptr) return 0;
    *layout = VekFrameLayout{};
    for (const BoardTypeRow &row : kBoardTypes) {
        if (row.entry.number != boardType || row.width == 0) continue;
        const uint32_t planeBytes = row.width / 8 * row.height;
        *layout = {boardType, row.width, row.height, planeBytes, 8 * planeBytes, FrameModeFromBoardType(boardType)};
        return 1;
    }
    return 0;
}
