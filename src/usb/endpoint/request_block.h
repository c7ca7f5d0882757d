// The endpoint's request blocks: each carries a private record in front of
// it (the block's size, the caller's length, the head as it was sent and the
// outcome of the issue). FinishTransfer trusts only that record, never what
// the driver may have rewritten in the block head.
#pragma once

#include <cstdint>

namespace vek::detail {

// The private record in front of every request block. The block handed to the
// caller and to the driver starts right after it, so the driver sees exactly
// the 38-byte head and what follows it.
struct BlockRecord {
    uint64_t magic;
    uint32_t size;       // bytes of the block proper
    int32_t userLength;  // the caller's buffer length
    // The head as it was sent; the driver may rewrite the block, these stay.
    uint32_t bufferOffset;
    uint32_t bufferLength;
    uint32_t isoPacketOffset;
    uint32_t isoPacketLength;
    uint32_t issueError;  // 0 complete, 997 pending, other: failed at issue
    uint32_t issueBytes;  // byte count of a request issued without overlapped record
    uint32_t capacity;    // bytes allocated for the block proper (at least `size`)
    uint32_t reserved;    // keeps the block proper 16-byte aligned
};
static_assert(sizeof(BlockRecord) % 16 == 0);

// The record of a block made by AllocateRequestBlock.
BlockRecord *RecordOf(uint8_t *block);
const BlockRecord *RecordOf(const uint8_t *block);

// A zero-filled block of `size` bytes (at least 38), with room for
// `capacity`; none when it cannot be had. `userLength` is the length of the
// caller's buffer.
uint8_t *AllocateRequestBlock(uint64_t size, int32_t userLength, uint64_t capacity = 0);
// A block given back, made new: zero-filled over `size` (at most its capacity).
uint8_t *ReuseRequestBlock(uint8_t *block, uint64_t size, int32_t userLength);
void FreeRequestBlock(uint8_t *block);
uint32_t RequestBlockSize(const uint8_t *block);
uint32_t RequestBlockCapacity(const uint8_t *block);

}  // namespace vek::detail
