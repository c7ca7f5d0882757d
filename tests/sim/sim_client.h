// A thin client of the virtual board's driver for the tests: finds devices
// through the SetupDi calls, opens them with CreateFileA and issues requests
// with DeviceIoControl, laying out request blocks as the driver interface does.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "usb/driver_interface.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline std::vector<std::string> DevicePaths() {
    std::vector<std::string> paths;
    const GUID *cls = &vek::kDriverInterfaceClass;
    HDEVINFO set = vek::win32::SetupDiGetClassDevsA(cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; vek::win32::SetupDiEnumDeviceInterfaces(set, nullptr, cls, i, &data); ++i) {
        DWORD required = 0;
        vek::win32::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        std::vector<char> storage(required + 8);
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
        detail->cbSize = 8;
        if (vek::win32::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, &required, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    vek::win32::SetupDiDestroyDeviceInfoList(set);
    return paths;
}

struct Reply {
    BOOL ok = FALSE;
    DWORD error = 0, returned = 0;
    Bytes buffer;  // block + data as the driver left it (buffered and control)
    vek::TransferRequest Block() const {
        vek::TransferRequest b{};
        std::memcpy(&b, buffer.data(), sizeof b);
        return b;
    }
    // The data area as far as the returned count reaches.
    Bytes Data() const {
        const size_t end = returned >= 38 ? std::min<size_t>(returned, buffer.size()) : buffer.size();
        return Bytes(buffer.begin() + 38, buffer.begin() + end);
    }
};

// An overlapped direct request in flight. The block and the record stay put
// until the request has ended (the destructor aborts it if it has not).
struct Async {
    HANDLE device = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    vek::TransferRequest block{};
    BOOL issued = FALSE;
    DWORD issueError = 0;
    bool Signalled(DWORD ms = 0) const {
        return vek::win32::WaitForSingleObject(overlapped.hEvent, ms) == WAIT_OBJECT_0;
    }
    // GetOverlappedResult without waiting: ok flag, error and bytes.
    BOOL Result(DWORD *error, DWORD *bytes) {
        BOOL ok = vek::win32::GetOverlappedResult(device, &overlapped, bytes, FALSE);
        *error = vek::win32::GetLastError();
        return ok;
    }
    ~Async() {
        DWORD bytes = 0;
        if (issueError == ERROR_IO_PENDING && !vek::win32::GetOverlappedResult(device, &overlapped, &bytes, FALSE) &&
            vek::win32::GetLastError() == ERROR_IO_INCOMPLETE) {
            uint8_t ep = block.endpointAddress;
            vek::win32::DeviceIoControl(device, vek::ioctl::kAbortPipe, &ep, 1, nullptr, 0, &bytes, nullptr);
            vek::win32::GetOverlappedResult(device, &overlapped, &bytes, TRUE);
        }
        vek::win32::CloseHandle(overlapped.hEvent);
    }
};

class Client {
public:
    explicit Client(size_t index = 0) {
        std::vector<std::string> paths = DevicePaths();
        if (index < paths.size())
            handle_ = vek::win32::CreateFileA(paths[index].c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_OVERLAPPED, nullptr);
    }
    ~Client() {
        if (Open()) vek::win32::CloseHandle(handle_);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return handle_; }

    // A request with no overlapped record and one buffer for input and output.
    Reply Raw(DWORD code, Bytes buffer, DWORD inLength, DWORD outLength) {
        Reply r;
        r.buffer = std::move(buffer);
        r.ok = vek::win32::DeviceIoControl(handle_, code, r.buffer.data(), inLength, r.buffer.data(), outLength,
                                           &r.returned, nullptr);
        r.error = vek::win32::GetLastError();
        return r;
    }
    Reply Query(DWORD code, DWORD length) { return Raw(code, Bytes(std::max<DWORD>(length, 1)), 0, length); }

    // A 38-byte block followed by `data` (its length in wLength for control requests).
    static Bytes Block(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t endpoint,
                       const Bytes &data) {
        // Sized once: GCC 12 at -O3 warns falsely (-Warray-bounds) about an
        // insert that grows the vector.
        Bytes b(38 + data.size());
        vek::TransferRequest t{};
        t.bmRequestType = bmRequestType;
        t.bRequest = bRequest;
        t.wValue = wValue;
        t.wIndex = wIndex;
        t.wLength = endpoint == 0 ? static_cast<uint16_t>(data.size()) : 0;
        t.timeoutSeconds = 5;
        t.endpointAddress = endpoint;
        t.bufferOffset = 38;
        t.bufferLength = static_cast<uint32_t>(data.size());
        std::memcpy(b.data(), &t, sizeof t);
        std::copy(data.begin(), data.end(), b.begin() + 38);
        return b;
    }
    Reply Control(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, const Bytes &data) {
        Bytes b = Block(bmRequestType, bRequest, wValue, wIndex, 0, data);
        const DWORD n = static_cast<DWORD>(b.size());
        return Raw(vek::ioctl::kControlRequest, std::move(b), n, n);
    }
    Reply GetDescriptor(uint8_t type, uint8_t index, uint16_t length, uint16_t language = 0) {
        return Control(0x80, 6, static_cast<uint16_t>(type << 8 | index), language, Bytes(length));
    }
    Reply Buffered(uint8_t endpoint, const Bytes &data) {
        Bytes b = Block(0, 0, 0, 0, endpoint, data);
        const DWORD n = static_cast<DWORD>(b.size());
        return Raw(vek::ioctl::kBufferedData, std::move(b), n, n);
    }
    // Direct request, overlapped; data stays the caller's.
    std::unique_ptr<Async> Begin(uint8_t endpoint, void *data, DWORD length) {
        auto a = std::make_unique<Async>();
        a->device = handle_;
        a->overlapped.hEvent = vek::win32::CreateEventA(nullptr, FALSE, FALSE, nullptr);
        a->block.endpointAddress = endpoint;
        DWORD returned = 0;
        a->issued = vek::win32::DeviceIoControl(handle_, vek::ioctl::kDirectData, &a->block, 38, data, length,
                                                &returned, &a->overlapped);
        a->issueError = vek::win32::GetLastError();
        return a;
    }
    // Direct request run to its end: true on success; bytes moved in *moved.
    bool Direct(uint8_t endpoint, void *data, DWORD length, DWORD *moved = nullptr, DWORD *error = nullptr) {
        auto a = Begin(endpoint, data, length);
        DWORD bytes = 0;
        const bool pending = !a->issued && a->issueError == ERROR_IO_PENDING;
        BOOL ok = a->issued;
        if (pending)
            ok = vek::win32::GetOverlappedResult(handle_, &a->overlapped, &bytes, TRUE);
        else if (ok)
            vek::win32::GetOverlappedResult(handle_, &a->overlapped, &bytes, FALSE);
        if (error) *error = ok ? 0 : pending ? vek::win32::GetLastError() : a->issueError;
        a->issueError = 0;
        if (moved) *moved = bytes;
        return ok;
    }
    bool WriteRegister(uint32_t address, uint32_t value) {
        uint32_t packet[2] = {address, value};
        return Direct(0x04, packet, 8);
    }
    BOOL PipeRequest(DWORD code, uint8_t endpoint, DWORD *error = nullptr) {
        DWORD returned = 0;
        BOOL ok = vek::win32::DeviceIoControl(handle_, code, &endpoint, 1, nullptr, 0, &returned, nullptr);
        if (error) *error = vek::win32::GetLastError();
        return ok;
    }
    BOOL Abort(uint8_t endpoint) { return PipeRequest(vek::ioctl::kAbortPipe, endpoint); }
    BOOL Reset(uint8_t endpoint, DWORD *error = nullptr) {
        return PipeRequest(vek::ioctl::kResetPipe, endpoint, error);
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace simtest
