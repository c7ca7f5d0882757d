// On the emulated board, run under umockdev-wrapper (bench/libusb_bench.sh does):
// - a 1 MiB bulk OUT through the library (VekWriteData: the device object, the
//   endpoint classes, the driver registry and the libusb backend) against the
//   same transfer made directly with libusb's synchronous call;
// - register reads on two boards from two threads against the same number of
//   reads on one board from one thread: the transfers of both threads share
//   one named event, and no wait may outlast its own request. The same pair
//   made with libusb alone on the same emulated boards, and made through the
//   library on two virtual boards, are the baselines that tell the library's
//   cost from the emulated bus's.
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
#include "vek_sim.h"

namespace {

constexpr int kLength = 1 << 20;
constexpr int kReadsPerThread = 200;

// Two emulated boards and two virtual ones, opened through the library (each
// found by what VekListBoards says of it), and the two emulated boards opened
// a second time with libusb alone.
struct Rig {
    vek::sim::EmulatedBus bus;
    std::unique_ptr<vek::sim::UsbfsBoard> first, second;
    DeviceHandle *emulated[2] = {};
    DeviceHandle *virtualBoards[2] = {};
    libusb_context *ctx = nullptr;
    libusb_device_handle *raw[2] = {};
    std::vector<uint8_t> data = std::vector<uint8_t>(kLength, 0x5A);
    Rig() {
        first = std::make_unique<vek::sim::UsbfsBoard>(bus, vek::sim::MakeVekBoardModel(), 1, 2);
        second = std::make_unique<vek::sim::UsbfsBoard>(bus, vek::sim::MakeVekBoardModel(), 1, 3);
        VekSimAttach(nullptr);
        VekSimAttach(nullptr);
        VekSimTraceEnable(0);
        VekBoardInfo boards[4] = {};
        const int n = VekListBoards(boards, 4);
        int real = 0, virt = 0;
        for (int i = 0; i < n && i < 4; ++i) {
            DeviceHandle **slot = boards[i].isVirtual ? &virtualBoards[virt++] : &emulated[real++];
            VekDevAlloc(boards[i].index, slot, nullptr);
        }
        libusb_init(&ctx);
        libusb_device **list = nullptr;
        const ssize_t count = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0, b = 0; i < count && b < 2; ++i) {
            libusb_device_descriptor dd{};
            libusb_get_device_descriptor(list[i], &dd);
            if (dd.idVendor != 0x1209 || dd.idProduct != 0x7E40 || libusb_open(list[i], &raw[b]) != 0) continue;
            libusb_claim_interface(raw[b++], 0);
        }
        libusb_free_device_list(list, 1);
    }
};

Rig &TheRig() {
    static Rig *rig = new Rig;
    return *rig;
}

void BM_VekWriteData_1MiB(benchmark::State &state) {
    Rig &rig = TheRig();
    if (rig.emulated[0] == nullptr) {
        state.SkipWithError("no board");
        return;
    }
    for (auto _ : state) {
        if (VekWriteData(rig.emulated[0]->device, kLength, rig.data.data()) != 0)
            state.SkipWithError("VekWriteData failed");
    }
    state.SetBytesProcessed(state.iterations() * kLength);
}

void BM_LibusbBulkOut_1MiB(benchmark::State &state) {
    Rig &rig = TheRig();
    if (rig.raw[0] == nullptr) {
        state.SkipWithError("cannot open the board with libusb");
        return;
    }
    for (auto _ : state) {
        int moved = 0;
        if (libusb_bulk_transfer(rig.raw[0], 0x02, rig.data.data(), kLength, &moved, 0) != 0 || moved != kLength)
            state.SkipWithError("bulk transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * kLength);
}

bool ReadRegisters(DeviceHandle *handle) {
    for (int i = 0; i < kReadsPerThread; ++i) {
        uint32_t value = 0;
        if (VekReadReg(handle->device, 0x02, &value) != 0) return false;
    }
    return true;
}

// The same register reads as libusb's synchronous calls alone: the request
// packet on 0x04, the reply on 0x86.
bool ReadRegistersRaw(libusb_device_handle *handle) {
    for (int i = 0; i < kReadsPerThread; ++i) {
        uint8_t request[8] = {0x02, 0, 0, 0x80}, reply[8] = {};
        int moved = 0;
        if (libusb_bulk_transfer(handle, 0x04, request, 8, &moved, 2000) != 0 ||
            libusb_bulk_transfer(handle, 0x86, reply, 8, &moved, 2000) != 0 || moved != 8)
            return false;
    }
    return true;
}

template <typename Board>
void OnThreads(benchmark::State &state, Board *const (&boards)[2], int count, bool (*read)(Board *)) {
    if (boards[0] == nullptr || boards[1] == nullptr) {
        state.SkipWithError("two boards are not open");
        return;
    }
    for (auto _ : state) {
        bool ok[2] = {true, true};
        std::vector<std::thread> threads;
        for (int b = 0; b < count; ++b) threads.emplace_back([&, b] { ok[b] = read(boards[b]); });
        for (std::thread &t : threads) t.join();
        if (!ok[0] || !ok[1]) state.SkipWithError("a register read failed");
    }
}

void BM_RegisterReads(benchmark::State &state) {
    OnThreads(state, TheRig().emulated, static_cast<int>(state.range(0)), ReadRegisters);
}
void BM_RegisterReadsRawLibusb(benchmark::State &state) {
    OnThreads(state, TheRig().raw, static_cast<int>(state.range(0)), ReadRegistersRaw);
}
void BM_RegisterReadsVirtualBoard(benchmark::State &state) {
    OnThreads(state, TheRig().virtualBoards, static_cast<int>(state.range(0)), ReadRegisters);
}

// Argument: boards, each on its own thread.
BENCHMARK(BM_RegisterReads)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegisterReadsRawLibusb)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegisterReadsVirtualBoard)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibusbBulkOut_1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VekWriteData_1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
