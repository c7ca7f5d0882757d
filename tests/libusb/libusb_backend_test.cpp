// The libusb backend through the real libusb, against the virtual board's
// model served as an emulated usbfs device (run under umockdev-wrapper).
#include <gtest/gtest.h>
#include <libusb.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "drivers/libusb/libusb_backend.h"
#include "drivers/libusb/libusb_board.h"
#include "firmware/iic_file.h"
#include "usb/device/usb_device.h"
#include "usb/endpoint/usb_endpoint.h"
#include "usbfs_board.h"
#include "vek_dll.h"
#include "vek_files.h"
#include "vek_sim.h"

namespace vek::sim {
namespace {

using vektest::Pattern;

constexpr uint32_t kOk = 0;
constexpr uint32_t kBoardType = 0x00000002u;

EmulatedBus *g_bus = nullptr;

class BusEnvironment : public ::testing::Environment {
    void SetUp() override {
        if (EmulatedBus::Available()) g_bus = new EmulatedBus;
        usbdrv::EnableLibusbBackend();  // as the device calls do, for the cases that use the device object alone
    }
    void TearDown() override {
        usbdrv::ShutdownLibusbBackend();
        delete g_bus;
        g_bus = nullptr;
    }
};
[[maybe_unused]] const auto *g_environment = ::testing::AddGlobalTestEnvironment(new BusEnvironment);

// Refreshes until `count` boards are listed (hot-plug news reach libusb on its own thread).
size_t WaitForBoards(size_t count) {
    size_t found = 0;
    for (int i = 0; i < 200 && found != count; ++i)
        if ((found = usbdrv::RefreshLibusbBoards()) != count) usleep(10 * 1000);
    return found;
}

#ifdef VEK_TOOL
// The tool's output (both streams) for `args`, run in this sandbox.
std::string RunTool(const std::string &args) {
    std::string out;
    FILE *tool = popen((std::string(VEK_TOOL) + " " + args + " 2>&1").c_str(), "r");
    for (char line[256]; tool != nullptr && std::fgets(line, sizeof line, tool) != nullptr;) out += line;
    if (tool != nullptr) pclose(tool);
    return out;
}
#endif

// One board on the emulated bus at port 1-2.
class EmulatedOnly : public ::testing::Test {
protected:
    void SetUp() override {
        if (g_bus == nullptr) GTEST_SKIP() << "not running under umockdev-wrapper";
        VekSimSetVirtualClock(0);
        model_ = MakeVekBoardModel(kBoardType);
        board_ = std::make_unique<UsbfsBoard>(*g_bus, model_, 1, 2);
    }
    void TearDown() override {
        if (handle_ != nullptr) VekDevFree(handle_);
        old_.clear();
        board_.reset();
        if (g_bus != nullptr) usbdrv::RefreshLibusbBoards();
        VekSimDetachAll();
    }
    void Open() {
        uint8_t vek40 = 0;
        ASSERT_EQ(VekDevAlloc(0, &handle_, &vek40), kOk);
        EXPECT_EQ(vek40, 1);
    }
    // A restarted controller leaves the bus and comes back on its port at a new address.
    void Replug() {
        board_->Unplug();
        old_.push_back(std::move(board_));
        board_ = std::make_unique<UsbfsBoard>(*g_bus, model_, 1, 2);
    }
    std::vector<uint8_t> Memory(uint32_t address, size_t length) {
        std::vector<uint8_t> out(length);
        model_->ReadMemory(address, out.data(), static_cast<uint32_t>(length));
        return out;
    }
    std::shared_ptr<BoardModel> model_;
    std::unique_ptr<UsbfsBoard> board_;
    std::vector<std::unique_ptr<UsbfsBoard>> old_;
    DeviceHandle *handle_ = nullptr;
};

// Initialise, inquire the board type, load a frame of several 1 MiB pieces and read it back.
TEST_F(EmulatedOnly, TypicalUse) {
    ASSERT_NO_FATAL_FAILURE(Open());
    DeviceInitParams params{0, 1000, 8, 0x5};
    EXPECT_EQ(VekDevInit(handle_, &params), kOk);
    uint32_t type = 0;
    EXPECT_EQ(VekDevInquire(handle_, 5, &type), kOk);
    EXPECT_EQ(model_->GetRegister(0x30), 0x5u);
    const std::vector<uint8_t> frame = Pattern(3 * 1024 * 1024 + 4096, 7);
    const auto size = static_cast<uint32_t>(frame.size());
    ASSERT_EQ(VekDevLoadFrame(handle_, frame.data(), 0x1000, size), kOk);
    EXPECT_EQ(Memory(0x1000, size), frame);
    std::vector<uint8_t> back(size);
    ASSERT_EQ(VekDevGetFrame(handle_, back.data(), 0x1000, size), kOk);
    EXPECT_EQ(back, frame);
}

// A stalled register pipe fails the write until the pipe is reset. A board
// pulled while nothing was pending (nothing has told the library yet) refuses
// requests as not connected.
TEST_F(EmulatedOnly, StallLeavesTheBoardUsableOnceThePipeIsReset) {
    ASSERT_NO_FATAL_FAILURE(Open());
    model_->InjectFault(0x04, 1, Fault::Stall);
    uint32_t value = 0x1234;
    EXPECT_NE(VekDevControl(handle_, 18, &value), kOk);
    EXPECT_NE(VekDevControl(handle_, 18, &value), kOk);  // still halted
    EXPECT_EQ(ResetUSBPipe(handle_, 0x04), 1);
    EXPECT_EQ(VekDevControl(handle_, 18, &value), kOk);
    EXPECT_EQ(model_->GetRegister(0x30), 0x1234u);
    board_->Unplug();
    CCyUSBEndPoint *out = VekDevGetDevice(handle_)->bulkOutEndpoint;
    int32_t length = 8;
    EXPECT_FALSE(out->SyncTransfer(reinterpret_cast<uint8_t *>(&value), length));
    EXPECT_EQ(out->lastError, ERROR_DEVICE_NOT_CONNECTED);
}

// With the virtual clock on, a real board's 100 ms pause before frame-go is
// taken in full on real time, and virtual time does not move.
TEST_F(EmulatedOnly, TheVirtualClockDoesNotReachARealBoard) {
    ASSERT_NO_FATAL_FAILURE(Open());
    uint32_t value = 0;
    ASSERT_EQ(VekDevInquire(handle_, 5, &value), kOk);
    const std::vector<uint8_t> frame = Pattern(4096, 3);
    VekSimSetVirtualClock(1);
    const uint64_t virtualBefore = VekSimClockMs();
    const auto realBefore = std::chrono::steady_clock::now();
    EXPECT_EQ(VekDevLoadFrame(handle_, frame.data(), 0, static_cast<uint32_t>(frame.size())), kOk);
    const auto realMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realBefore).count();
    EXPECT_EQ(Memory(0, frame.size()), frame);
    // Re-opens of a board that has gone pause for real, the second too.
    board_->Unplug();
    EXPECT_EQ(DevReAlloc(handle_), 0);
    EXPECT_EQ(DevReAlloc(handle_), 0);
    EXPECT_EQ(VekSimClockMs() - virtualBefore, 0u);
    VekSimSetVirtualClock(0);
    EXPECT_GE(realMs, 100);  // a lower bound: the pause itself
}

// The driver queries describe the board; a kernel driver bound to it is
// detached while it is open and reattached after.
TEST_F(EmulatedOnly, DriverQueriesDescribeTheBoard) {
    board_->BindKernelDriver("vek_kernel_driver");
    {
        CCyDevice device(nullptr, kDriverInterfaceClass, 1);
        ASSERT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(board_->KernelDriverBound());  // detached while open
        EXPECT_STREQ(device.driverDeviceName, kDefaultProduct);
        EXPECT_EQ(std::string(device.driverFriendlyName),
                  std::string(kDefaultManufacturer) + " " + kDefaultProduct + " (1-2)");
        EXPECT_TRUE(device.isHighSpeed);
        EXPECT_FALSE(device.isSuperSpeed);
        EXPECT_EQ(device.busAddress, board_->DeviceNumber());
        const libusb_version *lv = libusb_get_version();
        EXPECT_EQ(device.stackRevision, (uint32_t{lv->major} << 24) | (uint32_t{lv->minor} << 16) | lv->micro);
    }
    EXPECT_TRUE(board_->KernelDriverBound());  // reattached
}

// A board the user may not open: the notice names its ids and the udev rule
// line that would match them. The node's mode counts for this thread once it
// has given up the capabilities that let root pass over it.
TEST_F(EmulatedOnly, WithoutPermissionTheNoticeNamesTheIdsAndTheRule) {
    gchar *root = umockdev_testbed_get_root_dir(g_bus->Testbed());
    const std::string node = root + board_->DevNode();
    g_free(root);
    struct stat before {};
    ASSERT_EQ(stat(node.c_str(), &before), 0);
    ASSERT_EQ(chmod(node.c_str(), 0), 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    ASSERT_EQ(syscall(SYS_capget, &header, caps), 0);
    const uint32_t bypass = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    caps[0].effective &= ~bypass;
    ASSERT_EQ(syscall(SYS_capset, &header, caps), 0);
    // The notice reaches the program's callback, at the level it asked for.
    std::string notice;
    VekSetLogCallback(
        [](int level, const char *text, void *to) {
            if (level == VEK_LOG_ERROR) *static_cast<std::string *>(to) += text;
        },
        &notice);
    VekSetLogLevel(VEK_LOG_ERROR);
    const uint32_t result = VekDevAlloc(0, &handle_, nullptr);
    const std::string path = drivers::InterfacePath(0x1209, 0x7E40, "1-2@" + std::to_string(board_->DeviceNumber()));
    EXPECT_EQ(win32::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    const DWORD openError = win32::GetLastError();
    VekSetLogLevel(VEK_LOG_SILENT);
    VekSetLogCallback(nullptr, nullptr);
    caps[0].effective |= bypass;
    syscall(SYS_capset, &header, caps);
    chmod(node.c_str(), before.st_mode & 07777);
    EXPECT_NE(result, kOk);
    EXPECT_EQ(openError, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_NE(notice.find("no permission to open the USB board 1209:7e40 at 1-2"), std::string::npos) << notice;
    EXPECT_NE(notice.find(R"(ATTR{idVendor}=="1209", ATTR{idProduct}=="7e40", TAG+="uaccess")"), std::string::npos)
        << notice;
}

// A board is found by its product string whatever its ids, when plugged in
// later too, and listed by port number (1-3 before 1-10), ahead of virtual
// boards. A device with the board's ids
// whose string sysfs does not give is asked for it before anything else: a
// board then, or left alone ("Acme": never claimed, its kernel driver kept,
// nothing written).
TEST_F(EmulatedOnly, BoardsAreFoundByTheirProductString) {
    EXPECT_EQ(usbdrv::RefreshLibusbBoards(), 1u);
    UsbfsBoard unlisted(*g_bus, MakeVekBoardModel(7, 0x7E41, "EMU0003"), 1, 3);
    auto acmeModel = MakeVekBoardModel(9, 0x7E40, "EMU0004", "Acme");
    UsbfsBoard acme(*g_bus, acmeModel, 1, 4), quiet(*g_bus, MakeVekBoardModel(7, 0x7E40, "EMU0005"), 1, 10);
    acme.BindKernelDriver("acme");
    acme.HideSysfsAttribute("product");
    quiet.HideSysfsAttribute("product");
    ASSERT_EQ(WaitForBoards(3), 3u);  // plugged in later
    VekSimAttach(nullptr);
    CCyDevice device(nullptr, kDriverInterfaceClass, 0);
    EXPECT_EQ(device.DeviceCount(), 4);
    // Each told apart without being opened: real ones by bus, port and the
    // serial number of sysfs, the virtual one by its made-up place.
    VekBoardInfo boards[4] = {};
    ASSERT_EQ(VekListBoards(boards, 4), 4);
    const char *expected[] = {"0 libusb 1 1-2 EMU0001 1209:7e40 0", "1 libusb 1 1-3 EMU0003 1209:7e41 0",
                              "2 libusb 1 1-10 EMU0005 1209:7e40 0", "3 vek-sim 0 virtual-0 VEKSIM0 1209:7e40 1"};
    for (int i = 0; i < 4; ++i) {
        const VekBoardInfo &b = boards[i];
        char seen[128];
        std::snprintf(seen, sizeof seen, "%u %s %u %s %.7s %04x:%04x %d", b.index, b.backend, b.bus, b.portPath,
                      b.serial, b.vendorId, b.productId, b.isVirtual);
        EXPECT_STREQ(seen, expected[i]);
    }
    EXPECT_EQ(VekListBoards(boards, 1), 4);  // the count, whatever fits
    EXPECT_EQ(VekListBoards(nullptr, 1), -1);
    ASSERT_NO_FATAL_FAILURE(Open());  // its name list opens every board
    EXPECT_EQ(std::tuple(acme.ClaimCount(), acme.KernelDriverBound(), acmeModel->GetRegister(0x30)),
              std::tuple(0, true, 0u));
    VekDevFree(std::exchange(handle_, nullptr));  // before its boards go
    VekSimDetachAll();
    EXPECT_EQ(device.DeviceCount(), 3);
}

// After a firmware download the board is re-opened where it is, whatever its
// index: the library's VekDevReopen, and the tool's `vek firmware --board N`;
// DevReAlloc takes device 0, a real board re-enumerated after a virtual one
// was attached.
TEST_F(EmulatedOnly, ReopenFindsTheBoardAtItsPort) {
    auto otherModel = MakeVekBoardModel(kBoardType, 0x7E40, "EMU0002", kDefaultProduct, "Second");
    auto other = std::make_unique<UsbfsBoard>(*g_bus, otherModel, 1, 3);
    ASSERT_EQ(WaitForBoards(2), 2u);
    ASSERT_EQ(VekDevAlloc(1, &handle_, nullptr), kOk);
    ASSERT_GE(VekSimAttach(nullptr), 0);
    other->Unplug();  // kept until the handle lets go of it
    old_.push_back(std::exchange(other, std::make_unique<UsbfsBoard>(*g_bus, otherModel, 1, 3)));
    EXPECT_EQ(VekDevReopen(handle_), 1);
    uint32_t value = 0x99;
    EXPECT_EQ(VekDevControl(handle_, 18, &value), kOk);
    EXPECT_EQ(otherModel->GetRegister(0x30), 0x99u);
    Replug();
    EXPECT_EQ(DevReAlloc(handle_), 1);  // device 0: the real board ahead of the virtual one
    EXPECT_EQ(VekDevControl(handle_, 18, &value), kOk);
    EXPECT_EQ(model_->GetRegister(0x30), 0x99u);
    VekDevFree(std::exchange(handle_, nullptr));  // before its board goes
#ifdef VEK_TOOL
    vektest::ScratchDirectory dir;
    vektest::ScratchDirectory::WriteFirmware(vektest::IicFile({{0x0100, Pattern(64, 1)}}));
    const std::string out = RunTool("--json --board 1 firmware dlp_usb.iic");
    EXPECT_NE(out.find(R"("firmware_version": "Second")"), std::string::npos) << out;
    std::vector<uint8_t> ram(64);
    otherModel->ReadControllerRam(0x0100, ram.data(), 64);
    EXPECT_EQ(std::pair(ram, otherModel->ControllerHeld()), std::pair(Pattern(64, 1), false));  // control transfers
#endif
}

// A pipe of alternate setting 1 is there once the setting is chosen.
TEST_F(EmulatedOnly, PipesOfTheChosenAlternateSetting) {
    BoardSetup setup{VekBoardDescriptors(kDefaultManufacturer, kDefaultProduct, "EMU0006"), {kDefaultProduct, ""}};
    const std::vector<EndpointSpec> bulk = {{0x02}, {0x04}, {0x86}}, more = {{0x02}, {0x04}, {0x86}, {0x08}};
    setup.descriptors.configurations = {
        ConfigurationDescriptor({1, 0x80, 50, 0, -1, {{0, 0, 0xFF, 0, 0, 0, bulk}, {0, 1, 0xFF, 0, 0, 0, more}}})};
    UsbfsBoard second(*g_bus, std::make_shared<BoardModel>(2000, std::move(setup)), 1, 3);
    ASSERT_EQ(WaitForBoards(2), 2u);
    ASSERT_EQ(VekDevAlloc(1, &handle_, nullptr), kOk);
    const auto request = [&](uint32_t code, void *in, DWORD inLength, void *out, DWORD outLength) {
        DWORD returned = 0;
        return win32::DeviceIoControl(VekDevGetDevice(handle_)->driverHandle, code, in, inLength, out, outLength,
                                      &returned, nullptr)
                   ? DWORD{0}
                   : win32::GetLastError();
    };
    uint8_t alternate = 1, data[16] = {};
    TransferRequest block{};
    block.endpointAddress = 0x08;
    EXPECT_EQ(request(ioctl::kDirectData, &block, sizeof block, data, sizeof data), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(request(ioctl::kSetAltSetting, &alternate, 1, nullptr, 0), 0u);
    EXPECT_EQ(request(ioctl::kDirectData, &block, sizeof block, data, sizeof data), 0u);
    VekDevFree(std::exchange(handle_, nullptr));  // before its board goes
}

// A board that ignores the abort of a read that never ends is given up: the
// read fails, the handle is freed, and the board is found and opened again.
TEST_F(EmulatedOnly, ABoardThatIgnoresTheAbortIsGivenUpAndOpenedAgain) {
    usbdrv::SetCancelWaitLimit(std::chrono::milliseconds(200));
    ASSERT_NO_FATAL_FAILURE(Open());
    board_->IgnoreDiscards();
    model_->InjectFault(0x86, 1, Fault::StayPending);
    uint32_t value = 0;
    EXPECT_NE(VekDevRReg(handle_, 0x02, &value), kOk);
    EXPECT_EQ(VekDevFree(std::exchange(handle_, nullptr)), kOk);
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(VekDevRReg(handle_, 0x02, &value), kOk);
    EXPECT_EQ(value, kBoardType);
    usbdrv::SetCancelWaitLimit(std::chrono::seconds(30));
}

// Two boards, each driven by its own thread (the ThreadSanitizer build runs this case).
TEST_F(EmulatedOnly, TwoBoardsOnTwoThreads) {
    auto other = MakeVekBoardModel(kBoardType, 0x7E40, "EMU0002");
    UsbfsBoard second(*g_bus, other, 1, 3);
    ASSERT_EQ(WaitForBoards(2), 2u);
    DeviceHandle *handles[2] = {};
    ASSERT_EQ(VekDevAlloc(0, &handles[0], nullptr), kOk);
    ASSERT_EQ(VekDevAlloc(1, &handles[1], nullptr), kOk);
    auto drive = [&](uint32_t k) {
        for (uint32_t i = 0, back = 0; i < 40; ++i) {
            uint32_t value = i * 2 + k;
            EXPECT_EQ(VekDevControl(handles[k], 18, &value), kOk);
            EXPECT_EQ(VekDevRReg(handles[k], 0x30, &back), kOk);
            EXPECT_EQ(back, i * 2 + k);
        }
    };
    std::jthread(drive, 0u), std::jthread(drive, 1u);  // joined at the end of the statement
    EXPECT_EQ(std::pair(model_->GetRegister(0x30), other->GetRegister(0x30)), std::pair(78u, 79u));
    for (DeviceHandle *h : handles) EXPECT_EQ(VekDevFree(h), kOk);
}

// A waiting read ends with the status of whatever ended it: an abort of its
// pipe, libusb's time-out of a control read, or the board leaving the bus. A
// pulled board's node hangs up: libusb ends its transfers and drops the board
// at once, before udev's news, and the board is opened again once it is back.
TEST_F(EmulatedOnly, PendingReadEndsWithTheStatusOfWhatEndedIt) {
    struct Case {
        std::string how;
        DWORD error;
        uint32_t ntStatus, usbdStatus;
    };
    for (const Case &c : {Case{"abort", ERROR_OPERATION_ABORTED, kNtStatusCancelled, kUsbdStatusCanceled},
                          Case{"time-out", ERROR_SEM_TIMEOUT, kNtStatusIoTimeout, kUsbdStatusTimeout},
                          Case{"unplug", ERROR_DEVICE_NOT_CONNECTED, kNtStatusNoSuchDevice, kUsbdStatusDeviceGone}}) {
        SCOPED_TRACE(c.how);
        {
            CCyDevice device(nullptr, kDriverInterfaceClass, 1);
            ASSERT_NE(device.bulkInEndpoint, nullptr);
            CCyUSBEndPoint *endpoint = device.bulkInEndpoint;  // a read the board has nothing for
            if (c.how == "time-out") {
                device.controlEndpoint->direction = 1;
                device.controlEndpoint->requestType = 2;
                device.controlEndpoint->timeoutMs = 1000;  // goes with the request
                model_->InjectFault(0, 1, Fault::StayPending);
                endpoint = device.controlEndpoint;
            }
            CCyUSBEndPoint &ep = *endpoint;
            OVERLAPPED ov{};
            ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            uint8_t buffer[8] = {};
            uint8_t *block = ep.BeginTransfer(buffer, sizeof buffer, &ov);
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(ep.lastError, ERROR_IO_PENDING);
            EXPECT_EQ(WaitForSingleObject(ov.hEvent, 300), WAIT_TIMEOUT);  // running (a control read's limit: 1 s)
            if (c.how == "abort") {
                EXPECT_TRUE(ep.AbortPipe());  // returns once the request has ended
            } else {
                if (c.how == "unplug") board_->Unplug(/*tellUdev=*/false);
                EXPECT_TRUE(ep.WaitForTransfer(&ov, 10000));
                if (c.how == "unplug") {
                    EXPECT_EQ(usbdrv::RefreshLibusbBoards(), 0u);
                }
            }
            DWORD bytes = 0;
            EXPECT_FALSE(GetOverlappedResult(device.driverHandle, &ov, &bytes, FALSE));
            EXPECT_EQ(GetLastError(), c.error);
            int32_t length = sizeof buffer;
            EXPECT_FALSE(ep.FinishTransfer(buffer, length, &ov, block));
            EXPECT_EQ(length, 0);
            EXPECT_EQ(ep.ntStatus, c.ntStatus);
            EXPECT_EQ(ep.usbdStatus, c.usbdStatus);
            CloseHandle(ov.hEvent);
        }
        Replug();  // back on the same port
        ASSERT_EQ(WaitForBoards(1), 1u);
        ASSERT_NO_FATAL_FAILURE(Open());
        uint32_t value = 0;
        EXPECT_EQ(VekDevRReg(handle_, 0x02, &value), kOk);
        EXPECT_EQ(value, kBoardType);
        EXPECT_EQ(VekDevFree(std::exchange(handle_, nullptr)), kOk);
    }
}

#ifdef VEK_TOOL
// `vek --sim` reaches virtual boards only: with a board on the bus, listing
// and choosing boards neither show nor claim it; plain `vek list` shows it.
TEST_F(EmulatedOnly, SimToolLeavesRealBoardsAlone) {
    const auto run = RunTool;
    const std::string simList = run("--sim list");
    EXPECT_NE(simList.find("virtual-0"), std::string::npos) << simList;
    EXPECT_EQ(simList.find("1-2 "), std::string::npos) << simList;
    for (const char *choice : {"--sim --board 1-2 reg read 2", "--sim --board 1 reg read 2"})
        EXPECT_NE(run(choice).find("DEV_ERR_NO_DEVICE"), std::string::npos) << choice;
    EXPECT_EQ(board_->ClaimCount(), 0);
    EXPECT_NE(run("list").find("1-2 "), std::string::npos);
}
#endif

}  // namespace
}  // namespace vek::sim
