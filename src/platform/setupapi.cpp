// Device setup calls over the driver registry, device-change notices and the
// message box.

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/internal.h"
#include "platform/win32.h"

namespace vek::platform::detail {
namespace {

// A snapshot of the present devices of one interface class.
class DeviceInfoSet final : public Object {
public:
    DeviceInfoSet(const GUID &interfaceClass, std::vector<std::string> paths)
        : Object(ObjectKind::DeviceInfoSet), interfaceClass(interfaceClass), paths(std::move(paths)) {}
    const GUID interfaceClass;
    const std::vector<std::string> paths;
};

class Notification final : public Object {
public:
    Notification() : Object(ObjectKind::Notification) {}
};

bool SameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

constexpr DWORD kInterfaceActive = 1;  // SPINT_ACTIVE

}  // namespace
}  // namespace vek::platform::detail

using vek::platform::detail::DeviceInfoSet;
using vek::platform::detail::Lookup;
using vek::platform::detail::ObjectKind;

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR, HWND, DWORD flags) {
    if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Backends that discover their own devices bring the registry up to date
    // first (outside its lock: the hooks register and unregister devices).
    vek::platform::RunEnumerationHooks(*classGuid);
    std::vector<std::string> paths;
    for (const auto &device : vek::platform::detail::RegisteredDevicesOf(*classGuid)) paths.push_back(device.path);
    HDEVINFO set = vek::platform::detail::InsertHandle(std::make_shared<DeviceInfoSet>(*classGuid, std::move(paths)));
    SetLastError(ERROR_SUCCESS);
    return set;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID *interfaceClassGuid, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
    auto info = Lookup<DeviceInfoSet>(set, ObjectKind::DeviceInfoSet);
    if (!info) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (interfaceClassGuid == nullptr || interfaceData == nullptr ||
        interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!vek::platform::detail::SameGuid(*interfaceClassGuid, info->interfaceClass) ||
        memberIndex >= info->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    interfaceData->InterfaceClassGuid = info->interfaceClass;
    interfaceData->Flags = vek::platform::detail::kInterfaceActive;
    interfaceData->Reserved = static_cast<ULONG_PTR>(memberIndex) + 1;  // which member; 0 = none
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      LPDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo) {
    auto info = Lookup<DeviceInfoSet>(set, ObjectKind::DeviceInfoSet);
    if (!info) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        interfaceData->Reserved == 0 || interfaceData->Reserved > info->paths.size() ||
        (deviceInfo != nullptr && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const size_t member = interfaceData->Reserved - 1;
    const std::string &path = info->paths[member];
    const size_t needed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1;
    if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(needed);
    if (detail == nullptr) {
        SetLastError(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (detailSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // DevicePath is declared with one element; the caller's buffer holds the rest.
    std::memcpy(reinterpret_cast<char *>(detail) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
                path.c_str(), path.size() + 1);
    if (deviceInfo != nullptr) {
        deviceInfo->ClassGuid = info->interfaceClass;
        deviceInfo->DevInst = static_cast<DWORD>(member + 1);
        deviceInfo->Reserved = 0;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (!vek::platform::detail::RemoveHandle(set, ObjectKind::DeviceInfoSet)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HDEVNOTIFY RegisterDeviceNotificationA(HANDLE, LPVOID, DWORD) {
    HDEVNOTIFY token =
        vek::platform::detail::InsertHandle(std::make_shared<vek::platform::detail::Notification>());
    SetLastError(ERROR_SUCCESS);
    return token;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
    if (!vek::platform::detail::RemoveHandle(notification, ObjectKind::Notification)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Error", text != nullptr ? text : "");
    std::fflush(stderr);
    return 1;  // IDOK
}
