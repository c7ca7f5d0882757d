// Device files and their requests over a tiny backend registered here, and
// the device setup calls over the driver registry.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/device_registry.h"
#include "platform/message_box.h"
#include "platform/win32.h"

namespace vek::platform {
namespace {

constexpr GUID kTestClass = {0x5EC0A11E, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x01, 0x02, 0x03, 0x04}};
constexpr GUID kOtherClass = {0x0BADF00D, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x01, 0x02, 0x03, 0x04}};

// The backend: answers each request as `answer` says and remembers what it saw.
struct FakeDevice {
    int opens = 0;
    int closes = 0;
    IoOutcome answer{IoState::Complete, ERROR_SUCCESS, 0};
    // Set when a Pending answer is to be completed from another thread.
    bool completeLater = false;
    DWORD laterError = ERROR_SUCCESS;
    DWORD laterBytes = 0;
    std::thread completer;
    // Set to close this handle from inside the request.
    HANDLE closeDuringRequest = nullptr;
    int closesSeenInRequest = -1;

    std::vector<IoRequest> requests;
};

DWORD FakeOpen(void *device, void **context) {
    auto *fake = static_cast<FakeDevice *>(device);
    fake->opens++;
    *context = fake;
    return ERROR_SUCCESS;
}

void FakeClose(void *context) { static_cast<FakeDevice *>(context)->closes++; }

IoOutcome FakeIoctl(void *context, IoRequest *request) {
    auto *fake = static_cast<FakeDevice *>(context);
    fake->requests.push_back(*request);
    if (fake->closeDuringRequest != nullptr) {
        vek::win32::CloseHandle(fake->closeDuringRequest);
        fake->closesSeenInRequest = fake->closes;
    }
    if (fake->completeLater) {
        OVERLAPPED *overlapped = request->overlapped;
        fake->completer = std::thread([fake, overlapped] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            CompleteRequest(overlapped, fake->laterError, fake->laterBytes);
        });
        return {IoState::Pending, ERROR_SUCCESS, 0};
    }
    return fake->answer;
}

const DriverOps kFakeOps = {"fake", FakeOpen, FakeClose, FakeIoctl};

class DeviceIoTest : public ::testing::Test {
protected:
    void SetUp() override { id_ = RegisterDevice(kTestClass, kPath, &kFakeOps, &fake_); }
    void TearDown() override {
        if (fake_.completer.joinable()) fake_.completer.join();
        UnregisterDevice(id_);
    }
    HANDLE Open() {
        return vek::win32::CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }

    static constexpr const char *kPath = "\\\\?\\usb#vid_1209&pid_7e40#test#{fake}";
    FakeDevice fake_;
    uint64_t id_ = 0;
};

