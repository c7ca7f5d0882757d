// The libusb backend through the real libusb, against the virtual board's
// model served as an emulated usbfs device; and the same roads of use on the
// in-process virtual board, with the same outcomes asserted on both.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "drivers/libusb/libusb_backend.h"
#include "platform/win32.h"
#include "usb/device/usb_device.h"
#include "usb/endpoint/usb_endpoint.h"
#include "usb/driver_interface.h"
#include "usbfs_board.h"
#include "vek_dll.h"
#include "vek_sim.h"

namespace vek::usbtest {
namespace {

constexpr uint32_t kOk = 0;
constexpr uint32_t kNoDevice = 0x80000001u;
constexpr uint32_t kBoardType = 0x00000002u;

EmulatedBus *g_bus = nullptr;

class BusEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (EmulatedBus::Available()) g_bus = new EmulatedBus;
    }
    void TearDown() override {
        usbdrv::ShutdownLibusbBackend();
        delete g_bus;
        g_bus = nullptr;
    }
};

[[maybe_unused]] const auto *g_environment = ::testing::AddGlobalTestEnvironment(new BusEnvironment);

// One board, on one of the two fronts, with the test side's view of it.
class Front {
public:
    virtual ~Front() = default;
    virtual uint32_t Register(uint32_t address) = 0;
    virtual void InjectFault(uint32_t endpoint, uint32_t nth, VekSimFault kind) = 0;
    virtual bool ControllerHeld() = 0;
    virtual std::vector<uint8_t> ControllerRam(uint32_t address, uint32_t length) = 0;
    virtual std::vector<uint8_t> Memory(uint32_t address, uint32_t length) = 0;
    // What a board does after its controller restarted.
    virtual void AfterFirmwareStart() {}
};

class VirtualFront : public Front {
public:
    VirtualFront() {
        VekSimBoardConfig config{};
        config.size = sizeof config;
        config.boardTypeRegister = kBoardType;
        id_ = VekSimAttach(&config);
    }
    ~VirtualFront() override { VekSimDetachAll(); }
    uint32_t Register(uint32_t address) override {
        uint32_t v = 0;
        VekSimGetRegister(id_, address, &v);
        return v;
    }
    void InjectFault(uint32_t endpoint, uint32_t nth, VekSimFault kind) override {
        VekSimInjectFault(id_, endpoint, nth, kind);
    }
    bool ControllerHeld() override { return VekSimControllerHeld(id_) == 1; }
    std::vector<uint8_t> ControllerRam(uint32_t address, uint32_t length) override {
        std::vector<uint8_t> out(length);
        VekSimReadControllerRam(id_, address, out.data(), length);
        return out;
    }
    std::vector<uint8_t> Memory(uint32_t address, uint32_t length) override {
        std::vector<uint8_t> out(length);
        VekSimReadMemory(id_, address, out.data(), length);
        return out;
    }

private:
    int id_ = -1;
};

class EmulatedFront : public Front {
public:
    EmulatedFront() : model_(MakeVekBoardModel(kBoardType)) {
        board_ = std::make_unique<UsbfsBoard>(*g_bus, model_, 1, 2);
    }
    ~EmulatedFront() override {
        old_.clear();
        board_.reset();
        usbdrv::RefreshLibusbBoards();
    }
    uint32_t Register(uint32_t address) override { return model_->GetRegister(address); }
    void InjectFault(uint32_t endpoint, uint32_t nth, VekSimFault kind) override {
        model_->InjectFault(endpoint, nth, static_cast<sim::Fault>(kind));
    }
    bool ControllerHeld() override { return model_->ControllerHeld(); }
    std::vector<uint8_t> ControllerRam(uint32_t address, uint32_t length) override {
        std::vector<uint8_t> out(length);
        model_->ReadControllerRam(address, out.data(), length);
        return out;
    }
    std::vector<uint8_t> Memory(uint32_t address, uint32_t length) override {
        std::vector<uint8_t> out(length);
        model_->ReadMemory(address, out.data(), length);
        return out;
    }
    // The restarted controller leaves the bus and comes back at a new address.
    void AfterFirmwareStart() override {
        board_->Unplug();
        old_.push_back(std::move(board_));
        board_ = std::make_unique<UsbfsBoard>(*g_bus, model_, 1, 2);
    }
    UsbfsBoard &Board() { return *board_; }

private:
    std::shared_ptr<sim::BoardModel> model_;
    std::unique_ptr<UsbfsBoard> board_;
    std::vector<std::unique_ptr<UsbfsBoard>> old_;
};

