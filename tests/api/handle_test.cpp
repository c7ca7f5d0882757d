// The handle's life cycle on the virtual board: allocation and its failures,
// initialisation, release, re-open, the gate, and null arguments everywhere.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <utility>

#include "api/board_fixture.h"
#include "api/device_handle.h"
#include "usb/device/usb_device.h"

using namespace vektest;

namespace {

int Attach(const char *name, const char *manufacturer = nullptr) {
    VekSimBoardConfig config{sizeof(VekSimBoardConfig), name, manufacturer, 0};
    return VekSimAttach(&config);
}

using NoBoard = SimTest;

TEST_F(NoBoard, AllocationFailuresAndTheReopensCloseError) {
    uint8_t isVek40 = 9;
    EXPECT_EQ(VekDevAlloc(0, nullptr, &isVek40), DEV_ERR_UNSUPPORTED);
    DeviceHandle *h = reinterpret_cast<DeviceHandle *>(0x1);
    ASSERT_GE(Attach(nullptr, "ACME"), 0);
    for (uint32_t index : {1u, 256u, 0xFFFFFFFFu}) EXPECT_EQ(VekDevAlloc(index, &h, &isVek40), DEV_ERR_NO_DEVICE);
    EXPECT_EQ(h, reinterpret_cast<DeviceHandle *>(0x1));
    EXPECT_EQ(isVek40, 9);

    ASSERT_EQ(VekDevAlloc(0, &h, nullptr), DEV_OK);
    EXPECT_EQ(h->lockTimeoutMs, 1000u);
    // A close error of the device object leaves the call as the device's
    // exception: a driver handle no one owns makes re-opening (which closes first) raise it.
    HANDLE real = std::exchange(h->device->driverHandle, reinterpret_cast<HANDLE>(uintptr_t{0x7FFFFFF0}));
    try {
        DevReAlloc(h);
        ADD_FAILURE() << "no exception";
    } catch (const vek::UsbError &e) {
        EXPECT_STREQ(e.what(), "Failed to close handle to driver.");
    }
    h->device->driverHandle = real;
    EXPECT_EQ(VekDevFree(h), DEV_OK);
    // An allocation that fails at the open (no interface) zeroes the firmware version.
    VekSimDetachAll();
    ASSERT_GE(AttachInterfaces({}), 0);
    EXPECT_EQ(VekDevAlloc(0, &h, nullptr), DEV_ERR_NO_DEVICE);
    uint8_t version[30];
    GetFWversion(version);
    EXPECT_EQ(std::memcmp(version, std::vector<uint8_t>(30, 0).data(), 30), 0);
    GetFWversion(nullptr);
}

// The product flag is set from the first listed name, whichever board is
// opened; re-opening takes device 0 after a 500 ms pause and answers whether
// it is a VEK4.0 (the device is open either way). The firmware version is the
// manufacturer text of the device opened last, as 15 UTF-16LE code units.
TEST_F(NoBoard, ProductCheckAndReopenLookAtTheFirstDevice) {
    for (bool vekFirst : {true, false}) {
        VekSimDetachAll();
        const int first = Attach(vekFirst ? "VEK4.0 first" : "OTHER first", "ACME Optics FW 7.25 release");
        const int second = Attach(vekFirst ? "OTHER second" : "VEK4.0 second", "SECOND");
        DeviceHandle *h = nullptr;
        uint8_t isVek40 = 7;
        ASSERT_EQ(VekDevAlloc(1, &h, &isVek40), DEV_OK);
        EXPECT_EQ(isVek40, vekFirst ? 1 : 7);
        uint32_t v = 0x1234;  // the handle drives the second board
        ASSERT_EQ(VekDevControl(h, 19, &v), DEV_OK);
        VekSimTraceClear();
        EXPECT_EQ(DevReAlloc(h), vekFirst ? 1 : 0);
        EXPECT_EQ(TraceLines()[0], "P 500");
        EXPECT_EQ(VekIfDevOpenned(h), 1);
        uint8_t version[31], expected[31] = {};
        std::memset(version, 0xEE, sizeof version);
        GetFWversion(version);
        const char *text = vekFirst ? "ACME Optics FW " : "SECOND";  // read again only when the check passed
        for (size_t i = 0; i < std::strlen(text); ++i) expected[2 * i] = static_cast<uint8_t>(text[i]);
        expected[30] = 0xEE;
        EXPECT_EQ(std::memcmp(version, expected, sizeof version), 0);
        v = 0x77;  // and now the first
        ASSERT_EQ(VekDevControl(h, 19, &v), DEV_OK);
        EXPECT_EQ(Reg(first, 0x31), 0x77u);
        EXPECT_EQ(Reg(second, 0x31), 0x1234u);
        if (!vekFirst) {
            VekSimDetachAll();
            EXPECT_EQ(DevReAlloc(h), 0);
            EXPECT_EQ(VekIfDevOpenned(h), 0);
        }
        EXPECT_EQ(VekDevFree(h), DEV_OK);
    }
}

TEST_F(NoBoard, DeviceWithoutNameEntryIsCountedButNotListed) {
    // Two interfaces, or one at the driver's alternate setting 1: counted, never listed.
    ASSERT_GE(AttachInterfaces({{0, 0, 0xFF, 0, 0, 0, {{0x02}}}, {1, 0, 0xFF, 0, 0, 0, {}}}), 0);
    ASSERT_GE(AttachInterfaces({{0, 0, 0xFF, 0, 0, 0, {{0x02}}}, {0, 1, 0xFF, 0, 0, 0, {}}}, 1), 0);
    DeviceHandle *h = nullptr;
    uint8_t isVek40 = 7;
    ASSERT_EQ(VekDevAlloc(0, &h, &isVek40), DEV_OK);
    EXPECT_EQ(isVek40, 7);
    EXPECT_EQ(h->nameList.count, 2);
    EXPECT_EQ(std::memcmp(h->nameList.entries, "\0\0\0", 4), 0) << "no entry";
    EXPECT_EQ(VekDevFree(h), DEV_OK);

    // Each listed name is its length in 4 bytes and its text; the accessor's
    // truncation keeps a NUL, past the end -1.
    Attach("VEK4.0 a");
    ASSERT_GE(Attach("VEK4.0 bb"), 0);
    ASSERT_EQ(VekDevAlloc(1, &h, &isVek40), DEV_OK);
    EXPECT_EQ(h->nameList.count, 4);
    const uint8_t expected[] = {8, 0, 0, 0,   'V', 'E', 'K', '4', '.', '0', ' ', 'a', 9,
                                0, 0, 0, 'V', 'E', 'K', '4', '.', '0', ' ', 'b', 'b', 0};
    EXPECT_EQ(std::memcmp(h->nameList.entries, expected, sizeof expected), 0);
    char name[16];
    EXPECT_EQ(VekDevGetListedName(h, 1, name, 4), 9);
    EXPECT_STREQ(name, "VEK");
    EXPECT_EQ(VekDevGetListedName(h, 2, name, sizeof name), -1);
    EXPECT_EQ(VekDevFree(h), DEV_OK);
}

// Every call refuses a null handle or a null pointer it needs before any
// traffic: the gated ones with 0x80000008, the register calls with
// 0xFFFFFFFF, those answering yes or no with 0.
TEST_F(BoardTest, NullArgumentsAreRefusedBeforeAnyTraffic) {
    uint32_t v = 0;
    uint8_t buf[16] = {};
    DeviceInitParams p{0, 1000, 8, 0};
    for (uint32_t r :
         {VekDevFree(nullptr), VekDevInit(nullptr, &p), VekDevInit(handle_, nullptr), VekDevControl(nullptr, 10, &v),
          VekDevControl(handle_, 15, nullptr), VekDevControl(handle_, 30, nullptr), VekDevInquire(nullptr, 5, &v),
          VekDevInquire(handle_, 5, nullptr), VekDevRReg(nullptr, 1, &v), VekDevNewFrequencySet(nullptr, 8, 20000, 0),
          VekDevTriggerExtSet(nullptr, 1, 1, 2, 3), VekDevLoadFrame(nullptr, buf, 0, 16),
          VekDevLoadFrame(handle_, nullptr, 0, 16), VekDevGetFrame(handle_, nullptr, 0, 16)})
        EXPECT_EQ(r, DEV_ERR_NULL_ARGUMENT);
    for (uint32_t r : {VekDevSetGPIO(nullptr, &v), VekDevSetGPIO(handle_, nullptr), VekDevGetGPIO(nullptr, &v),
                       VekWriteReg(nullptr, 1, &v), VekReadReg(nullptr, 1, &v), VekWriteData(nullptr, 0, nullptr),
                       VekWriteReg(handle_->device, 1, nullptr), VekReadReg(handle_->device, 1, nullptr),
                       VekWriteData(handle_->device, 4, nullptr)})
        EXPECT_EQ(r, 0xFFFFFFFFu);
    for (int r : {DevReAlloc(nullptr), VekIfDevOpenned(nullptr), VekDownloadFirmWare(nullptr, 0),
                  ResetUSBPipe(nullptr, 0x02), VekDevGetListedName(nullptr, 0, nullptr, 0) + 1})
        EXPECT_EQ(r, 0);
    EXPECT_EQ(VekDevGetDevice(nullptr), nullptr);
    // Unsupported numbers are refused before the pointer matters; the block clear is not supported.
    for (uint32_t n : {1u, 8u, 22u, 24u}) EXPECT_EQ(VekDevInquire(handle_, n, nullptr), DEV_ERR_UNSUPPORTED) << n;
    EXPECT_EQ(VekDevBlockClear(nullptr, 1, 2), DEV_ERR_UNSUPPORTED);
    EXPECT_EQ(VekDevBlockClear(handle_, 0, 0), DEV_ERR_UNSUPPORTED);
    EXPECT_EQ(VekSimTraceCount(), 0u);
}

// Gray depth (command 15), frequency (14), register 0x30 (18). Gray depth
// refused or failing: 0x8000000e before anything else; frequency out of
// range: 0x8000000c after command 15; register 0x30: its code as is.
TEST_F(BoardTest, InitRunsGrayDepthFrequencyAndRegister30) {
    DeviceInitParams p{0xFFFFFFFF, 1000, 8, 0x55};
    EXPECT_EQ(VekDevInit(handle_, &p), DEV_OK);
    EXPECT_EQ(TraceLines(board_),
              Lines({"W 21=70000fe", "R 21=70000fe<70000fe", "W 20=0", "W 22=0", "W 30=55", "R 30=55<55"}));
    EXPECT_EQ(handle_->grayBits, 8u);
    for (auto [frequency, rc] : {std::pair<uint32_t, uint32_t>{0x40000000, DEV_OK}, {0x40000001, DEV_ERR_TIMING}}) {
        DeviceInitParams top{0, frequency, 8, 0};
        EXPECT_EQ(VekDevInit(handle_, &top), rc) << frequency;
    }
    VekSimTraceClear();
    DeviceInitParams refused{0, 1000, 17, 0};
    EXPECT_EQ(VekDevInit(handle_, &refused), DEV_ERR_GRAY_DEPTH);
    EXPECT_TRUE(TraceLines(board_).empty());
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    EXPECT_EQ(VekDevInit(handle_, &p), DEV_ERR_GRAY_DEPTH);
    ASSERT_EQ(VekSimInjectFault(board_, 0x86, 2, VEK_SIM_FAULT_SHORT), 0);  // the read-back of 0x30
    EXPECT_EQ(VekDevInit(handle_, &p), DEV_ERR_VERIFY);
}

TEST_F(BoardTest, GateHeldByAnotherThreadEveryGatedCallTimesOut) {
    // Under the virtual clock the 1000 ms wait of the other thread expires at once.
    ASSERT_TRUE(vek::EnterGate(handle_));
    std::thread([&] {
        uint32_t v = 1;
        uint8_t buf[16] = {};
        for (uint32_t r :
             {VekDevControl(handle_, 10, &v), VekDevInquire(handle_, 5, &v), VekDevLoadFrame(handle_, buf, 0, 16),
              VekDevGetFrame(handle_, buf, 0, 16), VekDevRReg(handle_, 1, &v), VekDevFree(handle_)})
            EXPECT_EQ(r, DEV_ERR_BUSY);
    }).join();
    EXPECT_TRUE(TraceLines(board_).empty());
    // The holder may enter again; the waits that timed out left the gate alone.
    EXPECT_EQ(VekDevControl(handle_, 10, nullptr), DEV_OK);
    EXPECT_EQ(handle_->gateDepth, 1u);
    vek::LeaveGate(handle_);
    std::thread([&] { EXPECT_EQ(VekDevControl(handle_, 10, nullptr), DEV_OK); }).join();
}

}  // namespace
