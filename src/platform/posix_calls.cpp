// The Win32 calls of device I/O and device setup on systems other than
// Windows: over the driver registry alone. Also the per-thread error code,
// device-change notices and the message box.

#include <cstdio>
#include <memory>

#include "platform/internal.h"
#include "platform/message_box.h"
#include "platform/win32.h"

namespace vek::platform::detail {
namespace {

thread_local DWORD lastError = 0;

class Notification final : public Object {
public:
    Notification() : Object(ObjectKind::Notification) {}
};

}  // namespace
}  // namespace vek::platform::detail

namespace layer = vek::platform::detail;
using layer::ObjectKind;

DWORD GetLastError() { return layer::lastError; }

void SetLastError(DWORD error) { layer::lastError = error; }

BOOL CloseHandle(HANDLE handle) {
    if (!layer::CloseObject(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (fileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (auto handle = layer::OpenRegisteredDevice(fileName)) return *handle;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    return layer::DeviceFileIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                                      bytesReturned, overlapped);
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
    return layer::DeviceFileResult(overlapped, bytesTransferred, wait);
}

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR, HWND, DWORD flags) {
    if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return layer::OpenDeviceInfoSet(*classGuid, nullptr);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID *interfaceClassGuid, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
    auto info = layer::Lookup<layer::DeviceInfoSet>(set, ObjectKind::DeviceInfoSet);
    if (!info) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return layer::EnumRegisteredInterface(*info, interfaceClassGuid, memberIndex, interfaceData);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, LPDWORD requiredSize,
                                      PSP_DEVINFO_DATA deviceInfo) {
    auto info = layer::Lookup<layer::DeviceInfoSet>(set, ObjectKind::DeviceInfoSet);
    if (!info) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return layer::RegisteredInterfaceDetail(*info, interfaceData, detail, detailSize, requiredSize, deviceInfo);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (!layer::RemoveHandle(set, ObjectKind::DeviceInfoSet)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Device-change notices: accepted and never delivered (there is no window system).
HDEVNOTIFY RegisterDeviceNotificationA(HANDLE, LPVOID, DWORD) {
    HDEVNOTIFY token = layer::InsertHandle(std::make_shared<layer::Notification>());
    SetLastError(ERROR_SUCCESS);
    return token;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
    if (!layer::RemoveHandle(notification, ObjectKind::Notification)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    if (vek::platform::detail::ObserveMessageBox(text, caption)) return IDOK;
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Error", text != nullptr ? text : "");
    std::fflush(stderr);
    return IDOK;
}
