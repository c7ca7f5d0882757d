// Transfers through the endpoint classes on the virtual board, driven as the
// register transport drives them (BeginTransfer, WaitForTransfer,
// FinishTransfer):
//   - an 8-byte register packet on bulk OUT 0x04;
//   - a 1 MiB direct bulk OUT on 0x02 into an armed frame transfer, against a
//     plain 1 MiB memcpy measured in the same run. The direct path hands the
//     caller's buffer to the driver, so the one copy is the board's own.
// The trace is off so that it does not grow with the iterations.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "usb/device/usb_device.h"
#include "vek_sim.h"

namespace {

constexpr int32_t kFrameBytes = 1 << 20;

vek::CCyUSBEndPoint *Find(vek::CCyDevice &device, uint8_t address) {
    for (int i = 1; i < device.EndpointListSize(); ++i) {
        if (device.endpointList[i]->address == address) return device.endpointList[i];
    }
    return nullptr;
}

bool Transfer(vek::CCyUSBEndPoint &endpoint, uint8_t *data, int32_t length, OVERLAPPED &ov) {
    uint8_t *block = endpoint.BeginTransfer(data, length, &ov);
    endpoint.WaitForTransfer(&ov, 2000);
    return endpoint.FinishTransfer(data, length, &ov, block);
}

struct Board {
    Board() {
        VekSimDetachAll();
        VekSimTraceEnable(0);
        VekSimAttach(nullptr);
        device = std::make_unique<vek::CCyDevice>(nullptr, vek::kDriverInterfaceClass, 1);
        registers = Find(*device, 0x04);
        frames = Find(*device, 0x02);
        std::memset(&ov, 0, sizeof ov);
        ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ~Board() {
        CloseHandle(ov.hEvent);
        device.reset();
        VekSimDetachAll();
    }
    bool WriteRegister(uint32_t address, uint32_t value) {
        uint8_t packet[8];
        std::memcpy(packet, &address, 4);
        std::memcpy(packet + 4, &value, 4);
        return Transfer(*registers, packet, 8, ov);
    }
    std::unique_ptr<vek::CCyDevice> device;
    vek::CCyUSBEndPoint *registers = nullptr;
    vek::CCyUSBEndPoint *frames = nullptr;
    OVERLAPPED ov;
};

void BM_UsbRegisterPacket8(benchmark::State &state) {
    Board board;
    if (board.registers == nullptr) {
        state.SkipWithError("no register endpoint");
        return;
    }
    uint32_t value = 0;
    for (auto _ : state) {
        if (!board.WriteRegister(0x30, value++)) state.SkipWithError("transfer failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_UsbRegisterPacket8);

void BM_UsbBulkOut1MiB(benchmark::State &state) {
    Board board;
    if (board.frames == nullptr) {
        state.SkipWithError("no frame endpoint");
        return;
    }
    std::vector<uint8_t> frame(kFrameBytes, 0x5A);
    for (auto _ : state) {
        // Each frame is armed at board address 0 (two register packets), so it
        // lands in the same 1 MiB of board memory, as memcpy writes one
        // destination.
        if (!board.WriteRegister(0x10, 0) || !board.WriteRegister(0x32, 1)) state.SkipWithError("arming failed");
        if (!Transfer(*board.frames, frame.data(), kFrameBytes, board.ov)) state.SkipWithError("transfer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_UsbBulkOut1MiB);

void BM_Memcpy1MiB(benchmark::State &state) {
    std::vector<uint8_t> from(kFrameBytes, 0x5A), to(kFrameBytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), kFrameBytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_Memcpy1MiB);

}  // namespace

BENCHMARK_MAIN();
