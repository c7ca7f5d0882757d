// On the emulated board, run under umockdev-wrapper (bench/libusb_bench.sh does):
// - a 1 MiB bulk OUT through the library (VekWriteData: the device object, the
//   endpoint classes, the driver registry and the libusb backend) against the
//   same transfer made directly with libusb's synchronous call;
// - register reads on two boards from two threads against the same number of
//   reads on one board from one thread: the transfers of both threads share
//   one named event, and no wait may outlast its own request.
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "api/device_handle.h"
#include "drivers/libusb/libusb_backend.h"
#include "usb/device/usb_device.h"
#include "usb/driver_interface.h"
#include "usbfs_board.h"
#include "vek_dll.h"

namespace {

constexpr int kLength = 1 << 20;

struct Rig {
    vek::sim::EmulatedBus bus;
    std::unique_ptr<vek::sim::UsbfsBoard> board;
    std::vector<uint8_t> data = std::vector<uint8_t>(kLength, 0x5A);
    Rig() { board = std::make_unique<vek::sim::UsbfsBoard>(bus, vek::sim::MakeVekBoardModel(), 1, 2); }
};

Rig &TheRig() {
    static Rig *rig = new Rig;
    return *rig;
}

void BM_VekWriteData_1MiB(benchmark::State &state) {
    Rig &rig = TheRig();
    vek::CCyDevice device(nullptr, vek::kDriverInterfaceClass, 1);
    if (device.driverHandle == INVALID_HANDLE_VALUE) {
        state.SkipWithError("no board");
        return;
    }
    for (auto _ : state) {
        if (VekWriteData(&device, kLength, rig.data.data()) != 0) state.SkipWithError("VekWriteData failed");
    }
    state.SetBytesProcessed(state.iterations() * kLength);
}

void BM_LibusbBulkOut_1MiB(benchmark::State &state) {
    Rig &rig = TheRig();
    libusb_context *ctx = nullptr;
    libusb_init(&ctx);
    libusb_device_handle *handle = libusb_open_device_with_vid_pid(ctx, 0x1209, 0x7E40);
    if (handle == nullptr || libusb_claim_interface(handle, 0) != 0) {
        state.SkipWithError("cannot open the board with libusb");
    } else {
        for (auto _ : state) {
            int moved = 0;
            if (libusb_bulk_transfer(handle, 0x02, rig.data.data(), kLength, &moved, 0) != 0 || moved != kLength)
                state.SkipWithError("bulk transfer failed");
        }
        state.SetBytesProcessed(state.iterations() * kLength);
        libusb_release_interface(handle, 0);
    }
    if (handle != nullptr) libusb_close(handle);
    libusb_exit(ctx);
}

constexpr int kReadsPerThread = 200;

struct TwoBoards {
    vek::sim::EmulatedBus bus;
    std::unique_ptr<vek::sim::UsbfsBoard> first, second;
    DeviceHandle *handles[2] = {};
    TwoBoards() {
        first = std::make_unique<vek::sim::UsbfsBoard>(bus, vek::sim::MakeVekBoardModel(), 1, 2);
        second = std::make_unique<vek::sim::UsbfsBoard>(bus, vek::sim::MakeVekBoardModel(), 1, 3);
        for (uint32_t i = 0; i < 2; ++i) VekDevAlloc(i, &handles[i], nullptr);
    }
};

TwoBoards &TheTwoBoards() {
    static TwoBoards *boards = new TwoBoards;
    return *boards;
}

bool ReadRegisters(DeviceHandle *handle) {
    for (int i = 0; i < kReadsPerThread; ++i) {
        uint32_t value = 0;
        if (VekReadReg(handle->device, 0x02, &value) != 0) return false;
    }
    return true;
}

void RegisterReads(benchmark::State &state, int boards) {
    TwoBoards &rig = TheTwoBoards();
    if (rig.handles[0] == nullptr || rig.handles[1] == nullptr) {
        state.SkipWithError("two boards are not listed");
        return;
    }
    for (auto _ : state) {
        bool ok[2] = {true, true};
        std::vector<std::thread> threads;
        for (int b = 0; b < boards; ++b) threads.emplace_back([&, b] { ok[b] = ReadRegisters(rig.handles[b]); });
        for (std::thread &t : threads) t.join();
        if (!ok[0] || !ok[1]) state.SkipWithError("a register read failed");
    }
}

void BM_RegisterReads_OneBoardOneThread(benchmark::State &state) { RegisterReads(state, 1); }
void BM_RegisterReads_TwoBoardsTwoThreads(benchmark::State &state) { RegisterReads(state, 2); }

BENCHMARK(BM_RegisterReads_OneBoardOneThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegisterReads_TwoBoardsTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibusbBulkOut_1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VekWriteData_1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
