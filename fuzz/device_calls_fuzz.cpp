// The register transport and the device calls against a virtual board whose
// replies, stalls, short transfers, pending requests and unplugging are
// driven by the fuzz input.
//
// Input (read with FuzzedDataProvider): register 0x02 of the board, then a
// sequence of operations: arm a fault (endpoint, request number, kind), set a
// board register, queue a stray reply of any length on 0x86, or make one
// device call with arguments from the input.
// Checks: no crash, no access outside the caller's buffers, no leak (ASan,
// UBSan); every call returns one of the results documented for it (for
// example a command 14 with a valid frequency returns 0 whatever its writes
// did, frame transfers return 0 or 0x8000000d); values are written back only
// by the calls and on the paths that write them (unchanged on failure); the
// gate is always free again (no call answers 0x80000006); the handle can be
// freed at the end whatever happened.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "api/device_handle.h"
#include "fuzz_common.h"
#include "transport/transport.h"
#include "vek_dll.h"
#include "vek_sim.h"

namespace {

using namespace vek;

constexpr uint32_t kSentinel = 0x5EAD5EAD;

bool OneOf(uint32_t v, std::initializer_list<uint32_t> allowed) {
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

// The register addresses the calls use, and a few others.
uint32_t PickRegister(FuzzedDataProvider &in) {
    static constexpr uint32_t kRegisters[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x10, 0x11, 0x20, 0x21,
                                              0x22, 0x30, 0x32, 0x35, 0x40, 0x51, 0x53, 0x6E, 0x75};
    if (in.ConsumeBool()) return in.ConsumeIntegral<uint32_t>();
    return in.PickValueInArray(kRegisters);
}

uint32_t PickEndpoint(FuzzedDataProvider &in) {
    static constexpr uint32_t kEndpoints[] = {0x00, 0x02, 0x04, 0x86, VEK_SIM_ANY_ENDPOINT};
    return in.PickValueInArray(kEndpoints);
}

void CheckCommand(uint32_t command, uint32_t argument, uint32_t result, uint32_t value) {
    switch (command) {
    case 1:
    case 8:
    case 10:
    case 11:
    case 13:
    case 19:
    case 20:
    case 21:
    case 22:
    case 25:
    case 26:
    case 27:
    case 35:
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER}));
        break;
    case 9:
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER, DEV_ERR_FAILED}));
        break;
    case 14:
        // The two writes' results are ignored: only the range is an error.
        if (argument == 0 || argument > 0x40000000u) {
            VEK_FUZZ_CHECK(result == DEV_ERR_TIMING);
        } else if (argument >= 39967 && argument <= 40000) {
            VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TIMING}));
        } else {
            VEK_FUZZ_CHECK(result == DEV_OK);
        }
        break;
    case 15:
        if (argument >= 1 && argument <= 16) {
            VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER}));
        } else {
            VEK_FUZZ_CHECK(result == DEV_ERR_GRAY_DEPTH);
        }
        break;
    case 17:
        VEK_FUZZ_CHECK(result == DEV_OK);
        break;
    case 18:
    case 24:
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER, DEV_ERR_VERIFY}));
        break;
    case 28:
    case 29:
    case 30:
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER, DEV_ERR_I2C_NOT_READY, DEV_ERR_I2C_NOT_DONE}));
        break;
    case 31:
    case 32:
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER, DEV_ERR_TIMING}));
        break;
    case 33:
    case 34:
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER}));
        break;
    default:  // 0, 2 to 7, 12, 16, 23, 36 and up
        VEK_FUZZ_CHECK(result == DEV_ERR_UNSUPPORTED);
        break;
    }
    // Only commands 30, 33 and 34 write the caller's word, and only after
    // their data read succeeded.
    const bool writes = command == 30 || command == 33 || command == 34;
    if (!writes) VEK_FUZZ_CHECK(value == argument);
    if ((command == 33 || command == 34) && result != DEV_OK) VEK_FUZZ_CHECK(value == argument);
}

