// Device files and their requests over a tiny backend registered here, and
// the device setup calls over the driver registry.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/device_registry.h"
#include "platform/win32.h"

namespace vek::platform {
namespace {

namespace win = vek::win32;

constexpr GUID kTestClass = {0x5EC0A11E, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x01, 0x02, 0x03, 0x04}};
constexpr DWORD kInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
constexpr GUID kOtherClass = {0x0BADF00D, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x01, 0x02, 0x03, 0x04}};

// The backend: answers each request as `answer` says and remembers what it saw.
struct FakeDevice {
    int opens = 0, closes = 0, closesSeenInRequest = -1;
    IoOutcome answer{IoState::Complete, ERROR_SUCCESS, 0};
    bool completeLater = false;  // a Pending answer, completed with `answer` from another thread
    std::thread completer;
    HANDLE closeDuringRequest = nullptr;  // closed from inside the request
};

DWORD FakeOpen(void *device, void **context) {
    static_cast<FakeDevice *>(device)->opens++;
    *context = device;
    return ERROR_SUCCESS;
}

void FakeClose(void *context) { static_cast<FakeDevice *>(context)->closes++; }

IoOutcome FakeIoctl(void *context, IoRequest *request) {
    auto *fake = static_cast<FakeDevice *>(context);
    if (fake->closeDuringRequest != nullptr) {
        win::CloseHandle(fake->closeDuringRequest);
        fake->closesSeenInRequest = fake->closes;
    }
    if (!fake->completeLater) return fake->answer;
    fake->completer = std::thread([fake, overlapped = request->overlapped] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        CompleteRequest(overlapped, fake->answer.error, fake->answer.bytes);
    });
    return {IoState::Pending, ERROR_SUCCESS, 0};
}

const DriverOps kFakeOps = {"fake", FakeOpen, FakeClose, FakeIoctl};

class DeviceIoTest : public ::testing::Test {
protected:
    void SetUp() override { id_ = RegisterDevice(kTestClass, kPath, &kFakeOps, &fake_); }
    void TearDown() override {
        if (fake_.completer.joinable()) fake_.completer.join();
        UnregisterDevice(id_);
    }
    static HANDLE Open(const char *path = kPath) {
        return win::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }

    static constexpr const char *kPath = "\\\\?\\usb#vid_1209&pid_7e40#test#{fake}";
    FakeDevice fake_;
    uint64_t id_ = 0;
};

// A close during a request waits for the request to let go of the instance;
// the handle is gone at once.
TEST_F(DeviceIoTest, CloseHandleClosesTheInstanceOnce) {
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(file) % 4, 1u) << "the system's handles are multiples of 4";
    fake_.closeDuringRequest = file;
    uint32_t version = 0;
    EXPECT_TRUE(win::DeviceIoControl(file, 0x220000, &version, 4, &version, 4, nullptr, nullptr));
    EXPECT_EQ(fake_.closesSeenInRequest, 0) << "the request still held the instance";
    EXPECT_EQ(std::pair(fake_.opens, fake_.closes), std::pair(1, 1));
    EXPECT_FALSE(win::CloseHandle(file));
    EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceIoTest, SynchronousRequestThatPendsIsWaitedFor) {
    for (const auto &[error, count] : {std::pair<DWORD, DWORD>{ERROR_SUCCESS, 38}, {ERROR_OPERATION_ABORTED, 0}}) {
        SCOPED_TRACE(error);
        HANDLE file = Open();
        fake_.completeLater = true;
        fake_.answer = {IoState::Complete, error, count};
        DWORD bytes = 99;
        uint8_t buffer[38] = {};
        const BOOL ok = win::DeviceIoControl(file, 0x220020, buffer, 38, buffer, 38, &bytes, nullptr);
        const DWORD lastError = win::GetLastError();  // before the join, which on Windows may change it
        fake_.completer.join();
        EXPECT_EQ(std::tuple(ok, lastError, bytes), std::tuple(error == ERROR_SUCCESS, error, count));
        win::CloseHandle(file);
    }
}

