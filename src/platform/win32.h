// The Windows calls that the USB device and endpoint classes, the device API
// and the image functions make. Elsewhere than on Windows the platform layer in
// this folder provides them with the semantics those classes rely on, over a
// driver registry that backends (the virtual board, libusb) fill.
//
// The library makes these calls as vek::win32::X (below). On Windows most of
// them are the system's own; the device calls also reach the registry's
// devices, and the pauses and timed waits keep to the platform clock, so the
// virtual board and its tests run there too. Code above this header reads
// the same on every system.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#else

#include <cstddef>
#include <cstdint>

#define WINAPI

using BYTE = uint8_t;
using UCHAR = uint8_t;
using CHAR = char;
using WORD = uint16_t;
using USHORT = uint16_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using UINT = unsigned int;
using BOOL = int;
using ULONG_PTR = uintptr_t;
using PVOID = void *;
using LPVOID = void *;
using LPCVOID = const void *;
using LPCSTR = const char *;
using LPSTR = char *;
using LPDWORD = DWORD *;
using HANDLE = void *;
using HWND = void *;
using HDEVINFO = void *;
using HDEVNOTIFY = void *;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

// Error codes (GetLastError).
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_SEM_TIMEOUT 121u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 1u
#define FILE_SHARE_WRITE 2u
#define OPEN_EXISTING 3u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define MAX_PATH 260

#define DIGCF_PRESENT 0x02u
#define DIGCF_DEVICEINTERFACE 0x10u

#define MB_OK 0u
#define IDOK 1
#define DEVICE_NOTIFY_WINDOW_HANDLE 0u
#define DBT_DEVTYP_DEVICEINTERFACE 5u
#define DBT_DEVTYP_HANDLE 6u

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

// Internal holds the completion status (a Win32 error code; STATUS_PENDING while
// the request runs) and InternalHigh the byte count, as on Windows.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        } s;
        PVOID Pointer;
    } u;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED *;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;

// 32 bytes on 64-bit systems, as on 64-bit Windows.
struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
// The fixed head is 8 bytes on 64-bit systems (cbSize plus alignment).
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA *;
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA *;
using PSP_DEVICE_INTERFACE_DETAIL_DATA_A = SP_DEVICE_INTERFACE_DETAIL_DATA_A *;

struct DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1];
};
struct DEV_BROADCAST_HANDLE {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
    HANDLE dbch_handle;
    HDEVNOTIFY dbch_hdevnotify;
    GUID dbch_eventguid;
    LONG dbch_nameoffset;
    BYTE dbch_data[1];
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA *;

// Events and waits. One clock (see clock.h) serves Sleep and every timed wait.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);

// Per-thread error code.
DWORD GetLastError();
void SetLastError(DWORD error);

// Device I/O through the driver registry (device_registry.h).
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);

// Device setup: the present devices of an interface class, from the driver registry.
HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID *interfaceClassGuid,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, LPDWORD requiredSize,
                                      PSP_DEVINFO_DATA deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// Device-change notices: accepted and never delivered (there is no window system).
HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

// The text and caption go to standard error; returns 1 (IDOK).
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Directory search over a POSIX directory. The pattern is a directory followed
// by a separator ('\' or '/') and a wildcard; the first two entries are "." and "..".
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA findData);
BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA findData);
BOOL FindClose(HANDLE find);

#endif  // !_WIN32

namespace vek::win32 {

#if defined(_WIN32)
// The system's own.
using ::CreateEventA;
using ::FindClose;
using ::FindFirstFileA;
using ::FindNextFileA;
using ::GetLastError;
using ::RegisterDeviceNotificationA;
using ::ResetEvent;
using ::SetEvent;
using ::SetLastError;
using ::UnregisterDeviceNotification;

// The system's own, with the driver registry's devices beside the system's
// (windows_calls.cpp): device setup lists the registry's devices of a class
// first, then the system's; CreateFileA opens a registry path itself; and
// the layer's own handles (1 modulo 4, never a value of the system's) never
// reach the system.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);
BOOL CloseHandle(HANDLE handle);
HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID *interfaceClassGuid,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, LPDWORD requiredSize,
                                      PSP_DEVINFO_DATA deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// The system's box, after the message-box observer (message_box.h).
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// The system's own, on the platform clock: in its virtual mode a pause, or a
// timed wait that would time out, moves virtual time at once.
void Sleep(DWORD milliseconds);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
#else
using ::CloseHandle;
using ::CreateEventA;
using ::CreateFileA;
using ::DeviceIoControl;
using ::FindClose;
using ::FindFirstFileA;
using ::FindNextFileA;
using ::GetLastError;
using ::GetOverlappedResult;
using ::MessageBoxA;
using ::RegisterDeviceNotificationA;
using ::ResetEvent;
using ::SetEvent;
using ::SetLastError;
using ::SetupDiDestroyDeviceInfoList;
using ::SetupDiEnumDeviceInterfaces;
using ::SetupDiGetClassDevsA;
using ::SetupDiGetDeviceInterfaceDetailA;
using ::Sleep;
using ::UnregisterDeviceNotification;
using ::WaitForSingleObject;
#endif

}  // namespace vek::win32
