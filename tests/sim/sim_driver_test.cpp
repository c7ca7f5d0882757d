// The virtual driver and the request decoder behind it, driven through the
// library's USB classes and the platform calls: requests it refuses, abort and
// close, lasting faults and detach. The descriptor replies and the data paths
// are read by the USB tests (tests/usb), the registers, trace and pauses by
// every board test (tests/api, tests/firmware).
#include <gtest/gtest.h>

#include <utility>
#include <tuple>
#include <vector>

#include "usb/fake_driver.h"
#include "usb/endpoint/bulk_endpoint.h"
#include "usb/endpoint/control_endpoint.h"

namespace vek {
namespace {

using sim::Bytes;

// A request issued and left running.
struct Running {
    Running(CCyUSBEndPoint &ep, uint8_t *data, int32_t length) : ep(ep) {
        ov.hEvent = win32::CreateEventA(nullptr, FALSE, FALSE, nullptr);
        block = ep.BeginTransfer(data, length, &ov);
        issueError = ep.lastError;
    }
    ~Running() { win32::CloseHandle(ov.hEvent); }
    bool Ended() {
        DWORD bytes = 0;
        return win32::GetOverlappedResult(ep.driverHandle, &ov, &bytes, FALSE) ||
               win32::GetLastError() != ERROR_IO_INCOMPLETE;
    }
    // Finishes it: its error (0 on success) and the status word it left.
    std::tuple<DWORD, uint32_t> Finish() {
        DWORD bytes = 0;
        win32::GetOverlappedResult(ep.driverHandle, &ov, &bytes, FALSE);
        const DWORD error = win32::GetLastError();
        int32_t length = 0;
        ep.FinishTransfer(nullptr, length, &ov, block);
        return {error, ep.usbdStatus};
    }
    CCyUSBEndPoint &ep;
    OVERLAPPED ov{};
    uint8_t *block = nullptr;
    DWORD issueError = 0;
};

class DriverTest : public test::OpenBoardTest {
protected:
    void SetUp() override {
        Open();
        ASSERT_EQ(device->EndpointListSize(), 4);
    }
    bool WriteRegister(uint32_t address, uint32_t value) {
        uint32_t packet[2] = {address, value};
        int32_t length = 8;
        return Ep(0x04).SyncTransfer(reinterpret_cast<uint8_t *>(packet), length);
    }
    uint32_t Register(uint32_t address) {
        uint32_t v = 0xDEAD;
        EXPECT_EQ(VekSimGetRegister(board, address, &v), 0);
        return v;
    }
};

// Replies that do not fit, and requests the decoder does not take.
TEST_F(DriverTest, RequestsThatDoNotFitOrAreNotTakenFail) {
    const auto call = [&](DWORD code, Bytes &buffer, DWORD inLength, DWORD outLength) {
        DWORD returned = 0;
        EXPECT_FALSE(win32::DeviceIoControl(device->driverHandle, code, buffer.data(), inLength, buffer.data(),
                                            outLength, &returned, nullptr));
        return win32::GetLastError();
    };
    for (auto [code, length] : {std::pair{ioctl::kGetDriverVersion, 4u},
                                {ioctl::kGetSpeed, 4u},
                                {ioctl::kGetAltSetting, 1u},
                                {ioctl::kGetDeviceName, 256u}}) {
        Bytes small(256, 0xEE);
        EXPECT_EQ(call(code, small, 0, length - 1), DWORD{ERROR_INSUFFICIENT_BUFFER}) << code;
        EXPECT_EQ(small, Bytes(256, 0xEE)) << code;  // nothing written
    }
    Bytes block(38);
    for (uint32_t code : {ioctl::kSetAltSetting, ioctl::kCyclePort, ioctl::kResetPort, ioctl::kGetTransferSize})
        EXPECT_EQ(call(code, block, 8, 8), DWORD{ERROR_NOT_SUPPORTED});
    EXPECT_EQ(call(0x220FFC, block, 8, 8), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(call(ioctl::kControlRequest, block, 37, 37), DWORD{ERROR_INVALID_PARAMETER});
    // Data requests on a pipe the device lacks, and its reset, are refused.
    CCyBulkEndPoint missing(device->driverHandle, Bytes{7, 5, 0x83, 2, 0, 2, 0}.data());
    uint8_t data[8] = {};
    int32_t length = 8;
    EXPECT_FALSE(missing.SyncTransfer(data, length));
    EXPECT_FALSE(missing.ResetPipe());
    EXPECT_EQ(missing.lastError, DWORD{ERROR_INVALID_PARAMETER});
}

// A request left pending (the fault is armed for the second request on 0x04:
// the first passes) holds the next one behind it; an abort ends every pending
// request of its pipe only; closing a handle ends its own. (A stall lasting
// until the pipe's reset is the transport tests'; what each fault does to the
// library, the fault sweep's.)
TEST_F(DriverTest, AbortAndCloseEndPendingRequests) {
    VekSimSetRegister(board, 0x31, 0);
    ASSERT_EQ(VekSimInjectFault(board, 0x04, 2, VEK_SIM_FAULT_STAY_PENDING), 0);
    EXPECT_TRUE(WriteRegister(0x12, 1));
    uint32_t packet[2] = {0x31, 7}, next[2] = {0x31, 9};
    Running first(Ep(0x04), reinterpret_cast<uint8_t *>(packet), 8);
    Running behind(Ep(0x04), reinterpret_cast<uint8_t *>(next), 8);
    EXPECT_EQ(std::tuple(first.issueError, behind.issueError),
              std::tuple(DWORD{ERROR_IO_PENDING}, DWORD{ERROR_IO_PENDING}));
    Ep(0x86).AbortPipe();
    EXPECT_FALSE(first.Ended());
    Ep(0x04).AbortPipe();
    for (Running *r : {&first, &behind})
        EXPECT_EQ(r->Finish(), std::tuple(DWORD{ERROR_OPERATION_ABORTED}, kUsbdStatusCanceled));
    const auto aborts = sim::TraceOf(VEK_SIM_TRACE_ABORT);
    EXPECT_EQ(std::tuple(aborts.size(), aborts.back().endpoint, aborts.back().bytes), std::tuple(2u, 0x04u, 2u));
    EXPECT_EQ(Register(0x31), 0u);  // neither was carried out

    CCyDevice other(nullptr, kDriverInterfaceClass, 1);
    Running pending(*other.bulkInEndpoint, reinterpret_cast<uint8_t *>(packet), 8);
    ASSERT_EQ(pending.issueError, DWORD{ERROR_IO_PENDING});
    win32::CloseHandle(std::exchange(other.driverHandle, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(pending.Ended());
    EXPECT_EQ(pending.Finish(), std::tuple(DWORD{ERROR_OPERATION_ABORTED}, kUsbdStatusCanceled));
}

// Unplugging (a detach fault here; a detach unplugs the same way) ends pending
// requests; the device answers nothing more; its state stays readable until
// it is detached.
TEST_F(DriverTest, DetachEndsAPendingRequestAndLaterOpensFail) {
    uint8_t buffer[8];
    Running pending(Ep(0x86), buffer, 8);
    ASSERT_EQ(pending.issueError, DWORD{ERROR_IO_PENDING});
    ASSERT_EQ(VekSimInjectFault(board, VEK_SIM_ANY_ENDPOINT, 1, VEK_SIM_FAULT_DETACH), 0);
    uint32_t version = 0;
    EXPECT_FALSE(device->DriverRequest(ioctl::kGetDriverVersion, &version, 4));
    EXPECT_EQ(std::tuple(device->lastError, VekSimAttached(board), Register(0x01)),
              std::tuple(DWORD{ERROR_DEVICE_NOT_CONNECTED}, 0, 0u));
    EXPECT_EQ(pending.Finish(), std::tuple(DWORD{ERROR_DEVICE_NOT_CONNECTED}, kUsbdStatusDeviceGone));
    EXPECT_EQ(CCyDevice(nullptr, kDriverInterfaceClass, 0).DeviceCount(), 0);
    EXPECT_FALSE(device->ReadDeviceDescriptor());
    EXPECT_FALSE(WriteRegister(1, 1));
    EXPECT_EQ(Ep(0x04).lastError, DWORD{ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(VekSimDetach(board), 0);
    EXPECT_EQ(std::tuple(VekSimAttached(board), VekSimDetach(board)), std::tuple(-1, -1));
}

// Controller RAM ends at 0xFFFF: a write that runs past it is taken whole
// and its excess dropped, a read past it gets zeros (no library call goes
// there; the guard is against writing past the board's own memory).
TEST_F(DriverTest, ControllerRamEndsAt64KiB) {
    Bytes data(32, 0x5A), back(32, 0xEE);
    CCyControlEndPoint &control = *device->controlEndpoint;
    control.requestType = 2;
    control.requestCode = 0xA0;
    control.value = 0xFFF0;
    int32_t length = 32;
    EXPECT_TRUE(control.ControlWrite(data.data(), length));
    EXPECT_EQ(length, 32);
    EXPECT_TRUE(control.ControlRead(back.data(), length));
    data.resize(16);
    data.resize(32, 0);
    EXPECT_EQ(back, data);
}

}  // namespace
}  // namespace vek