TEST_F(DeviceIoTest, CloseHandleClosesTheInstanceOnce) {
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(file) % 4, 1u) << "the system's handles are multiples of 4";
    EXPECT_TRUE(vek::win32::CloseHandle(file));
    EXPECT_FALSE(vek::win32::CloseHandle(file));
    EXPECT_EQ(vek::win32::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(std::pair(fake_.opens, fake_.closes), std::pair(1, 1));
    DWORD bytes = 7;
    EXPECT_FALSE(vek::win32::DeviceIoControl(file, 0x220000, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(vek::win32::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(fake_.requests.empty());
}

TEST_F(DeviceIoTest, CloseDuringARequestWaitsForTheRequestToLetGo) {
    HANDLE file = Open();
    fake_.closeDuringRequest = file;
    uint32_t version = 0;
    EXPECT_TRUE(vek::win32::DeviceIoControl(file, 0x220000, &version, 4, &version, 4, nullptr, nullptr));
    EXPECT_EQ(fake_.closesSeenInRequest, 0) << "the request still held the instance";
    EXPECT_EQ(fake_.closes, 1);
}

TEST_F(DeviceIoTest, SynchronousRequestThatPendsIsWaitedFor) {
    for (const auto &[error, count] : {std::pair<DWORD, DWORD>{ERROR_SUCCESS, 38}, {ERROR_OPERATION_ABORTED, 0}}) {
        SCOPED_TRACE(error);
        HANDLE file = Open();
        fake_.completeLater = true;
        fake_.laterError = error;
        fake_.laterBytes = count;
        DWORD bytes = 99;
        uint8_t buffer[38] = {};
        BOOL ok = vek::win32::DeviceIoControl(file, 0x220020, buffer, 38, buffer, 38, &bytes, nullptr);
        fake_.completer.join();
        EXPECT_EQ(std::tuple(ok, vek::win32::GetLastError(), bytes), std::tuple(error == ERROR_SUCCESS, error, count));
        vek::win32::CloseHandle(file);
    }
}

TEST_F(DeviceIoTest, OverlappedRequestAnsweredInsideTheCall) {
    // A success after failures: it reports no error of theirs. A refused
    // request reports no bytes, whatever its driver said.
    const struct {
        IoOutcome answer;
        bool eventSet;
    } cases[] = {
        {{IoState::Complete, ERROR_GEN_FAILURE, 3}, true},
        {{IoState::Failed, ERROR_DEVICE_NOT_CONNECTED, 7}, false},
        {{IoState::Complete, ERROR_SUCCESS, 512}, true},
    };
    HANDLE file = Open();
    HANDLE event = vek::win32::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer.error);
        const BOOL ok = c.answer.error == ERROR_SUCCESS;
        fake_.answer = c.answer;
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        vek::win32::SetEvent(event);  // the call clears it before issuing
        uint8_t data[512];
        const DWORD count = c.answer.state == IoState::Complete ? c.answer.bytes : 0;
        DWORD returned = 99, bytes = 99;
        EXPECT_EQ(vek::win32::DeviceIoControl(file, 0x22004B, data, 38, data, sizeof data, &returned, &overlapped), ok);
        EXPECT_EQ(std::pair(vek::win32::GetLastError(), returned), std::pair(c.answer.error, count));
        EXPECT_EQ(vek::win32::WaitForSingleObject(event, 0), c.eventSet ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        EXPECT_EQ(vek::win32::GetOverlappedResult(file, &overlapped, &bytes, FALSE), ok);
        EXPECT_EQ(std::pair(vek::win32::GetLastError(), bytes), std::pair(c.answer.error, count));
    }
    vek::win32::CloseHandle(event);
    vek::win32::CloseHandle(file);
}

TEST_F(DeviceIoTest, OverlappedRequestPendingThenCompletedFromAnotherThread) {
    HANDLE file = Open();
    HANDLE event = vek::win32::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (BOOL waitInGetResult : {FALSE, TRUE}) {
        SCOPED_TRACE(waitInGetResult);
        fake_.answer = {IoState::Pending, ERROR_SUCCESS, 0};
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        uint8_t data[64];
        EXPECT_FALSE(vek::win32::DeviceIoControl(file, 0x22004B, data, 38, data, sizeof data, nullptr, &overlapped));
        EXPECT_EQ(vek::win32::GetLastError(), ERROR_IO_PENDING);
        EXPECT_GT(static_cast<uint64_t>(overlapped.Internal), 0xFFFFFFFFull)
            << "the running mark can never be mistaken for an error code";
        DWORD bytes = 0;
        EXPECT_FALSE(vek::win32::GetOverlappedResult(file, &overlapped, &bytes, FALSE));
        EXPECT_EQ(std::pair(vek::win32::GetLastError(), vek::win32::WaitForSingleObject(event, 0)),
                  (std::pair<DWORD, DWORD>(ERROR_IO_INCOMPLETE, WAIT_TIMEOUT)));

        std::thread completer([&overlapped] { CompleteRequest(&overlapped, ERROR_SUCCESS, 64); });
        if (!waitInGetResult) {
            EXPECT_EQ(vek::win32::WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        }
        EXPECT_TRUE(vek::win32::GetOverlappedResult(file, &overlapped, &bytes, waitInGetResult));
        completer.join();
        EXPECT_EQ(std::pair(vek::win32::GetLastError(), bytes), (std::pair<DWORD, DWORD>(0, 64)));
    }
    vek::win32::CloseHandle(event);
    vek::win32::CloseHandle(file);
}

// --- device setup ---

struct Enumeration {
    std::vector<std::string> paths;
    DWORD endError = 0;
};

Enumeration Enumerate(const GUID &interfaceClass) {
    Enumeration result;
    HDEVINFO set =
        vek::win32::SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!vek::win32::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, i, &data)) {
            result.endError = vek::win32::GetLastError();
            break;
        }
        DWORD required = 0;
        EXPECT_FALSE(vek::win32::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(vek::win32::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        std::vector<char> storage(required);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        EXPECT_TRUE(vek::win32::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, &required, &info));
        std::string path(storage.data() + 4, required - 5);  // cbSize and the NUL left out
        EXPECT_EQ(storage[required - 1], '\0');
        result.paths.push_back(path);
    }
    EXPECT_TRUE(vek::win32::SetupDiDestroyDeviceInfoList(set));
    return result;
}

TEST_F(DeviceIoTest, EnumerationListsTheClassInRegistrationOrder) {
    FakeDevice second, other;
    uint64_t secondId = RegisterDevice(kTestClass, "second", &kFakeOps, &second);
    uint64_t otherId = RegisterDevice(kOtherClass, "other", &kFakeOps, &other);
    EXPECT_NE(secondId, id_);

    Enumeration all = Enumerate(kTestClass);
    EXPECT_EQ(all.paths, (std::vector<std::string>{kPath, "second"}));
    EXPECT_EQ(all.endError, ERROR_NO_MORE_ITEMS);

    HANDLE open = Open();  // stays valid after its device is unregistered
    UnregisterDevice(id_);
    EXPECT_EQ(Enumerate(kTestClass).paths, std::vector<std::string>{"second"});
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(vek::win32::GetLastError(), ERROR_FILE_NOT_FOUND);
    uint32_t value = 0;
    EXPECT_TRUE(vek::win32::DeviceIoControl(open, 0x220000, &value, 4, &value, 4, nullptr, nullptr));
    EXPECT_TRUE(vek::win32::CloseHandle(open));
    EXPECT_EQ(fake_.closes, 1);

    UnregisterDevice(secondId);
    UnregisterDevice(otherId);
    EXPECT_TRUE(Enumerate(kTestClass).paths.empty());
}

TEST_F(DeviceIoTest, SetIsASnapshot) {
    HDEVINFO set =
        vek::win32::SetupDiGetClassDevsA(&kTestClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    FakeDevice later;
    uint64_t laterId = RegisterDevice(kTestClass, "later", &kFakeOps, &later);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(vek::win32::SetupDiEnumDeviceInterfaces(set, nullptr, &kTestClass, 0, &data));
    EXPECT_FALSE(vek::win32::SetupDiEnumDeviceInterfaces(set, nullptr, &kTestClass, 1, &data));
    EXPECT_EQ(vek::win32::GetLastError(), ERROR_NO_MORE_ITEMS);
    vek::win32::SetupDiDestroyDeviceInfoList(set);
    UnregisterDevice(laterId);
}

TEST_F(DeviceIoTest, SetupCallsRefuseBadArguments) {
    EXPECT_EQ(vek::win32::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(vek::win32::SetupDiGetClassDevsA(&kTestClass, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);

    HDEVINFO set =
        vek::win32::SetupDiGetClassDevsA(&kTestClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = 28;
    EXPECT_FALSE(vek::win32::SetupDiEnumDeviceInterfaces(set, nullptr, &kTestClass, 0, &data));
    EXPECT_EQ(vek::win32::GetLastError(), ERROR_INVALID_PARAMETER);
    data.cbSize = sizeof data;
    ASSERT_TRUE(vek::win32::SetupDiEnumDeviceInterfaces(set, nullptr, &kTestClass, 0, &data));

    const DWORD needed = static_cast<DWORD>(4 + std::strlen(kPath) + 1);
    std::vector<char> storage(needed + 8);
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(storage.data());
    for (const auto &[cbSize, size, error] : {std::tuple<DWORD, DWORD, DWORD>{5, needed, ERROR_INVALID_PARAMETER},
                                              {4, needed, ERROR_INVALID_PARAMETER},
                                              {8, needed - 1, ERROR_INSUFFICIENT_BUFFER}}) {
        SCOPED_TRACE(::testing::Message() << cbSize << " " << size);
        detail->cbSize = cbSize;
        DWORD required = 0;
        EXPECT_FALSE(vek::win32::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, &required, nullptr));
        EXPECT_EQ(vek::win32::GetLastError(), error);
        EXPECT_EQ(required, needed);
    }
    EXPECT_TRUE(vek::win32::SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(vek::win32::SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(vek::win32::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(vek::win32::SetupDiEnumDeviceInterfaces(set, nullptr, &kTestClass, 0, &data));
    EXPECT_EQ(vek::win32::GetLastError(), ERROR_INVALID_HANDLE);
}

FakeDevice hookedDevice;
uint64_t hookedId = 0;
void RegisteringHook(const GUID &interfaceClass) {
    if (hookedId == 0 && std::memcmp(&interfaceClass, &kOtherClass, sizeof(GUID)) == 0)
        hookedId = RegisterDevice(kOtherClass, "found-by-hook", &kFakeOps, &hookedDevice);
}

TEST_F(DeviceIoTest, EnumerationHooksRunBeforeTheSnapshot) {
    RegisterEnumerationHook(RegisteringHook);
    EXPECT_EQ(Enumerate(kOtherClass).paths, std::vector<std::string>{"found-by-hook"});
    UnregisterEnumerationHook(RegisteringHook);
    UnregisterDevice(hookedId);
    hookedId = 0;
}

#if defined(_WIN32)
// The system's own listing of a class, read past the platform layer.
std::vector<std::string> SystemPaths(const GUID &interfaceClass) {
    std::vector<std::string> paths;
    HDEVINFO set = ::SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; ::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, i, &data); ++i) {
        char storage[1024];
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(storage);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof storage, nullptr, nullptr))
            paths.push_back(detail->DevicePath);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return paths;
}

// On Windows the registry's devices of a class come first, then the system's
// own, each with its details; a registry path opens in the registry.
TEST(WindowsDeviceSetup, RegistryDevicesComeFirstThenTheSystems) {
    // The HID interface class: Wine, like Windows, lists devices of it.
    constexpr GUID kHidClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    const std::vector<std::string> system = SystemPaths(kHidClass);
    if (system.empty()) GTEST_SKIP() << "the system lists no device of the HID interface class here";
    const char *ours = "\\\\?\\vek#virtual-hid#0";
    FakeDevice fake;
    const uint64_t id = RegisterDevice(kHidClass, ours, &kFakeOps, &fake);
    std::vector<std::string> expected{ours};
    expected.insert(expected.end(), system.begin(), system.end());
    const Enumeration merged = Enumerate(kHidClass);
    EXPECT_EQ(merged.paths, expected);
    EXPECT_EQ(merged.endError, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    HANDLE file = vek::win32::CreateFileA(ours, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake.opens, 1);
    EXPECT_TRUE(vek::win32::CloseHandle(file));
    EXPECT_EQ(fake.closes, 1);
    UnregisterDevice(id);
    EXPECT_EQ(Enumerate(kHidClass).paths, system);
}
#endif

// An observer takes each box before it is shown; without one, the text goes
// to standard error (on Windows, the system shows the box).
TEST(MessageBoxTest, ObserverTakesTheBoxElseItGoesToStandardError) {
    static std::string taken;
    SetMessageBoxObserver([](const char *text, const char *caption) {
        taken = std::string(caption) + "|" + text;
        return true;
    });
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vek::win32::MessageBoxA(nullptr, "Please correct firmware descriptor table", "Wrong Device Configuration",
                                      MB_OK),
              IDOK);
    SetMessageBoxObserver(nullptr);
    EXPECT_EQ(taken, "Wrong Device Configuration|Please correct firmware descriptor table");
#if !defined(_WIN32)
    EXPECT_EQ(vek::win32::MessageBoxA(nullptr, "Please correct firmware descriptor table", "Wrong Device Configuration",
                                      MB_OK),
              IDOK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Wrong Device Configuration: Please correct firmware descriptor table\n");
#else
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
#endif
}

}  // namespace
}  // namespace vek::platform