// Answered inside the call: a success after failures reports no error of
// theirs, and a refused request reports no bytes, whatever its driver said.
TEST_F(DeviceIoTest, OverlappedRequestAnsweredInsideTheCall) {
    const struct {
        IoOutcome answer;
        bool eventSet;
    } cases[] = {
        {{IoState::Complete, ERROR_GEN_FAILURE, 3}, true},
        {{IoState::Failed, ERROR_DEVICE_NOT_CONNECTED, 7}, false},
        {{IoState::Complete, ERROR_SUCCESS, 512}, true},
    };
    HANDLE file = Open();
    HANDLE event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer.error);
        const BOOL ok = c.answer.error == ERROR_SUCCESS;
        fake_.answer = c.answer;
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        win::SetEvent(event);  // the call clears it before issuing
        uint8_t data[512];
        const DWORD count = c.answer.state == IoState::Complete ? c.answer.bytes : 0;
        DWORD returned = 99, bytes = 99;
        EXPECT_EQ(win::DeviceIoControl(file, 0x22004B, data, 38, data, sizeof data, &returned, &overlapped), ok);
        EXPECT_EQ(std::pair(win::GetLastError(), returned), std::pair(c.answer.error, count));
        EXPECT_EQ(win::WaitForSingleObject(event, 0), c.eventSet ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        EXPECT_EQ(win::GetOverlappedResult(file, &overlapped, &bytes, FALSE), ok);
        EXPECT_EQ(std::pair(win::GetLastError(), bytes), std::pair(c.answer.error, count));
    }
    win::CloseHandle(event);
    win::CloseHandle(file);
}

TEST_F(DeviceIoTest, OverlappedRequestPendingThenCompletedFromAnotherThread) {
    HANDLE file = Open();
    HANDLE event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    fake_.answer = {IoState::Pending, ERROR_SUCCESS, 0};
    for (BOOL waitInGetResult : {FALSE, TRUE}) {
        SCOPED_TRACE(waitInGetResult);
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        uint8_t data[64];
        EXPECT_FALSE(win::DeviceIoControl(file, 0x22004B, data, 38, data, sizeof data, nullptr, &overlapped));
        EXPECT_EQ(win::GetLastError(), ERROR_IO_PENDING);
        EXPECT_GT(static_cast<uint64_t>(overlapped.Internal), 0xFFFFFFFFull)
            << "the running mark can never be mistaken for an error code";
        DWORD bytes = 0;
        EXPECT_FALSE(win::GetOverlappedResult(file, &overlapped, &bytes, FALSE));
        EXPECT_EQ(std::pair(win::GetLastError(), win::WaitForSingleObject(event, 0)),
                  (std::pair<DWORD, DWORD>(ERROR_IO_INCOMPLETE, WAIT_TIMEOUT)));
        std::thread completer([&overlapped] { CompleteRequest(&overlapped, ERROR_SUCCESS, 64); });
        EXPECT_TRUE(waitInGetResult || win::WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0);
        EXPECT_TRUE(win::GetOverlappedResult(file, &overlapped, &bytes, waitInGetResult));
        completer.join();
        EXPECT_EQ(std::pair(win::GetLastError(), bytes), (std::pair<DWORD, DWORD>(0, 64)));
    }
    win::CloseHandle(event);
    win::CloseHandle(file);
}

// The paths a set of the class lists, up to the end it reports.
std::vector<std::string> Enumerate(const GUID &interfaceClass) {
    std::vector<std::string> paths;
    HDEVINFO set = win::SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, kInterfaces);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
    for (DWORD i = 0; win::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, i, &data); ++i) {
        char storage[512];
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(storage);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        DWORD required = 0;
        EXPECT_TRUE(win::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof storage, &required, nullptr));
        paths.emplace_back(detail->DevicePath);
        EXPECT_EQ(required, 4 + paths.back().size() + 1) << "cbSize, the path and its NUL";
    }
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(win::SetupDiDestroyDeviceInfoList(set));
    return paths;
}

