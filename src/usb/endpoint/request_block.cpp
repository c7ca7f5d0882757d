#include "usb/endpoint/request_block.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "usb/driver_interface.h"

namespace vek::detail {
namespace {

constexpr uint64_t kBlockMagic = 0x6b65762d72657175ull;  // "vek-requ"

}  // namespace

BlockRecord *RecordOf(uint8_t *block) { return reinterpret_cast<BlockRecord *>(block - sizeof(BlockRecord)); }

const BlockRecord *RecordOf(const uint8_t *block) {
    return reinterpret_cast<const BlockRecord *>(block - sizeof(BlockRecord));
}

uint8_t *AllocateRequestBlock(uint64_t size, int32_t userLength, uint64_t capacity) {
    capacity = (std::max)(capacity, size);
    if (size < kTransferRequestSize || capacity > 0xFFFFFFFFull - sizeof(BlockRecord) || userLength < 0) {
        return nullptr;
    }
    auto *raw = new (std::nothrow) uint8_t[sizeof(BlockRecord) + capacity];
    if (raw == nullptr) {
        return nullptr;
    }
    auto *record = new (raw) BlockRecord{};
    record->capacity = static_cast<uint32_t>(capacity);
    return ReuseRequestBlock(raw + sizeof(BlockRecord), size, userLength);
}

uint8_t *ReuseRequestBlock(uint8_t *block, uint64_t size, int32_t userLength) {
    BlockRecord *record = RecordOf(block);
    const uint32_t capacity = record->capacity;
    *record = BlockRecord{};
    record->magic = kBlockMagic;
    record->size = static_cast<uint32_t>(size);
    record->userLength = userLength;
    record->capacity = capacity;
    std::memset(block, 0, size);
    return block;
}

uint32_t RequestBlockCapacity(const uint8_t *block) { return RecordOf(block)->capacity; }

void FreeRequestBlock(uint8_t *block) {
    if (block == nullptr) {
        return;
    }
    RecordOf(block)->magic = 0;
    delete[](block - sizeof(BlockRecord));
}

uint32_t RequestBlockSize(const uint8_t *block) { return RecordOf(block)->size; }

}  // namespace vek::detail
