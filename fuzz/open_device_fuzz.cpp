// A whole device open on a virtual device whose descriptors are the fuzz
// input: device, configuration, BOS and string descriptors, driver answers.
//
// Input (read with FuzzedDataProvider): the device descriptor, up to three
// configuration blobs, a BOS blob, up to five string descriptors, the speed
// and alternate setting the driver reports, and register 0x02.
// Checks: no crash, no read outside what the device sent, no leak (ASan),
// whatever the descriptors say; no exception leaves the open or the close;
// the open device's texts end in a NUL; the endpoint list holds no more than
// its slots and its bound slots point at endpoints of the current interface;
// register calls on the open object and a whole allocation, inquiry and free
// through the exported calls give their documented results.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "api/device_handle.h"
#include "fuzz_common.h"
#include "transport/transport.h"
#include "usb/device/usb_device.h"
#include "usb/driver_interface.h"
#include "vek_dll.h"
#include "vek_sim.h"

namespace {

using namespace vek;

template <size_t N>
bool EndsInNul(const char (&text)[N]) {
    return std::memchr(text, 0, N) != nullptr;
}
template <size_t N>
bool EndsInNul(const char16_t (&text)[N]) {
    for (char16_t c : text)
        if (c == 0) return true;
    return false;
}

void CheckOpenDevice(CCyDevice &device) {
    VEK_FUZZ_CHECK(EndsInNul(device.driverDeviceName));
    VEK_FUZZ_CHECK(EndsInNul(device.driverFriendlyName));
    VEK_FUZZ_CHECK(EndsInNul(device.manufacturerText));
    VEK_FUZZ_CHECK(EndsInNul(device.productText));
    VEK_FUZZ_CHECK(EndsInNul(device.serialNumberText));
    VEK_FUZZ_CHECK(EndsInNul(device.interfacePath));
    VEK_FUZZ_CHECK(device.configCount <= kMaxConfigurations);
    const uint8_t n = device.EndpointListSize();
    VEK_FUZZ_CHECK(n <= kEndpointSlots);
    if (device.endpointList != nullptr) {
        VEK_FUZZ_CHECK(device.endpointList[0] == device.controlEndpoint);
        for (int slot = 1; slot < n; ++slot) VEK_FUZZ_CHECK(device.endpointList[slot] != nullptr);
        for (int slot = 1; slot < n; ++slot)
            VEK_FUZZ_CHECK(device.endpointList[slot]->driverHandle == device.driverHandle);
    }
    uint8_t header[9];
    device.CopyConfigurationHeader(header);
    device.CopyInterfaceDescriptor(header);

    // The register transport on whatever endpoints the device has.
    uint32_t value = 0x12345678;
    const uint32_t w = VekWriteReg(&device, 0x30, &value);
    VEK_FUZZ_CHECK(w == kTransportOk || w == kTransportFailed);
    value = 0xA5A5A5A5;
    const uint32_t r = VekReadReg(&device, 0x30, &value);
    VEK_FUZZ_CHECK(r == kTransportOk || r == kTransportFailed);
    if (r != kTransportOk) VEK_FUZZ_CHECK(value == 0xA5A5A5A5);  // unchanged on failure
    for (uint32_t address : {0x02u, 0x04u, 0x86u, 0x00u, 0x81u}) {
        CCyUSBEndPoint *endpoint = FindBulkEndpoint(&device, address);
        if (endpoint != nullptr) VEK_FUZZ_CHECK(endpoint->address == address && endpoint->attributes == 2);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vekfuzz::UseVirtualBoardsOnly();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    // The blobs, kept alive for the attach (which copies them).
    const std::vector<uint8_t> deviceDescriptor = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 24));
    std::vector<std::vector<uint8_t>> configurations(in.ConsumeIntegralInRange<size_t>(0, 3));
    for (auto &blob : configurations) blob = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 512));
    const std::vector<uint8_t> bos = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 128));
    std::vector<std::vector<uint8_t>> strings(in.ConsumeIntegralInRange<size_t>(0, 5));
    for (auto &blob : strings) blob = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));

    std::vector<const uint8_t *> configPointers, stringPointers;
    std::vector<uint32_t> configLengths, stringLengths;
    for (auto &blob : configurations) {
        configPointers.push_back(blob.data());
        configLengths.push_back(static_cast<uint32_t>(blob.size()));
    }
    for (auto &blob : strings) {
        stringPointers.push_back(blob.empty() ? nullptr : blob.data());
        stringLengths.push_back(static_cast<uint32_t>(blob.size()));
    }
    VekSimDeviceConfig config{};
    config.size = sizeof config;
    if (!deviceDescriptor.empty()) {
        config.deviceDescriptor = deviceDescriptor.data();
        config.deviceDescriptorLength = static_cast<uint32_t>(deviceDescriptor.size());
    }
    config.configurationCount = static_cast<uint32_t>(configurations.size());
    config.configurations = configPointers.data();
    config.configurationLengths = configLengths.data();
    if (!bos.empty()) {
        config.bos = bos.data();
        config.bosLength = static_cast<uint32_t>(bos.size());
    }
    config.stringCount = static_cast<uint32_t>(strings.size());
    config.strings = stringPointers.data();
    config.stringLengths = stringLengths.data();
    config.speed = in.ConsumeIntegralInRange<uint32_t>(0, 5);
    config.altSetting = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    config.boardTypeRegister = in.ConsumeIntegral<uint32_t>();

    vekfuzz::FreshBoards();
    const int board = VekSimAttachCustom(&config);
    VEK_FUZZ_CHECK(board >= 0);

    try {
        CCyDevice device(nullptr, kDriverInterfaceClass, 1);
        if (device.driverHandle != INVALID_HANDLE_VALUE) CheckOpenDevice(device);
        device.CloseDevice();
        VEK_FUZZ_CHECK(device.EndpointListSize() == 0);
        // Open again on the same object: the first open's tree is released.
        device.OpenDevice(0);
    } catch (...) {
        vekfuzz::Finding("an exception left the device object");
    }

    DeviceHandle *handle = nullptr;
    uint8_t isVek40 = 7;
    const uint32_t alloc = VekDevAlloc(0, &handle, &isVek40);
    VEK_FUZZ_CHECK(alloc == DEV_OK || alloc == DEV_ERR_NO_DEVICE);
    VEK_FUZZ_CHECK(isVek40 == 7 || isVek40 == 1);
    if (alloc == DEV_OK) {
        uint32_t type = 0;
        const uint32_t inquiry = VekDevInquire(handle, 5, &type);
        VEK_FUZZ_CHECK(inquiry == DEV_OK || inquiry == DEV_ERR_TRANSFER);
        VEK_FUZZ_CHECK(VekIfDevOpenned(handle) == 1);
        VEK_FUZZ_CHECK(VekDevFree(handle) == DEV_OK);
    }
    return 0;
}
