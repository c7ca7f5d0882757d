// The backend table's contract: a minimal backend (every transfer done at once)
// driven through the platform calls: its device's path, what the decoder takes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "drivers/backend.h"

namespace vek::drivers {
namespace {

const BackendOps kMinimalOps = {
    "minimal",
    [](void *device, void **open) -> DWORD { return *open = device, ERROR_SUCCESS; },
    [](void *) {},
    [](void *, Query, QueryReply &) { return Done(); },
    [](void *, const Transfer &t) { return Done(UsbOutcome::Success, t.length); },
    [](void *, uint8_t) { return Done(); },
    [](void *, uint8_t) { return Done(); },
};

// The data lies between the block's end and the output buffer's end; the
// returned count covers the block and the data.
TEST(BackendContract, PathAndTheDataWithinTheOutputBuffer) {
    const std::string path = InterfacePath(0x1209, 0x0001, "m");
    EXPECT_EQ(path, "\\\\?\\usb#vid_1209&pid_0001#m#{ae18aa60-7f6a-11d4-97dd-00010229b959}");
    const uint64_t id = RegisterDevice(path.c_str(), &kMinimalOps, nullptr);
    const HANDLE file = win32::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const struct {
        uint32_t code, offset, length, outLength;
        uint16_t wLength;
        DWORD error, returned;
    } cases[] = {
        {ioctl::kBufferedData, 38, 10, 48, 0, ERROR_SUCCESS, 48},
        {ioctl::kBufferedData, 40, 8, 48, 0, ERROR_SUCCESS, 48},
        {ioctl::kBufferedData, 41, 8, 48, 0, ERROR_INVALID_PARAMETER, 0},
        {ioctl::kBufferedData, 37, 8, 48, 0, ERROR_INVALID_PARAMETER, 0},
        {ioctl::kBufferedData, 38, 0, 37, 0, ERROR_INSUFFICIENT_BUFFER, 0},
        {ioctl::kControlRequest, 38, 8, 46, 9, ERROR_INVALID_PARAMETER, 0},
        {ioctl::kControlRequest, 38, 8, 46, 8, ERROR_SUCCESS, 46},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> buffer(64);
        const TransferRequest block{0, 0, 0, 0, c.wLength, 0, 0, 0x86, 0, 0, 0, 0, c.offset, c.length};
        std::memcpy(buffer.data(), &block, sizeof block);
        DWORD returned = 0;
        const BOOL ok = win32::DeviceIoControl(file, c.code, buffer.data(), kTransferRequestSize, buffer.data(),
                                               c.outLength, &returned, nullptr);
        EXPECT_EQ(ok ? DWORD{ERROR_SUCCESS} : win32::GetLastError(), c.error) << c.offset << " " << c.outLength;
        EXPECT_EQ(returned, c.returned) << c.offset << " " << c.outLength;
    }
    win32::CloseHandle(file);
    UnregisterDevice(id);
}

}  // namespace
}  // namespace vek::drivers