// A set lists its class as it was when taken (the enumeration hooks that run
// first: libusb_backend_test), real devices in registration order, then those
// in the process. An open handle outlives its device's registration.
TEST_F(DeviceIoTest, EnumerationListsTheClassRealDevicesFirst) {
    FakeDevice inProcess, second, other;
    const uint64_t inProcessId = RegisterDevice(kTestClass, "in-process", &kFakeOps, &inProcess, true);
    const uint64_t secondId = RegisterDevice(kTestClass, "second", &kFakeOps, &second);
    const uint64_t otherId = RegisterDevice(kOtherClass, "other", &kFakeOps, &other);
    EXPECT_EQ(Enumerate(kTestClass), (std::vector<std::string>{kPath, "second", "in-process"}));
    UnregisterDevice(inProcessId);

    HDEVINFO set = win::SetupDiGetClassDevsA(&kTestClass, nullptr, nullptr, kInterfaces);
    HANDLE open = Open();
    UnregisterDevice(id_);
    EXPECT_EQ(Enumerate(kTestClass), std::vector<std::string>{"second"});
    SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
    EXPECT_TRUE(win::SetupDiEnumDeviceInterfaces(set, nullptr, &kTestClass, 1, &data)) << "the set is a snapshot";
    win::SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);
    uint32_t value = 0;
    EXPECT_TRUE(win::DeviceIoControl(open, 0x220000, &value, 4, &value, 4, nullptr, nullptr));
    EXPECT_TRUE(win::CloseHandle(open));
    EXPECT_EQ(fake_.closes, 1);
    UnregisterDevice(secondId);
    UnregisterDevice(otherId);
}

#if defined(_WIN32)
// On Windows the registry's devices of a class come first, then the system's
// own (read here past the platform layer); a registry path opens in the registry.
TEST_F(DeviceIoTest, RegistryDevicesComeFirstThenTheSystems) {
    // The HID interface class: Wine, like Windows, lists devices of it.
    constexpr GUID kHidClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    std::vector<std::string> system;
    HDEVINFO set = ::SetupDiGetClassDevsA(&kHidClass, nullptr, nullptr, kInterfaces);
    SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
    for (DWORD i = 0; set != INVALID_HANDLE_VALUE && ::SetupDiEnumDeviceInterfaces(set, nullptr, &kHidClass, i, &data);
         ++i) {
        char storage[1024];
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(storage);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof storage, nullptr, nullptr))
            system.push_back(detail->DevicePath);
    }
    if (set != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(set);
    if (system.empty()) GTEST_SKIP() << "the system lists no device of the HID interface class here";
    const char *ours = "\\\\?\\vek#virtual-hid#0";
    FakeDevice fake;
    const uint64_t id = RegisterDevice(kHidClass, ours, &kFakeOps, &fake);
    std::vector<std::string> expected{ours};
    expected.insert(expected.end(), system.begin(), system.end());
    EXPECT_EQ(Enumerate(kHidClass), expected);
    HANDLE file = Open(ours);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(win::CloseHandle(file));
    EXPECT_EQ(std::pair(fake.opens, fake.closes), std::pair(1, 1));
    UnregisterDevice(id);
    EXPECT_EQ(Enumerate(kHidClass), system);
}
#else
// Without an observer (which takes the box: usb_device_test) the text goes to
// standard error; on Windows the system shows the box.
TEST(MessageBoxTest, TextGoesToStandardError) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(
        win::MessageBoxA(nullptr, "Please correct firmware descriptor table", "Wrong Device Configuration", MB_OK),
        IDOK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Wrong Device Configuration: Please correct firmware descriptor table\n");
}
#endif

}  // namespace
}  // namespace vek::platform