enum class Kind { Virtual, Emulated };

std::string KindName(const ::testing::TestParamInfo<Kind> &info) {
    return info.param == Kind::Virtual ? "VirtualBoard" : "EmulatedUsbfsBoard";
}

class BothFronts : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        VekSimSetVirtualClock(0);  // libusb completes on real time
        if (GetParam() == Kind::Emulated) {
            if (g_bus == nullptr) GTEST_SKIP() << "not running under umockdev-wrapper";
            front_ = std::make_unique<EmulatedFront>();
        } else {
            front_ = std::make_unique<VirtualFront>();
        }
    }
    void TearDown() override {
        if (handle_ != nullptr) VekDevFree(handle_);
        handle_ = nullptr;
        front_.reset();
    }
    DeviceHandle *Alloc() {
        uint8_t vek40 = 0;
        EXPECT_EQ(VekDevAlloc(0, &handle_, &vek40), kOk);
        EXPECT_EQ(vek40, 1);
        return handle_;
    }
    std::unique_ptr<Front> front_;
    DeviceHandle *handle_ = nullptr;
};

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131 + seed) >> 3);
    return v;
}

// The road of a typical use: allocate, initialise, inquire the board type,
// load a frame and read it back, free.
TEST_P(BothFronts, TypicalUse) {
    ASSERT_NE(Alloc(), nullptr);
    DeviceInitParams params{0, 1000, 8, 0x5};
    EXPECT_EQ(VekDevInit(handle_, &params), kOk);
    uint32_t type = 0;
    EXPECT_EQ(VekDevInquire(handle_, 5, &type), kOk);
    EXPECT_EQ(front_->Register(0x30), 0x5u);

    const std::vector<uint8_t> frame = Pattern(3 * 1024 * 1024 + 4096, 7);  // several 1 MiB pieces
    ASSERT_EQ(VekDevLoadFrame(handle_, frame.data(), 0x1000, static_cast<uint32_t>(frame.size())), kOk);
    EXPECT_EQ(front_->Memory(0x1000, static_cast<uint32_t>(frame.size())), frame);
    std::vector<uint8_t> back(frame.size());
    ASSERT_EQ(VekDevGetFrame(handle_, back.data(), 0x1000, static_cast<uint32_t>(back.size())), kOk);
    EXPECT_EQ(back, frame);
    EXPECT_EQ(VekDevFree(handle_), kOk);
    handle_ = nullptr;
}

// The controller firmware download, then the re-open after the restart.
TEST_P(BothFronts, FirmwareDownloadThenReopen) {
    ASSERT_NE(Alloc(), nullptr);
    const auto dir = std::filesystem::temp_directory_path() / ("vek-libusb-fw-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    {
        // Header, 3000 bytes at 0x0100, the end record.
        std::vector<uint8_t> file = {0xC2, 0, 0, 0, 0, 0, 0, 0, 0x0B, 0xB8, 0x01, 0x00};
        const std::vector<uint8_t> code = Pattern(3000, 3);
        file.insert(file.end(), code.begin(), code.end());
        file.insert(file.end(), {0x80, 0x01, 0xE6, 0x00, 0x00});
        std::ofstream("dlp_usb.iic", std::ios::binary).write(reinterpret_cast<const char *>(file.data()),
                                                            static_cast<std::streamsize>(file.size()));
        VekSimSetVirtualClock(1);  // the 2000 ms pause after the download passes at once
        EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 1);
        VekSimSetVirtualClock(0);
        EXPECT_EQ(front_->ControllerRam(0x0100, 3000), code);
        EXPECT_FALSE(front_->ControllerHeld());
    }
    std::filesystem::current_path(cwd);
    std::filesystem::remove_all(dir);

    front_->AfterFirmwareStart();
    EXPECT_EQ(DevReAlloc(handle_), 1);
    EXPECT_EQ(VekIfDevOpenned(handle_), 1);
    uint32_t value = 0;
    EXPECT_EQ(VekDevRReg(handle_, 0x02, &value), kOk);
    EXPECT_EQ(value, kBoardType);
}