void CheckInquiry(uint32_t inquiry, uint32_t result, uint32_t value, const DeviceHandle *handle) {
    switch (inquiry) {
    case 0:
    case 6:
    case 23:
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER}));
        if (inquiry == 0 && result == DEV_OK) VEK_FUZZ_CHECK(value <= 1);
        break;
    case 5:
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER}));
        if (result == DEV_OK) {
            VEK_FUZZ_CHECK(OneOf(value, {1, 2, 3, 255}));
            VEK_FUZZ_CHECK(handle->frameMode == ((value << 27) & 0xF0000000u));
        }
        break;
    case 2:
    case 3:
        VEK_FUZZ_CHECK(result == DEV_OK && value == 0x1000);
        break;
    case 4:
    case 7:
        VEK_FUZZ_CHECK(result == DEV_OK && value == 0x120315);
        break;
    case 17:
        VEK_FUZZ_CHECK(result == DEV_OK && value == handle->loadedBytes);
        break;
    default:
        VEK_FUZZ_CHECK(result == DEV_ERR_UNSUPPORTED);
        break;
    }
    if (result != DEV_OK) VEK_FUZZ_CHECK(value == kSentinel);
}

void RunOne(FuzzedDataProvider &in, int board, DeviceHandle *handle) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: {  // a fault on the nth request of a pipe
        const uint32_t endpoint = PickEndpoint(in);
        const uint32_t nth = in.ConsumeIntegralInRange<uint32_t>(1, 12);
        const int kind = in.ConsumeIntegralInRange<int>(VEK_SIM_FAULT_STALL, VEK_SIM_FAULT_DETACH);
        VEK_FUZZ_CHECK(VekSimInjectFault(board, endpoint, nth, kind) == 0);
        break;
    }
    case 1:  // the board's own register content (status, type, GPIO input ...)
        VekSimSetRegister(board, PickRegister(in), in.ConsumeIntegral<uint32_t>());
        break;
    case 2: {  // a stray reply of any length waiting on 0x86
        const std::vector<uint8_t> reply = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 24));
        VekSimQueueInData(board, 0x86, reply.data(), static_cast<uint32_t>(reply.size()));
        break;
    }
    case 3: {
        const uint32_t command = in.ConsumeIntegralInRange<uint32_t>(0, 37);
        const uint32_t argument =
            in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 20) : in.ConsumeIntegral<uint32_t>();
        uint32_t value = argument;
        const uint32_t result = VekDevControl(handle, command, &value);
        CheckCommand(command, argument, result, value);
        break;
    }
    case 4: {
        const uint32_t inquiry = in.ConsumeIntegralInRange<uint32_t>(0, 25);
        uint32_t value = kSentinel;
        CheckInquiry(inquiry, VekDevInquire(handle, inquiry, &value), value, handle);
        break;
    }
    case 5:
    case 6: {  // frame load or readback, into an exactly sized buffer
        const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 0x4000);
        const uint32_t start = in.ConsumeIntegral<uint32_t>();
        std::vector<uint8_t> frame = in.ConsumeBytes<uint8_t>(length);
        frame.resize(length);
        uint8_t empty = 0;
        uint8_t *data = length ? frame.data() : &empty;
        const uint32_t before = handle->loadedBytes;
        const uint32_t result = in.ConsumeBool() ? VekDevLoadFrame(handle, data, start, length)
                                                 : VekDevGetFrame(handle, data, start, length);
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_FRAME_MODE}));
        VEK_FUZZ_CHECK(handle->loadedBytes == before || handle->loadedBytes == before + length);
        break;
    }
    case 7: {
        const uint32_t planes = in.ConsumeIntegralInRange<uint32_t>(0, 18);
        const uint32_t period = in.ConsumeIntegral<uint32_t>();
        const uint32_t aux = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint32_t>();
        const uint32_t result = VekDevNewFrequencySet(handle, planes, period, aux);
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER, DEV_ERR_FAILED}));
        if (planes == 0 || planes > 16) VEK_FUZZ_CHECK(result == DEV_ERR_FAILED);
        break;
    }
    case 8: {
        const uint32_t result =
            VekDevTriggerExtSet(handle, in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint8_t>(),
                                in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint32_t>());
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER}));
        break;
    }
    case 9: {
        uint32_t value = in.ConsumeIntegral<uint32_t>();
        const uint32_t set = VekDevSetGPIO(handle, &value);
        VEK_FUZZ_CHECK(OneOf(set, {kTransportOk, kTransportFailed}));
        value = kSentinel;
        const uint32_t get = VekDevGetGPIO(handle, &value);
        VEK_FUZZ_CHECK(OneOf(get, {kTransportOk, kTransportFailed}));
        if (get != kTransportOk) VEK_FUZZ_CHECK(value == kSentinel);
        break;
    }
    case 10: {
        uint32_t value = kSentinel;
        const uint32_t result = VekDevRReg(handle, PickRegister(in), &value);
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER}));
        if (result != DEV_OK) VEK_FUZZ_CHECK(value == kSentinel);
        break;
    }
    case 11: {
        const uint32_t endpoint = in.ConsumeBool() ? PickEndpoint(in) : in.ConsumeIntegral<uint32_t>();
        VEK_FUZZ_CHECK(OneOf(static_cast<uint32_t>(ResetUSBPipe(handle, endpoint)), {0, 1}));
        break;
    }
    case 12: {  // the raw transport on the handle's device object
        uint32_t value = in.ConsumeIntegral<uint32_t>();
        const uint32_t address = PickRegister(in);
        VEK_FUZZ_CHECK(OneOf(VekWriteReg(handle->device, address, &value), {kTransportOk, kTransportFailed}));
        const uint32_t carried = value;
        const uint32_t read = VekReadReg(handle->device, address, &value);
        VEK_FUZZ_CHECK(OneOf(read, {kTransportOk, kTransportFailed}));
        if (read != kTransportOk) VEK_FUZZ_CHECK(value == carried);
        break;
    }
    case 13: {
        const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 2048);
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(length);
        bytes.resize(length);
        uint8_t empty = 0;
        uint8_t *data = length ? bytes.data() : &empty;
        if (in.ConsumeBool()) {
            VEK_FUZZ_CHECK(OneOf(VekWriteData(handle->device, length, data), {kTransportOk, kTransportFailed}));
        } else {
            VEK_FUZZ_CHECK(OneOf(ReadBulkData(handle->device, length, data), {kTransportOk, kTransportFailed}));
        }
        break;
    }
    case 14: {
        DeviceInitParams params{};
        params.frequency =
            in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 100000) : in.ConsumeIntegral<uint32_t>();
        params.grayBits = in.ConsumeIntegralInRange<uint32_t>(0, 18);
        params.reg30Value = in.ConsumeIntegral<uint32_t>();
        const uint32_t result = VekDevInit(handle, &params);
        VEK_FUZZ_CHECK(OneOf(result, {DEV_OK, DEV_ERR_TRANSFER, DEV_ERR_TIMING, DEV_ERR_GRAY_DEPTH, DEV_ERR_VERIFY}));
        if (params.grayBits == 0 || params.grayBits > 16) VEK_FUZZ_CHECK(result == DEV_ERR_GRAY_DEPTH);
        break;
    }
    default: {
        VEK_FUZZ_CHECK(VekIfDevOpenned(handle) == 1);
        uint8_t version[kFirmwareVersionBytes];
        GetFWversion(version);
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vekfuzz::UseVirtualBoardsOnly();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    vekfuzz::FreshBoards();
    VekSimBoardConfig config{};
    config.size = sizeof config;
    config.boardTypeRegister = in.ConsumeIntegral<uint32_t>();
    const int board = VekSimAttach(&config);
    VEK_FUZZ_CHECK(board >= 0);
    DeviceHandle *handle = nullptr;
    uint8_t isVek40 = 0;
    VEK_FUZZ_CHECK(VekDevAlloc(0, &handle, &isVek40) == DEV_OK);
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) RunOne(in, board, handle);
    VEK_FUZZ_CHECK(VekDevFree(handle) == DEV_OK);
    return 0;
}
