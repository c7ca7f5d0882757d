// Device information sets over the driver registry (on every system).

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/internal.h"
#include "platform/win32.h"

namespace vek::platform::detail {
namespace {

bool SameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

constexpr DWORD kInterfaceActive = 1;  // SPINT_ACTIVE

}  // namespace

HDEVINFO OpenDeviceInfoSet(const GUID &interfaceClass, HDEVINFO systemSet) {
    // Backends that discover their own devices bring the registry up to date
    // first (outside its lock: the hooks register and unregister devices).
    RunEnumerationHooks(interfaceClass);
    std::vector<std::string> paths;
    for (const auto &device : RegisteredDevicesOf(interfaceClass)) paths.push_back(device.path);
    HDEVINFO set = InsertHandle(std::make_shared<DeviceInfoSet>(interfaceClass, std::move(paths), systemSet));
    SetLastError(ERROR_SUCCESS);
    return set;
}

BOOL EnumRegisteredInterface(const DeviceInfoSet &set, const GUID *interfaceClassGuid, DWORD memberIndex,
                             PSP_DEVICE_INTERFACE_DATA interfaceData) {
    if (interfaceClassGuid == nullptr || interfaceData == nullptr ||
        interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!SameGuid(*interfaceClassGuid, set.interfaceClass) || memberIndex >= set.paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    interfaceData->InterfaceClassGuid = set.interfaceClass;
    interfaceData->Flags = kInterfaceActive;
    // Which member, from 1. The system's own sets keep a pointer here, which
    // is never this small (nothing is mapped in the lowest 64 KiB).
    interfaceData->Reserved = static_cast<ULONG_PTR>(memberIndex) + 1;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

bool IsRegisteredInterface(const DeviceInfoSet &set, const SP_DEVICE_INTERFACE_DATA &interfaceData) {
    return interfaceData.Reserved != 0 && interfaceData.Reserved <= set.paths.size();
}

BOOL RegisteredInterfaceDetail(const DeviceInfoSet &set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, LPDWORD requiredSize,
                               PSP_DEVINFO_DATA deviceInfo) {
    if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        !IsRegisteredInterface(set, *interfaceData) ||
        (deviceInfo != nullptr && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const size_t member = interfaceData->Reserved - 1;
    const std::string &path = set.paths[member];
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
        deviceInfo->ClassGuid = set.interfaceClass;
        deviceInfo->DevInst = static_cast<DWORD>(member + 1);
        deviceInfo->Reserved = 0;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace vek::platform::detail
