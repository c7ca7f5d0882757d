// On Windows: the Win32 calls that carry the driver registry's devices (the
// virtual board) beside the system's own, the pauses and timed waits on the
// platform clock, and the message box with its observer. Everything else is
// the system's own (win32.h).
//
// A handle goes to the layer or to the system by its value alone (see
// IsLayerHandle), so a request record keeps going to the layer even after its
// device file was closed, as the layer wrote its status in the layer's form.

#include <memory>

#include "platform/clock.h"
#include "platform/internal.h"
#include "platform/message_box.h"
#include "platform/win32.h"

namespace layer = vek::platform::detail;
using layer::ObjectKind;

namespace vek::platform::detail {

// The system's events: nothing to look up.
RequestEvent::RequestEvent(HANDLE event) : handle_(event) {}

void RequestEvent::Reset() {
    if (handle_ != nullptr) ::ResetEvent(handle_);
}

void RequestEvent::Set() {
    if (handle_ != nullptr) ::SetEvent(handle_);
}

}  // namespace vek::platform::detail

namespace vek::win32 {
namespace {

// The layer's set behind `set`, or null for the system's own sets.
std::shared_ptr<layer::DeviceInfoSet> FindDeviceInfoSet(HDEVINFO set) {
    if (!layer::IsLayerHandle(set)) return nullptr;
    return layer::Lookup<layer::DeviceInfoSet>(set, ObjectKind::DeviceInfoSet);
}

}  // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    if (fileName != nullptr) {
        if (auto handle = layer::OpenRegisteredDevice(fileName)) return *handle;
    }
    return ::CreateFileA(fileName, desiredAccess, shareMode, attributes, creationDisposition, flagsAndAttributes,
                         templateFile);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    if (layer::IsLayerHandle(device)) {
        return layer::DeviceFileIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                                          bytesReturned, overlapped);
    }
    return ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, bytesReturned,
                             overlapped);
}

BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
    if (layer::IsLayerHandle(device)) return layer::DeviceFileResult(overlapped, bytesTransferred, wait);
    return ::GetOverlappedResult(device, overlapped, bytesTransferred, wait);
}

BOOL CloseHandle(HANDLE handle) {
    if (!layer::IsLayerHandle(handle)) return ::CloseHandle(handle);
    if (!layer::CloseObject(handle)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR enumerator, HWND parent, DWORD flags) {
    if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HDEVINFO systemSet = ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
    return layer::OpenDeviceInfoSet(*classGuid, systemSet != INVALID_HANDLE_VALUE ? systemSet : nullptr);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID *interfaceClassGuid,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) {
    auto info = FindDeviceInfoSet(set);
    if (!info) return ::SetupDiEnumDeviceInterfaces(set, deviceInfo, interfaceClassGuid, memberIndex, interfaceData);
    if (memberIndex < info->paths.size() || info->systemSet == nullptr)
        return layer::EnumRegisteredInterface(*info, interfaceClassGuid, memberIndex, interfaceData);
    return ::SetupDiEnumDeviceInterfaces(info->systemSet, deviceInfo, interfaceClassGuid,
                                         memberIndex - static_cast<DWORD>(info->paths.size()), interfaceData);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, LPDWORD requiredSize,
                                      PSP_DEVINFO_DATA deviceInfo) {
    auto info = FindDeviceInfoSet(set);
    if (!info) {
        return ::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize, requiredSize, deviceInfo);
    }
    if (info->systemSet == nullptr || (interfaceData != nullptr && layer::IsRegisteredInterface(*info, *interfaceData)))
        return layer::RegisteredInterfaceDetail(*info, interfaceData, detail, detailSize, requiredSize, deviceInfo);
    return ::SetupDiGetDeviceInterfaceDetailA(info->systemSet, interfaceData, detail, detailSize, requiredSize,
                                              deviceInfo);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    auto info = FindDeviceInfoSet(set);
    if (!info) return ::SetupDiDestroyDeviceInfoList(set);
    if (info->systemSet != nullptr) ::SetupDiDestroyDeviceInfoList(info->systemSet);
    layer::RemoveHandle(set, ObjectKind::DeviceInfoSet);
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (layer::ObserveMessageBox(text, caption)) return IDOK;
    return ::MessageBoxA(owner, text, caption, type);
}

void Sleep(DWORD milliseconds) {
    if (!layer::TakePauseOnClock(milliseconds)) ::Sleep(milliseconds);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (milliseconds == 0 || milliseconds == INFINITE || !vek::platform::VirtualTimeOnThisThread())
        return ::WaitForSingleObject(handle, milliseconds);
    // Virtual time: what is signalled now counts; otherwise the wait times
    // out at once, with virtual time moved by the whole timeout.
    const DWORD now = ::WaitForSingleObject(handle, 0);
    if (now != WAIT_TIMEOUT) return now;
    vek::platform::AdvanceClock(milliseconds);
    return WAIT_TIMEOUT;
}

}  // namespace vek::win32
