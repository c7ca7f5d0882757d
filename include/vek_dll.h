/*
 * vek_dll.h: the host library for VEK pattern-projection boards.
 *
 * Plain C. Every function is usable from C, C++, ctypes and any FFI.
 *
 * Result codes: the device calls that take a DeviceHandle return one of the
 * DEV_* codes below (DEV_OK on success). The raw transport calls (VekWriteReg,
 * VekReadReg, VekWriteData) and the GPIO calls return 0 or 0xFFFFFFFF.
 * VekDownloadFirmWare, DevReAlloc, VekIfDevOpenned and ResetUSBPipe return
 * 1 or 0. Booleans are int, 0 or 1, on every export.
 *
 * Threads: the library starts no threads. Each handle's calls must come from
 * one thread at a time unless noted in docs/reliability.md.
 */
#ifndef VEK_DLL_H
#define VEK_DLL_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(VEK_DLL_BUILD)
#    define VEK_API __declspec(dllexport)
#  elif defined(VEK_DLL_STATIC)
#    define VEK_API
#  else
#    define VEK_API __declspec(dllimport)
#  endif
#  if defined(_M_IX86) || defined(__i386__)
#    define VEK_CALL __stdcall
#  else
#    define VEK_CALL
#  endif
#else
#  define VEK_API __attribute__((visibility("default")))
#  define VEK_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque objects. */
typedef struct DeviceHandle DeviceHandle;
#ifdef __cplusplus
}
namespace vek { class CCyDevice; }
typedef vek::CCyDevice CCyDevice;
extern "C" {
#else
typedef struct CCyDevice CCyDevice;
#endif

/* Initialisation record of VekDevInit, in this order. */
typedef struct DeviceInitParams {
    uint32_t reserved;   /* not read */
    uint32_t frequency;  /* Hz, 1 to 0x40000000 */
    uint32_t grayBits;   /* bit planes per frame, 1 to 16 */
    uint32_t reg30Value; /* value for register 0x30 */
} DeviceInitParams;

/* Result codes of the device calls. */
#define DEV_OK                 0x00000000u
#define DEV_ERR_NO_DEVICE      0x80000001u
#define DEV_ERR_NULL_ARGUMENT  0x80000005u
#define DEV_ERR_BUSY           0x80000006u
#define DEV_ERR_UNSUPPORTED    0x80000008u
#define DEV_ERR_TRANSFER       0x80000009u
#define DEV_ERR_NO_MEMORY      0x8000000Au
#define DEV_ERR_TIMING         0x8000000Cu
#define DEV_ERR_FRAME_MODE     0x8000000Du
#define DEV_ERR_GRAY_DEPTH     0x8000000Eu
#define DEV_ERR_VERIFY         0x8000000Fu
#define DEV_ERR_I2C_NOT_READY  0x80000020u
#define DEV_ERR_I2C_NOT_DONE   0x80000021u
#define DEV_ERR_FAILED         0x8000FFFFu

/* Result of the raw transport calls on failure. */
#define VEK_TRANSPORT_FAILED   0xFFFFFFFFu

/* ---- Device handle ---------------------------------------------------- */
VEK_API uint32_t VEK_CALL VekDevAlloc(uint32_t deviceIndex, DeviceHandle **handleOut, uint8_t *isVek40Out);
VEK_API uint32_t VEK_CALL VekDevInit(DeviceHandle *handle, const DeviceInitParams *params);
VEK_API uint32_t VEK_CALL VekDevFree(DeviceHandle *handle);
VEK_API int      VEK_CALL DevReAlloc(DeviceHandle *handle);
VEK_API int      VEK_CALL VekIfDevOpenned(DeviceHandle *handle);
VEK_API void     VEK_CALL GetFWversion(uint8_t *out); /* copies 30 bytes */
VEK_API int      VEK_CALL VekDownloadFirmWare(DeviceHandle *handle, uint32_t flag);

/* ---- Control commands, frame transfer ----------------------------------- */
VEK_API uint32_t VEK_CALL VekDevControl(DeviceHandle *handle, uint32_t command, uint32_t *value);
VEK_API uint32_t VEK_CALL VekDevLoadFrame(DeviceHandle *handle, const uint8_t *data, uint32_t startAddress, uint32_t length);
VEK_API uint32_t VEK_CALL VekDevGetFrame(DeviceHandle *handle, uint8_t *data, uint32_t startAddress, uint32_t length);
VEK_API uint32_t VEK_CALL VekDevBlockClear(DeviceHandle *handle, uint32_t first, uint32_t second);

/* ---- Inquiries, timing, trigger, GPIO ----------------------------------- */
VEK_API uint32_t VEK_CALL VekDevInquire(DeviceHandle *handle, uint32_t inquiry, uint32_t *result);
VEK_API uint32_t VEK_CALL VekDevNewFrequencySet(DeviceHandle *handle, uint32_t planeCount, uint32_t framePeriod, uint32_t auxTime);
VEK_API uint32_t VEK_CALL VekDevTriggerExtSet(DeviceHandle *handle, uint32_t reg34Value, uint8_t enable, uint32_t reg36Value, uint32_t reg37Value);
VEK_API uint32_t VEK_CALL VekDevSetGPIO(DeviceHandle *handle, uint32_t *value);
VEK_API uint32_t VEK_CALL VekDevGetGPIO(DeviceHandle *handle, uint32_t *value);
VEK_API uint32_t VEK_CALL VekDevRReg(DeviceHandle *handle, uint32_t address, uint32_t *value);

/* ---- Register transport (takes the USB device object) ------------------- */
VEK_API uint32_t VEK_CALL VekWriteReg(CCyDevice *device, uint32_t address, uint32_t *value);
VEK_API uint32_t VEK_CALL VekReadReg(CCyDevice *device, uint32_t address, uint32_t *value);
VEK_API uint32_t VEK_CALL VekWriteData(CCyDevice *device, uint32_t length, const uint8_t *data);
VEK_API int      VEK_CALL ResetUSBPipe(DeviceHandle *handle, uint32_t endpointAddress);

/* ---- Accessors for tools and bindings ----------------------------------- */
/* The handle's USB device object, for VekWriteReg, VekReadReg and VekWriteData;
 * NULL for a null handle. The handle keeps owning it. */
VEK_API CCyDevice *VEK_CALL VekDevGetDevice(DeviceHandle *handle);
/* Entry `entry` (0 = first) of the attached-device names gathered when the
 * handle was allocated (boards whose configuration has one interface at
 * alternate setting 0). Copies at most size - 1 bytes and a NUL into `out`
 * (which may be NULL to ask the length); returns the name's length, or -1
 * when there is no such entry or the handle is null. */
VEK_API int32_t  VEK_CALL VekDevGetListedName(DeviceHandle *handle, uint32_t entry, char *out, uint32_t size);

/* ---- Bit-plane conversions (need no image library: in every build) ------ */
VEK_API uint8_t *VEK_CALL pixel2bin(const uint8_t *pixels, int32_t width, int32_t height, uint8_t planeMask, uint8_t *bin);
VEK_API uint8_t *VEK_CALL bin2pixel(const uint8_t *bin, int32_t width, int32_t height, uint8_t planeMask, uint8_t *pixels);

/* ---- Image functions ------------------------------------------------------ */
VEK_API uint8_t *VEK_CALL GetGrayPixelFormat(const char *fileName, int32_t width, int32_t height, uint8_t *pixels);
VEK_API int      VEK_CALL GetRGBPixelFormat(const char *fileName, int32_t width, int32_t height, uint8_t *red, uint8_t *green, uint8_t *blue);
VEK_API uint8_t *VEK_CALL GetGrayBinFormat(const char *fileName, int32_t width, int32_t height, uint8_t planeMask, uint8_t *bin);
VEK_API int      VEK_CALL GetRGBBinFormat(const char *fileName, int32_t width, int32_t height, uint8_t planeMask, uint8_t *redBin, uint8_t *greenBin, uint8_t *blueBin);
VEK_API int      VEK_CALL ImageAddSerialNumber(const char *fileName, int32_t width, int32_t height, int32_t copyCount);
VEK_API int      VEK_CALL BatchImage2Bin(const char *dirPath, int32_t width, int32_t height);
VEK_API int32_t  VEK_CALL TestMe(void);

#ifdef __cplusplus
}
#endif

#endif /* VEK_DLL_H */
