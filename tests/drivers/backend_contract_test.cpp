// The backend table's contract: a minimal backend (no pump, no hooks, every
// transfer done at once) driven through the platform calls. What the decoder
// hands it, what it writes back, how devices are listed and found.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "drivers/backend.h"

namespace vek::drivers {
namespace {

struct Minimal {
    Transfer last;
    int enumerations = 0;
};
Minimal g_minimal;

const BackendOps kMinimalOps = {
    "minimal",
    [](void *device, void **open) -> DWORD { return *open = device, ERROR_SUCCESS; },
    [](void *) {},
    [](void *, Query query, QueryReply &reply) {
        query == Query::DeviceName ? reply.Text("VEK4.0 minimal") : reply.Number(7);
        return Done();
    },
    [](void *, const Transfer &t) {
        g_minimal.last = t;
        std::memset(t.data, 0xAB, t.length);
        return Done(UsbOutcome::Success, t.length);
    },
    [](void *, uint8_t) { return Done(); },
    [](void *, uint8_t) { return Done(); },
    nullptr,
    nullptr,
    nullptr,
    false,
    [](void *, platform::DeviceSummary &s) { s.portPath = "minimal"; },
    [](const GUID &) { ++g_minimal.enumerations; },
};
BackendOps g_virtualOps = [] {
    BackendOps ops = kMinimalOps;
    ops.name = "minimal-virtual";
    ops.followsVirtualClock = true;
    return ops;
}();

class BackendContract : public ::testing::Test {
protected:
    void SetUp() override {
        virtualId_ = RegisterDevice(InterfacePath(0x1209, 0x0002, "v").c_str(), &g_virtualOps, &g_minimal);
        id_ = RegisterDevice(path_.c_str(), &kMinimalOps, &g_minimal);
        file_ = win32::CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        win32::CloseHandle(file_);
        UnregisterDevice(id_);
        UnregisterDevice(virtualId_);
    }
    // A buffered (or control) request whose data lies at `offset` in an
    // output buffer of `outLength`: the call's error and returned count.
    std::pair<DWORD, DWORD> Buffered(uint32_t code, uint32_t offset, uint32_t length, uint32_t outLength,
                                     uint16_t wLength = 0) {
        std::vector<uint8_t> buffer(std::max<uint32_t>(outLength, kTransferRequestSize) + 64);
        TransferRequest block{};
        block.endpointAddress = 0x86;
        block.wLength = wLength;
        block.bufferOffset = offset;
        block.bufferLength = length;
        std::memcpy(buffer.data(), &block, sizeof block);
        DWORD returned = 0;
        const BOOL ok = win32::DeviceIoControl(file_, code, buffer.data(), kTransferRequestSize, buffer.data(),
                                               outLength, &returned, nullptr);
        return {ok ? ERROR_SUCCESS : win32::GetLastError(), returned};
    }
    std::string path_ = InterfacePath(0x1209, 0x0001, "m");
    uint64_t id_ = 0, virtualId_ = 0;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(BackendContract, PathNamesTheIdsTheInstanceAndTheDriverClass) {
    EXPECT_EQ(path_, "\\\\?\\usb#vid_1209&pid_0001#m#{ae18aa60-7f6a-11d4-97dd-00010229b959}");
}

// The data lies between the block's end and the output buffer's end.
TEST_F(BackendContract, DataMustFitTheOutputBuffer) {
    struct Case {
        uint32_t code, offset, length, outLength;
        uint16_t wLength;
        DWORD error, returned;
    } cases[] = {
        {ioctl::kBufferedData, 38, 10, 48, 0, ERROR_SUCCESS, 48},
        {ioctl::kBufferedData, 40, 8, 48, 0, ERROR_SUCCESS, 48},
        {ioctl::kBufferedData, 41, 8, 48, 0, ERROR_INVALID_PARAMETER, 0},
        {ioctl::kBufferedData, 37, 8, 48, 0, ERROR_INVALID_PARAMETER, 0},
        {ioctl::kBufferedData, 38, 0, 37, 0, ERROR_INSUFFICIENT_BUFFER, 0},
        {ioctl::kControlRequest, 38, 8, 46, 8, ERROR_SUCCESS, 46},
        {ioctl::kControlRequest, 38, 8, 46, 9, ERROR_INVALID_PARAMETER, 0},
    };
    for (const Case &c : cases) {
        const auto [error, returned] = Buffered(c.code, c.offset, c.length, c.outLength, c.wLength);
        EXPECT_EQ(error, c.error) << c.offset << " " << c.outLength;
        EXPECT_EQ(returned, c.returned) << c.offset << " " << c.outLength;
    }
    EXPECT_EQ(g_minimal.last.control, true);
    EXPECT_EQ(g_minimal.last.endpoint, 0);
}

// Real devices are listed first, whatever the order they came in; a backend's
// enumeration hook runs at every listing once installed, and no more after.
TEST_F(BackendContract, ListingPutsRealDevicesFirstAndRunsInstalledHooks) {
    InstallBackend(kMinimalOps);
    const int before = g_minimal.enumerations;
    const std::vector<platform::DeviceSummary> listed = platform::DescribeDevicesOf(kDriverInterfaceClass);
    EXPECT_EQ(g_minimal.enumerations, before + 1);
    RemoveBackend(kMinimalOps);
    platform::DescribeDevicesOf(kDriverInterfaceClass);
    EXPECT_EQ(g_minimal.enumerations, before + 1);
    std::vector<std::string> backends;
    for (const auto &s : listed) backends.push_back(s.backend);
    EXPECT_EQ(backends, (std::vector<std::string>{"minimal", "minimal-virtual"}));
    EXPECT_FALSE(listed[0].followsVirtualClock);
    EXPECT_TRUE(listed[1].followsVirtualClock);
    EXPECT_FALSE(platform::FollowsVirtualClock(file_));
}

}  // namespace
}  // namespace vek::drivers