// A stalled register pipe fails the write until the pipe is reset.
TEST_P(BothFronts, StallThenPipeReset) {
    ASSERT_NE(Alloc(), nullptr);
    front_->InjectFault(0x04, 1, VEK_SIM_FAULT_STALL);
    uint32_t value = 0x1234;
    EXPECT_NE(VekDevControl(handle_, 18, &value), kOk);
    EXPECT_NE(VekDevControl(handle_, 18, &value), kOk);  // still halted
    EXPECT_EQ(ResetUSBPipe(handle_, 0x04), 1);
    EXPECT_EQ(VekDevControl(handle_, 18, &value), kOk);
    EXPECT_EQ(front_->Register(0x30), 0x1234u);
}

// A register read whose reply never comes: the 2000 ms wait ends, the pending
// read is aborted, and the board answers the next read.
TEST_P(BothFronts, PendingReadIsAbortedAndTheBoardStaysUsable) {
    ASSERT_NE(Alloc(), nullptr);
    front_->InjectFault(0x86, 1, VEK_SIM_FAULT_STAY_PENDING);
    uint32_t value = 0;
    EXPECT_NE(VekDevRReg(handle_, 0x02, &value), kOk);
    EXPECT_EQ(VekDevRReg(handle_, 0x02, &value), kOk);
    EXPECT_EQ(value, kBoardType);
}

// The board is pulled while frame data is on its way: the load fails, nothing
// hangs, the handle is freed, and the board is no longer listed.
TEST_P(BothFronts, UnplugDuringATransfer) {
    ASSERT_NE(Alloc(), nullptr);
    uint32_t value = 0;
    ASSERT_EQ(VekDevInquire(handle_, 5, &value), kOk);
    front_->InjectFault(0x02, 1, VEK_SIM_FAULT_DETACH);
    const std::vector<uint8_t> frame = Pattern(256 * 1024, 1);
    // A frame load reports no transfer failure; the register read after it does.
    EXPECT_EQ(VekDevLoadFrame(handle_, frame.data(), 0, static_cast<uint32_t>(frame.size())), kOk);
    EXPECT_NE(VekDevRReg(handle_, 0x02, &value), kOk);
    EXPECT_EQ(VekDevFree(handle_), kOk);
    handle_ = nullptr;
    DeviceHandle *again = nullptr;
    uint8_t vek40 = 0;
    EXPECT_EQ(VekDevAlloc(0, &again, &vek40), kNoDevice);
}

INSTANTIATE_TEST_SUITE_P(LibusbBackend, BothFronts, ::testing::Values(Kind::Virtual, Kind::Emulated), KindName);

// ---------------------------------------------------------------------------
// What only the emulated board shows: the libusb side itself.

class EmulatedOnly : public ::testing::Test {
protected:
    void SetUp() override {
        if (g_bus == nullptr) GTEST_SKIP() << "not running under umockdev-wrapper";
        VekSimSetVirtualClock(0);
        front_ = std::make_unique<EmulatedFront>();
    }
    std::unique_ptr<EmulatedFront> front_;
};

TEST_F(EmulatedOnly, DriverQueriesDescribeTheBoard) {
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    ASSERT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(device.driverDeviceName, sim::kDefaultProduct);
    EXPECT_EQ(std::string(device.driverFriendlyName),
              std::string(sim::kDefaultManufacturer) + " " + sim::kDefaultProduct + " (1-2)");
    EXPECT_TRUE(device.isHighSpeed);
    EXPECT_FALSE(device.isSuperSpeed);
    EXPECT_EQ(device.busAddress, front_->Board().DeviceNumber());
    EXPECT_EQ(device.vendorId, 0x1209);
    EXPECT_EQ(device.EndpointListSize(), 4);
    const libusb_version *lv = libusb_get_version();
    EXPECT_EQ(device.stackRevision, (uint32_t{lv->major} << 24) | (uint32_t{lv->minor} << 16) | lv->micro);
}

TEST_F(EmulatedOnly, KernelDriverIsDetachedWhileOpenAndReattachedAfter) {
    front_->Board().BindKernelDriver("vek_kernel_driver");
    {
        CCyDevice device(nullptr, kDriverInterfaceClass, 1);
        ASSERT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(front_->Board().KernelDriverBound());
        EXPECT_GE(front_->Board().ClaimCount(), 1);
    }
    EXPECT_TRUE(front_->Board().KernelDriverBound());
}

TEST_F(EmulatedOnly, BoardsPluggedInLaterAreFound) {
    EXPECT_EQ(usbdrv::RefreshLibusbBoards(), 1u);
    auto second = std::make_unique<UsbfsBoard>(*g_bus, MakeVekBoardModel(7), 1, 3);
    size_t found = 0;
    for (int i = 0; i < 200 && found != 2; ++i) {
        found = usbdrv::RefreshLibusbBoards();
        if (found != 2) usleep(10 * 1000);
    }
    EXPECT_EQ(found, 2u);
    CCyDevice device(nullptr, kDriverInterfaceClass, 0);
    EXPECT_EQ(device.DeviceCount(), 2);
    second.reset();
}

