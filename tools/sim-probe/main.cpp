// vek-sim-probe: attaches a virtual VEK board, then finds it through the
// device-setup calls, opens it with CreateFileA and prints its device name,
// vendor and product ids and endpoints, read with DeviceIoControl requests.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "usb/driver_interface.h"
#include "vek_sim.h"

namespace {

// A GET_DESCRIPTOR request: block + n bytes in one buffer; the data back.
std::vector<uint8_t> GetDescriptor(HANDLE device, uint8_t type, uint8_t index, uint16_t length) {
    std::vector<uint8_t> buffer(vek::kTransferRequestSize + length);
    vek::TransferRequest block{};
    block.bmRequestType = 0x80;
    block.bRequest = 6;
    block.wValue = static_cast<uint16_t>(type << 8 | index);
    block.wLength = length;
    block.timeoutSeconds = 5;
    block.bufferOffset = vek::kTransferRequestSize;
    block.bufferLength = length;
    std::memcpy(buffer.data(), &block, sizeof block);
    DWORD returned = 0;
    const DWORD size = static_cast<DWORD>(buffer.size());
    if (!vek::win32::DeviceIoControl(device, vek::ioctl::kControlRequest, buffer.data(), size, buffer.data(), size,
                                     &returned, nullptr) ||
        returned < vek::kTransferRequestSize)
        return {};
    return std::vector<uint8_t>(buffer.begin() + vek::kTransferRequestSize, buffer.begin() + returned);
}

std::string FirstDevicePath() {
    HDEVINFO set = vek::win32::SetupDiGetClassDevsA(&vek::kDriverInterfaceClass, nullptr, nullptr,
                                                    DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return {};
    std::string path;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (vek::win32::SetupDiEnumDeviceInterfaces(set, nullptr, &vek::kDriverInterfaceClass, 0, &data)) {
        DWORD required = 0;
        vek::win32::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        std::vector<char> storage(required + 8);
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
        detail->cbSize = 8;
        if (vek::win32::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, &required, nullptr))
            path = detail->DevicePath;
    }
    vek::win32::SetupDiDestroyDeviceInfoList(set);
    return path;
}

}  // namespace

int main() {
    if (VekSimAttach(nullptr) < 0) {
        std::fprintf(stderr, "vek-sim-probe: could not attach a virtual board\n");
        return 1;
    }
    const std::string path = FirstDevicePath();
    HANDLE device =
        vek::win32::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "vek-sim-probe: cannot open %s (error %u)\n", path.c_str(),
                     static_cast<unsigned>(vek::win32::GetLastError()));
        return 1;
    }
    char name[256] = {};
    DWORD returned = 0;
    vek::win32::DeviceIoControl(device, vek::ioctl::kGetDeviceName, name, sizeof name, name, sizeof name, &returned,
                                nullptr);
    std::printf("path:        %s\ndevice name: %s\n", path.c_str(), name);

    const std::vector<uint8_t> d = GetDescriptor(device, 1, 0, 18);
    if (d.size() == 18)
        std::printf("vendor id:   0x%04X\nproduct id:  0x%04X\nUSB:         %x.%02x\n", d[8] | d[9] << 8,
                    d[10] | d[11] << 8, d[3], d[2]);

    const std::vector<uint8_t> head = GetDescriptor(device, 2, 0, 9);
    const uint16_t total = head.size() == 9 ? static_cast<uint16_t>(head[2] | head[3] << 8) : 0;
    const std::vector<uint8_t> config = GetDescriptor(device, 2, 0, total);
    static const char *const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
    for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2; at += config[at]) {
        if (config[at + 1] == 5 && at + 7 <= config.size())
            std::printf("endpoint:    0x%02X %-3s %-11s %u bytes\n", config[at + 2],
                        config[at + 2] & 0x80 ? "IN" : "OUT", kTypes[config[at + 3] & 3],
                        config[at + 4] | config[at + 5] << 8);
    }
    vek::win32::CloseHandle(device);
    VekSimDetachAll();
    return 0;
}
