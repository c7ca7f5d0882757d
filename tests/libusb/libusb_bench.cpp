// A 1 MiB bulk OUT to the emulated board: through the library (VekWriteData:
// the device object, the endpoint classes, the driver registry and the libusb
// backend) against the same transfer made directly with libusb's synchronous
// call, in the same run and against the same emulated device. Run under
// umockdev-wrapper (bench/libusb_bench.sh does).
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "drivers/libusb/libusb_backend.h"
#include "usb/device/usb_device.h"
#include "usb/driver_interface.h"
#include "drivers/sim/usbfs/usbfs_board.h"
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

BENCHMARK(BM_LibusbBulkOut_1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VekWriteData_1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