// A read that waits for data ends with the status of whatever ended it: an
// abort of its pipe, or the board leaving the bus.
TEST_F(EmulatedOnly, PendingReadEndsWithTheStatusOfWhatEndedIt) {
    struct Case {
        const char *what;
        bool unplug;
        DWORD error;
        uint32_t ntStatus;
        uint32_t usbdStatus;
    };
    const Case cases[] = {
        {"abort", false, ERROR_OPERATION_ABORTED, kNtStatusCancelled, kUsbdStatusCanceled},
        {"unplug", true, ERROR_DEVICE_NOT_CONNECTED, kNtStatusNoSuchDevice, kUsbdStatusDeviceGone},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        front_.reset();
        front_ = std::make_unique<EmulatedFront>();
        CCyDevice device(nullptr, kDriverInterfaceClass, 1);
        ASSERT_NE(device.bulkInEndpoint, nullptr);
        CCyUSBEndPoint &in = *device.bulkInEndpoint;
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        uint8_t buffer[8] = {};
        uint8_t *block = in.BeginTransfer(buffer, sizeof buffer, &ov);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(in.lastError, ERROR_IO_PENDING);
        if (c.unplug) {
            front_->Board().Unplug();
            EXPECT_TRUE(in.WaitForTransfer(&ov, 10000));
        } else {
            EXPECT_TRUE(in.AbortPipe());  // returns once the request has ended
        }
        DWORD bytes = 0;
        EXPECT_FALSE(GetOverlappedResult(device.driverHandle, &ov, &bytes, FALSE));
        EXPECT_EQ(GetLastError(), c.error);
        int32_t length = sizeof buffer;
        EXPECT_FALSE(in.FinishTransfer(buffer, length, &ov, block));
        EXPECT_EQ(length, 0);
        EXPECT_EQ(in.ntStatus, c.ntStatus);
        EXPECT_EQ(in.usbdStatus, c.usbdStatus);
        CloseHandle(ov.hEvent);
    }
}

// Register packets on the buffered path (data inside the request block).
TEST_F(EmulatedOnly, BufferedRequestsMoveTheDataInsideTheBlock) {
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    ASSERT_EQ(device.EndpointListSize(), 4);
    CCyUSBEndPoint *out = nullptr;
    for (int i = 1; i < 4; ++i)
        if (device.endpointList[i]->address == 0x04) out = device.endpointList[i];
    ASSERT_NE(out, nullptr);
    CCyUSBEndPoint &in = *device.bulkInEndpoint;
    out->directTransfer = 0;
    in.directTransfer = 0;
    uint8_t write[8] = {0x30, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
    int32_t length = 8;
    EXPECT_TRUE(out->SyncTransfer(write, length));
    EXPECT_EQ(length, 8);
    EXPECT_EQ(front_->Register(0x30), 0x12345678u);
    uint8_t read[8] = {0x30, 0, 0, 0x80, 0, 0, 0, 0};
    length = 8;
    EXPECT_TRUE(out->SyncTransfer(read, length));
    uint8_t reply[8] = {};
    length = 8;
    EXPECT_TRUE(in.SyncTransfer(reply, length));
    EXPECT_EQ(length, 8);
    uint32_t value = 0;
    std::memcpy(&value, reply + 4, 4);
    EXPECT_EQ(value, 0x12345678u);
}

// Virtual boards and libusb boards are listed side by side.
TEST_F(EmulatedOnly, VirtualAndUsbBoardsAreListedTogether) {
    VekSimAttach(nullptr);
    CCyDevice device(nullptr, kDriverInterfaceClass, 0);
    EXPECT_EQ(device.DeviceCount(), 2);
    VekSimDetachAll();
    EXPECT_EQ(device.DeviceCount(), 1);
}

TEST(NoBoard, AllocationSaysNoDevice) {
    VekSimDetachAll();
    DeviceHandle *handle = nullptr;
    uint8_t vek40 = 0;
    EXPECT_EQ(VekDevAlloc(0, &handle, &vek40), kNoDevice);
    EXPECT_EQ(vek40, 0);
}

}  // namespace
}  // namespace vek::usbtest
