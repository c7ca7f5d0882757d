/**
 * @file vek_dll.h
 * @brief The host library for VEK pattern-projection boards.
 *
 * Plain C. Every function is usable from C, C++, ctypes and any FFI.
 *
 * Result codes: the device calls that take a DeviceHandle return one of the
 * DEV_* codes below (DEV_OK on success). The raw transport calls (VekWriteReg,
 * VekReadReg, VekWriteData) and the GPIO calls return 0 or 0xFFFFFFFF.
 * VekDownloadFirmWare, DevReAlloc, VekIfDevOpenned and ResetUSBPipe return
 * 1 or 0. Booleans are int, 0 or 1, on every export.
 *
 * Units: board memory addresses and lengths are bytes in the calls, but the
 * board takes them in units of 16 bytes (the low 4 bits are dropped); times
 * are microseconds unless a name says otherwise; frequencies are Hz.
 *
 * Threads: the library starts no threads. The gated calls (VekDevControl,
 * VekDevInquire, VekDevLoadFrame, VekDevGetFrame, VekDevRReg, VekDevFree)
 * are serialised per handle; the others must not overlap other calls on the
 * same handle (docs/reliability.md, "Threads").
 *
 * The road of a typical use is on the page "Typical use with a real board".
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

/** An open board: made by VekDevAlloc, passed to every device call, ended by VekDevFree. Opaque. */
typedef struct DeviceHandle DeviceHandle;
#ifdef __cplusplus
}
namespace vek { class CCyDevice; }
typedef vek::CCyDevice CCyDevice;
extern "C" {
#else
/** The handle's USB device object (VekDevGetDevice), for the raw transport calls. Opaque. */
typedef struct CCyDevice CCyDevice;
#endif

/** Initialisation record of VekDevInit: four 32-bit words, in this order. */
typedef struct DeviceInitParams {
    uint32_t reserved;   /**< not read */
    uint32_t frequency;  /**< Hz, 1 to 0x40000000 (command 14) */
    uint32_t grayBits;   /**< bit planes per frame, 1 to 16 (command 15) */
    uint32_t reg30Value; /**< value for register 0x30 (command 18, verified) */
} DeviceInitParams;

/** @name Result codes of the device calls */
/** @{ */
#define DEV_OK                 0x00000000u /**< success (see each call for what it does not promise) */
#define DEV_ERR_NO_DEVICE      0x80000001u /**< VekDevAlloc: no board at that index, or it could not be opened */
#define DEV_ERR_NULL_ARGUMENT  0x80000005u /**< a null handle, record, buffer or value pointer */
#define DEV_ERR_BUSY           0x80000006u /**< another thread held the handle's gate for 1000 ms */
#define DEV_ERR_UNSUPPORTED    0x80000008u /**< command or inquiry number not supported; VekDevBlockClear */
#define DEV_ERR_TRANSFER       0x80000009u /**< a register read or write failed on the wire */
#define DEV_ERR_NO_MEMORY      0x8000000Au /**< VekDevAlloc: out of memory */
#define DEV_ERR_TIMING         0x8000000Cu /**< frequency outside 1 to 0x40000000 Hz; a timing register that did not read back */
#define DEV_ERR_FRAME_MODE     0x8000000Du /**< frame transfer before inquiry 5, or on a board type without a frame layout */
#define DEV_ERR_GRAY_DEPTH     0x8000000Eu /**< gray depth outside 1 to 16 */
#define DEV_ERR_VERIFY         0x8000000Fu /**< register 0x30 or 0x40 did not read back as written */
#define DEV_ERR_I2C_NOT_READY  0x80000020u /**< I2C commands: the status register's ready bit was clear */
#define DEV_ERR_I2C_NOT_DONE   0x80000021u /**< I2C commands: the status register's done bit stayed clear */
#define DEV_ERR_FAILED         0x8000FFFFu /**< command 9 did not read back; a bit-plane timing that cannot be met */
/** @} */

/** Result of the raw transport calls (and the GPIO calls) on failure; they return 0 on success. */
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

/* ---- Image functions ------------------------------------------------------ */
VEK_API uint8_t *VEK_CALL pixel2bin(const uint8_t *pixels, int32_t width, int32_t height, uint8_t planeMask, uint8_t *bin);
VEK_API uint8_t *VEK_CALL bin2pixel(const uint8_t *bin, int32_t width, int32_t height, uint8_t planeMask, uint8_t *pixels);
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
