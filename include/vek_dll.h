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

/**
 * @def VEK_API
 * Marks the library's exports: imported from the DLL on Windows (exported
 * when building it; nothing with VEK_DLL_STATIC), default visibility elsewhere.
 * @def VEK_CALL
 * The exports' calling convention: stdcall on 32-bit Windows, the C one elsewhere.
 */
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

/**
 * Opens the board at `deviceIndex` (0-based, in the order boards are listed:
 * virtual boards first, in attach order, then boards on the USB bus).
 *
 * @param deviceIndex which board; only its low 8 bits reach the device open.
 * @param handleOut   receives the new handle; on failure it is not written.
 * @param isVek40Out  set to 1 when the *first* listed board's name begins
 *                    "VEK4.0" (whatever the index); otherwise left as the
 *                    caller set it. May be NULL.
 * @return DEV_OK; DEV_ERR_UNSUPPORTED (null handleOut), DEV_ERR_NO_MEMORY,
 *         DEV_ERR_NO_DEVICE (no board at that index, or it could not be
 *         opened), DEV_ERR_BUSY (the gate could not be made). A failure
 *         leaves nothing allocated.
 *
 * The handle is open but not initialised: run VekDevInit, then inquiry 5
 * (VekDevInquire) before any frame transfer. Also refreshes the firmware
 * version that GetFWversion reports (process-wide).
 */
VEK_API uint32_t VEK_CALL VekDevAlloc(uint32_t deviceIndex, DeviceHandle **handleOut, uint8_t *isVek40Out);
/**
 * Initialises the board: gray depth (command 15), then frequency (command
 * 14), then register 0x30 (command 18), stopping at the first failure.
 *
 * @param handle from VekDevAlloc.
 * @param params the four words of DeviceInitParams.
 * @return DEV_OK; DEV_ERR_NULL_ARGUMENT; DEV_ERR_GRAY_DEPTH (any failure of
 *         the gray depth, range 1 to 16); DEV_ERR_TIMING (frequency 0 or above
 *         0x40000000 Hz; the gray depth is already set then); the code of
 *         command 14 or 18 (DEV_ERR_TRANSFER, DEV_ERR_VERIFY).
 *
 * Does not learn the board type: frame transfers still need inquiry 5.
 */
VEK_API uint32_t VEK_CALL VekDevInit(DeviceHandle *handle, const DeviceInitParams *params);
/**
 * Closes the board and frees the handle, which must not be used again.
 *
 * @param handle from VekDevAlloc.
 * @return DEV_OK; DEV_ERR_NULL_ARGUMENT; DEV_ERR_BUSY (another thread held the
 *         gate for 1000 ms: nothing was freed).
 */
VEK_API uint32_t VEK_CALL VekDevFree(DeviceHandle *handle);
/**
 * Re-opens board 0 on the handle's device object, after a firmware download
 * has restarted the controller: waits 500 ms, opens, and checks that the
 * name begins "VEK4.0". Takes no gate.
 *
 * @param handle from VekDevAlloc (always board 0, whatever its index was).
 * @return 1 when re-opened (the firmware version is refreshed); 0 when the
 *         open failed, the board is not a VEK4.0, or `handle` is NULL.
 */
VEK_API int      VEK_CALL DevReAlloc(DeviceHandle *handle);
/**
 * DevReAlloc for the board the handle had open, whatever its index: waits
 * 500 ms, then re-opens the board listed at the same port path (see
 * VekListBoards), or, when no board is there, the one board with the same
 * serial number; checks that the name begins "VEK4.0". Takes no gate. A
 * board's index may change when it re-enumerates after a firmware download;
 * its port does not.
 *
 * @param handle from VekDevAlloc.
 * @return 1 when re-opened (the firmware version is refreshed); 0 when the
 *         board is not found, the open failed, the board is not a VEK4.0, or
 *         `handle` is NULL.
 */
VEK_API int      VEK_CALL VekDevReopen(DeviceHandle *handle);
/**
 * @param handle from VekDevAlloc.
 * @return 1 while the handle's device object holds an open driver handle, 0
 *         otherwise (also for NULL). Says nothing about whether the board
 *         still answers.
 */
VEK_API int      VEK_CALL VekIfDevOpenned(DeviceHandle *handle);
/**
 * Copies the firmware version of the last board opened (process-wide): the
 * first 30 bytes of its manufacturer string, UTF-16LE (15 characters, not
 * necessarily terminated); 30 zero bytes before any successful open.
 *
 * @param out at least 30 bytes; NULL does nothing.
 */
VEK_API void     VEK_CALL GetFWversion(uint8_t *out); /* copies 30 bytes */
/**
 * Writes the controller firmware image "dlp_usb.iic" (read from the current
 * directory) into the RAM of the board's USB controller, holding its CPU in
 * reset meanwhile, then starts it. The board then re-enumerates: call
 * DevReAlloc before using the handle again. Takes no gate.
 *
 * @param handle from VekDevAlloc.
 * @param flag   not read.
 * @return 1 when the image was written and the controller started; 0 when the
 *         file is missing or malformed, a transfer failed, or `handle` is NULL.
 */
VEK_API int      VEK_CALL VekDownloadFirmWare(DeviceHandle *handle, uint32_t flag);

/* ---- Control commands, frame transfer ----------------------------------- */

/**
 * Runs one numbered command: a short, fixed sequence of register accesses.
 * Numbers are 1-based; 2 to 7, 12, 16 and 23 are not supported.
 *
 * | No. | Effect | `*value` |
 * |---|---|---|
 * | 1, 11 | pulse bit 31 of the control register (0x01), 100 ms | |
 * | 8 | bit 0 set: write 0x40000000 to the control register | in |
 * | 9, 10 | clear (verified) / set bit 1 of the control register | |
 * | 13 | set bit 0 of the control register, 100 ms | |
 * | 14 | frequency, Hz (1 to 0x40000000): registers 0x20, 0x22 | in |
 * | 15 | gray depth, 1 to 16 bit planes: register 0x21 | in |
 * | 17 | set the handle's loaded-byte count (low 4 bits cleared) | in |
 * | 18, 24 | write register 0x30 / 0x40 (24 after 200 ms), verified | in |
 * | 19, 20, 27 | write register 0x31 / 0x12 / 0x41 | in |
 * | 21, 22 | 1: set, else clear bit 25 / bit 26 of the control register | in |
 * | 25, 26 | write `*value` / 16 to register 0x13 / 0x14 | in |
 * | 28, 29, 30 | I2C write through 0x50 / 0x52, read through 0x53 | in (30: in, out) |
 * | 31, 32 | margin / interval registers, verified | in |
 * | 33, 34 | read register 0x40 / the margin | out |
 * | 35 | set bits 4 to 7 of the control register | in |
 *
 * @param handle  from VekDevAlloc.
 * @param command 1 to 35.
 * @param value   the command's input word, and its output for the reading
 *                commands; may be NULL for commands that do not use it.
 * @return DEV_OK; DEV_ERR_NULL_ARGUMENT; DEV_ERR_BUSY; DEV_ERR_UNSUPPORTED;
 *         DEV_ERR_TRANSFER; and per command DEV_ERR_FAILED (9),
 *         DEV_ERR_TIMING (14, 31, 32), DEV_ERR_GRAY_DEPTH (15),
 *         DEV_ERR_VERIFY (18, 24), DEV_ERR_I2C_NOT_READY and
 *         DEV_ERR_I2C_NOT_DONE (28 to 30).
 */
VEK_API uint32_t VEK_CALL VekDevControl(DeviceHandle *handle, uint32_t command, uint32_t *value);
/**
 * Loads frame data into board memory: clears bit 1 of the control register
 * (command 9), writes the length and start address to registers 0x11 and
 * 0x10 in 16-byte units, waits 100 ms, writes 1 to register 0x32, then sends
 * the bytes on endpoint 0x02 in pieces of at most 1 MiB.
 *
 * @param handle       from VekDevAlloc, after inquiry 5 (VekDevInquire) has
 *                     told the board type; until then the call is refused.
 * @param data         `length` bytes in the bit-plane layout of pixel2bin.
 * @param startAddress byte address in board memory. The board takes it in
 *                     16-byte units: the low 4 bits are dropped (a load at
 *                     0x28 lands at 0x20). Keep it a multiple of 16.
 * @param length       bytes; all are sent, but the board is told length / 16
 *                     units, so keep it a multiple of 16.
 * @return DEV_OK; DEV_ERR_NULL_ARGUMENT; DEV_ERR_BUSY; DEV_ERR_FRAME_MODE (no
 *         inquiry 5 yet, or a board type without a frame layout; nothing sent).
 *
 * DEV_OK does not mean the data arrived: once the frame layout is known, the
 * failures of the register writes and of the data pieces are not reported.
 * Read the frame back (VekDevGetFrame) to be sure. Adds `length` to the
 * loaded-byte count (inquiry 17) and leaves bit 1 of the control register
 * clear (command 10 sets it again).
 */
VEK_API uint32_t VEK_CALL VekDevLoadFrame(DeviceHandle *handle, const uint8_t *data, uint32_t startAddress, uint32_t length);
/**
 * Reads frame data back from board memory: as VekDevLoadFrame, but the bytes
 * come in on endpoint 0x86.
 *
 * @param handle       from VekDevAlloc, after inquiry 5.
 * @param data         receives `length` bytes.
 * @param startAddress byte address; taken in 16-byte units (low 4 bits dropped).
 * @param length       bytes.
 * @return as VekDevLoadFrame. DEV_OK does not mean `data` was filled: a
 *         failed or short piece is not reported, and the bytes it should have
 *         brought are left as they were.
 */
VEK_API uint32_t VEK_CALL VekDevGetFrame(DeviceHandle *handle, uint8_t *data, uint32_t startAddress, uint32_t length);
/**
 * Clearing a block of board memory is not supported.
 *
 * @param handle not read.
 * @param first  not read.
 * @param second not read.
 * @return DEV_ERR_UNSUPPORTED, always; nothing is done.
 */
VEK_API uint32_t VEK_CALL VekDevBlockClear(DeviceHandle *handle, uint32_t first, uint32_t second);

/* ---- Inquiries, timing, trigger, GPIO ----------------------------------- */

/**
 * Answers one numbered inquiry (0-based).
 *
 * | No. | `*result` |
 * |---|---|
 * | 0 | 1 if bit 1 of the control register is set, else 0 |
 * | 2, 3 | 4096 |
 * | 4, 7 | 0x120315 |
 * | 5 | board type: 1 (1920 x 1080 bit planes), 2 or 3 (1024 x 768), 255 (unknown) |
 * | 6 | register 0x00 |
 * | 17 | the handle's loaded-byte count |
 * | 23 | the control register (0x01) |
 *
 * Inquiry 5 must run before the first frame transfer and before
 * VekDevNewFrequencySet: it fixes the handle's frame layout and the timing
 * constant (process-wide). A failed inquiry 5 leaves them as they were.
 *
 * @param handle  from VekDevAlloc.
 * @param inquiry 0 to 23; 1, 8 to 16 and 18 to 22 are not supported.
 * @param result  receives the answer; written only on DEV_OK.
 * @return DEV_OK; DEV_ERR_NULL_ARGUMENT; DEV_ERR_BUSY; DEV_ERR_UNSUPPORTED;
 *         DEV_ERR_TRANSFER.
 */
VEK_API uint32_t VEK_CALL VekDevInquire(DeviceHandle *handle, uint32_t inquiry, uint32_t *result);
/**
 * Computes the display time of each bit plane from the frame period and
 * writes the 22 timing registers (0x60 to 0x75) and bit 2 of the control
 * register (set for short periods). Takes no gate.
 *
 * @param handle      from VekDevAlloc, after inquiry 5 (the timing constant
 *                    is 43 us for board type 1, 30 us otherwise).
 * @param planeCount  bit planes, 1 to 16.
 * @param framePeriod microseconds.
 * @param auxTime     microseconds; 0 for none.
 * @return DEV_OK; DEV_ERR_NULL_ARGUMENT; DEV_ERR_TRANSFER (the control register
 *         could not be read or written); DEV_ERR_FAILED (planeCount outside 1
 *         to 16, or a period or auxiliary time that cannot be met: nothing is
 *         written). DEV_OK does not mean the timing registers took their
 *         values: their writes are not checked.
 */
VEK_API uint32_t VEK_CALL VekDevNewFrequencySet(DeviceHandle *handle, uint32_t planeCount, uint32_t framePeriod, uint32_t auxTime);
/**
 * Sets the trigger extension: writes `reg34Value` to register 0x34, bit 0 of
 * register 0x35 (set only when `enable` is 1), `reg36Value` to 0x36 and
 * `reg37Value` to 0x37, then reads the four back (not compared). Prints a
 * short banner to standard output. Takes no gate.
 *
 * @param handle     from VekDevAlloc.
 * @param reg34Value value for register 0x34.
 * @param enable     1 sets bit 0 of register 0x35; any other value clears it.
 * @param reg36Value value for register 0x36.
 * @param reg37Value value for register 0x37.
 * @return DEV_OK; DEV_ERR_NULL_ARGUMENT; DEV_ERR_TRANSFER (at the first failed
 *         access).
 */
VEK_API uint32_t VEK_CALL VekDevTriggerExtSet(DeviceHandle *handle, uint32_t reg34Value, uint8_t enable, uint32_t reg36Value, uint32_t reg37Value);
/**
 * Writes `*value` to the GPIO output register (0x04). Takes no gate.
 *
 * @param handle from VekDevAlloc.
 * @param value  the word to write.
 * @return 0, or VEK_TRANSPORT_FAILED (also for a NULL argument); not a DEV_* code.
 */
VEK_API uint32_t VEK_CALL VekDevSetGPIO(DeviceHandle *handle, uint32_t *value);
/**
 * Reads the GPIO input register (0x03) into `*value`. Takes no gate.
 *
 * @param handle from VekDevAlloc.
 * @param value  receives the register.
 * @return 0, or VEK_TRANSPORT_FAILED (also for a NULL argument); not a DEV_* code.
 */
VEK_API uint32_t VEK_CALL VekDevGetGPIO(DeviceHandle *handle, uint32_t *value);
/**
 * Reads any board register under the handle's gate.
 *
 * @param handle  from VekDevAlloc.
 * @param address register address.
 * @param value   receives the register.
 * @return DEV_OK; DEV_ERR_NULL_ARGUMENT; DEV_ERR_BUSY; DEV_ERR_TRANSFER.
 */
VEK_API uint32_t VEK_CALL VekDevRReg(DeviceHandle *handle, uint32_t address, uint32_t *value);

/* ---- Register transport (takes the USB device object) ------------------- */

/**
 * Writes one board register: an 8-byte packet (address, value; little-endian)
 * on endpoint 0x04, waited for at most 2000 ms. Takes no gate.
 *
 * @param device  from VekDevGetDevice.
 * @param address register address (bit 31 clear).
 * @param value   the word to write.
 * @return 0, or VEK_TRANSPORT_FAILED (also for NULL arguments).
 */
VEK_API uint32_t VEK_CALL VekWriteReg(CCyDevice *device, uint32_t address, uint32_t *value);
/**
 * Reads one board register: a request packet on endpoint 0x04 (address with
 * bit 31 set, and `*value` as its second word), then the 8-byte reply on
 * endpoint 0x86. Takes no gate.
 *
 * @param device  from VekDevGetDevice.
 * @param address register address.
 * @param value   in: the word the request carries; out: the register.
 * @return 0, or VEK_TRANSPORT_FAILED (also for NULL arguments).
 */
VEK_API uint32_t VEK_CALL VekReadReg(CCyDevice *device, uint32_t address, uint32_t *value);
/**
 * Sends `length` bytes on the frame data endpoint 0x02 as one bulk transfer
 * (no frame registers are written: see VekDevLoadFrame). Takes no gate.
 *
 * @param device from VekDevGetDevice.
 * @param length bytes.
 * @param data   the bytes.
 * @return 0, or VEK_TRANSPORT_FAILED (also for NULL arguments).
 */
VEK_API uint32_t VEK_CALL VekWriteData(CCyDevice *device, uint32_t length, const uint8_t *data);
/**
 * Resets one pipe of the board (clears a halt). Takes no gate.
 *
 * @param handle          from VekDevAlloc.
 * @param endpointAddress 0x02, 0x04 or 0x86.
 * @return 1 when reset; 0 when the pipe is unknown, the reset failed, or
 *         `handle` is NULL.
 */
VEK_API int      VEK_CALL ResetUSBPipe(DeviceHandle *handle, uint32_t endpointAddress);

/* ---- Accessors for tools and bindings ----------------------------------- */

/**
 * The handle's USB device object, for VekWriteReg, VekReadReg and
 * VekWriteData. The handle keeps owning it.
 *
 * @param handle from VekDevAlloc.
 * @return the device object; NULL for a null handle.
 */
VEK_API CCyDevice *VEK_CALL VekDevGetDevice(DeviceHandle *handle);
/**
 * One of the attached-device names gathered when the handle was allocated
 * (boards whose configuration has one interface at alternate setting 0).
 *
 * @param handle from VekDevAlloc.
 * @param entry  0 = first.
 * @param out    receives at most size - 1 bytes and a NUL; may be NULL to ask
 *               the length.
 * @param size   bytes at `out`.
 * @return the name's length (without the NUL), or -1 when there is no such
 *         entry or the handle is null.
 */
VEK_API int32_t  VEK_CALL VekDevGetListedName(DeviceHandle *handle, uint32_t entry, char *out, uint32_t size);

/** What tells one attached board from another. Strings are NUL-terminated
 * ASCII, cut to fit. */
typedef struct VekBoardInfo {
    uint32_t index;        /**< the deviceIndex VekDevAlloc takes for this board */
    uint16_t vendorId;     /**< idVendor */
    uint16_t productId;    /**< idProduct */
    uint32_t bus;          /**< USB bus number; 0 for a virtual board (real buses count from 1) */
    int32_t  isVirtual;    /**< 1 for a virtual board (vek_sim.h), else 0 */
    char     portPath[64]; /**< "1-2.3": the bus, then the hub ports from the root down, as
                                Linux names the device; "virtual-N" for virtual board id N */
    char     serial[128];  /**< the serial number string; "" when the board has none */
    char     backend[32];  /**< the driver behind the board: "libusb" or "vek-sim" */
} VekBoardInfo;
/**
 * The attached boards, in the order VekDevAlloc indexes them, without opening
 * any (serial numbers of real boards come from the system's device records).
 * Boards are found as for VekDevAlloc, so a board plugged in since the last
 * look is listed. Boards served by the Windows driver itself are not
 * described (only the library's own backends are).
 *
 * @param out receives at most `max` entries; may be NULL when `max` is 0
 *            (to ask the count).
 * @param max room at `out`, in entries.
 * @return the number of boards attached (may exceed `max`), or -1 when `out`
 *         is NULL and `max` is not 0.
 */
VEK_API int32_t  VEK_CALL VekListBoards(VekBoardInfo *out, uint32_t max);

/* ---- Bit-plane conversions (need no image library: in every build) ------ */
/*
 * The frame layout: raw bit planes, no header. `planeMask` selects planes of
 * the 8-bit pixels (bit 7 = most significant); the selected planes are
 * stored from the highest bit down, each (width / 8) x height bytes, 8
 * pixels per byte, most significant bit first. `width` must be a multiple
 * of 8. A 1920 x 1080 plane is 259200 bytes. Buffers belong to the caller;
 * the functions allocate only scratch memory and release it. File names are
 * NUL-terminated byte strings (paths up to 259 bytes).
 */

/**
 * Packs 8-bit gray pixels into bit planes.
 *
 * @param pixels    width x height bytes, row by row.
 * @param width     pixels, a positive multiple of 8.
 * @param height    rows, positive.
 * @param planeMask the planes to keep; 0 keeps none.
 * @param bin       (width / 8) x height bytes for each plane selected.
 * @return `bin`, or NULL when refused (a null buffer, a width that is not a
 *         multiple of 8, a negative size). A width or height of 0 returns
 *         `bin` and writes nothing.
 */
VEK_API uint8_t *VEK_CALL pixel2bin(const uint8_t *pixels, int32_t width, int32_t height, uint8_t planeMask, uint8_t *bin);
/**
 * Unpacks bit planes into 8-bit gray pixels: each selected plane's bit goes
 * back to its bit of the pixel; the bits of planes not selected are 0.
 *
 * @param bin       the planes, as pixel2bin writes them.
 * @param width     pixels, a positive multiple of 8.
 * @param height    rows, positive.
 * @param planeMask the planes `bin` holds.
 * @param pixels    width x height bytes.
 * @return `pixels`, or NULL when refused (as pixel2bin).
 */
VEK_API uint8_t *VEK_CALL bin2pixel(const uint8_t *bin, int32_t width, int32_t height, uint8_t planeMask, uint8_t *pixels);

/* ---- Image functions ------------------------------------------------------ */
/**
 * Loads an image file as 8-bit gray pixels at exactly `width` x `height`.
 * The file is a regular file in one of the formats OpenCV decodes itself
 * (BMP, JPEG, PNG, TIFF, WebP, the PBM family, Sun raster, JPEG 2000,
 * Radiance HDR, OpenEXR), told by its first bytes; any other file (a DICOM
 * file among them) is refused. An image of another size is resized
 * with bilinear interpolation, which blurs the edges of binary patterns:
 * give images of the board's size.
 *
 * @param fileName the image file.
 * @param width    pixels, positive.
 * @param height   rows, positive.
 * @param pixels   width x height bytes.
 * @return `pixels`, or NULL (file unreadable, bad size or null argument).
 */
VEK_API uint8_t *VEK_CALL GetGrayPixelFormat(const char *fileName, int32_t width, int32_t height, uint8_t *pixels);
/**
 * Loads an image file as three 8-bit colour planes at exactly `width` x
 * `height` (resized as GetGrayPixelFormat does).
 *
 * @param fileName the image file.
 * @param width    pixels, positive.
 * @param height   rows, positive.
 * @param red      width x height bytes.
 * @param green    width x height bytes.
 * @param blue     width x height bytes.
 * @return 1, or 0 (file unreadable, bad size or null argument).
 */
VEK_API int      VEK_CALL GetRGBPixelFormat(const char *fileName, int32_t width, int32_t height, uint8_t *red, uint8_t *green, uint8_t *blue);
/**
 * GetGrayPixelFormat, then pixel2bin.
 *
 * @param fileName  the image file.
 * @param width     pixels, a positive multiple of 8.
 * @param height    rows, positive.
 * @param planeMask the planes to keep.
 * @param bin       (width / 8) x height bytes for each plane selected.
 * @return `bin`, or NULL (file unreadable, or pixel2bin refused).
 */
VEK_API uint8_t *VEK_CALL GetGrayBinFormat(const char *fileName, int32_t width, int32_t height, uint8_t planeMask, uint8_t *bin);
/**
 * GetRGBPixelFormat, then pixel2bin on each colour plane.
 *
 * @param fileName  the image file.
 * @param width     pixels, a positive multiple of 8.
 * @param height    rows, positive.
 * @param planeMask the planes to keep of each colour.
 * @param redBin    frame buffer of the red plane.
 * @param greenBin  frame buffer of the green plane.
 * @param blueBin   frame buffer of the blue plane.
 * @return 1, or 0 (file unreadable, or pixel2bin refused).
 */
VEK_API int      VEK_CALL GetRGBBinFormat(const char *fileName, int32_t width, int32_t height, uint8_t planeMask, uint8_t *redBin, uint8_t *greenBin, uint8_t *blueBin);
/**
 * Writes up to `copyCount` copies of an image, each with its serial number
 * drawn on it, beside the source: NAME_00001.bmp, NAME_00002.bmp, ... (the
 * extension replaced by an underscore and a five-digit serial). 1-bit and
 * 4-bit BMP sources keep their depth. Each copy is shown in a preview window
 * when a display is there, and pauses 20 ms in every case.
 *
 * @param fileName  the source image.
 * @param width     pixels of the copies, positive.
 * @param height    rows of the copies, positive.
 * @param copyCount how many copies to try.
 * @return 0 for a null or empty name or a name too long for the 260-byte
 *         path buffer; otherwise 1, even when a copy could not be made (a
 *         width or height of 0 or less makes none): count the files to know.
 */
VEK_API int      VEK_CALL ImageAddSerialNumber(const char *fileName, int32_t width, int32_t height, int32_t copyCount);
/**
 * Converts every image file of a folder into a frame file beside it, named
 * like the image with ".bin" appended (all eight planes, as GetGrayBinFormat
 * with planeMask 0xFF: width x height bytes).
 *
 * @param dirPath the folder.
 * @param width   pixels, a positive multiple of 8.
 * @param height  rows, positive.
 * @return 0 for a null or over-long path or an empty or unreadable folder;
 *         otherwise 1, even when a file could not be converted (it is
 *         skipped, as every file is at a width or height of 0 or less).
 */
VEK_API int      VEK_CALL BatchImage2Bin(const char *dirPath, int32_t width, int32_t height);
/**
 * Writes the built-in 1920 x 1080 test patterns into the current directory
 * (three BMP images and two single-plane ".bin" frames, with GBK-encoded
 * names), shows the last in a preview window when a display is there, and
 * pauses 2000 ms in every case.
 *
 * @return 0, always; whether the files were written is not reported.
 */
VEK_API int32_t  VEK_CALL TestMe(void);

/* ---- Notices -------------------------------------------------------------- */
/*
 * The library's notices: a board it has no permission to open (with the udev
 * rule that would give it), a board that stopped answering and was given up.
 * Silent by default; VEK_LOG_LEVEL=error|warning|info in the environment sets
 * the level until VekSetLogLevel is called. Each notice goes to the callback
 * when one is set, else to standard error, prefixed "vek: ".
 */
#define VEK_LOG_SILENT  0 /**< no notices */
#define VEK_LOG_ERROR   1 /**< errors: a board given up, a permission refused */
#define VEK_LOG_WARNING 2 /**< errors and warnings */
#define VEK_LOG_INFO    3 /**< every notice */
/** Receives one notice: its level (VEK_LOG_ERROR..VEK_LOG_INFO), its text
 * (one or more lines, no trailing newline, valid during the call) and the
 * context given with the callback. May be called on any thread that uses the
 * library, one notice at a time. */
typedef void (VEK_CALL *VekLogCallback)(int level, const char *message, void *context);
/** Notices at `level` and below are passed on (VEK_LOG_SILENT: none). A
 * level above VEK_LOG_INFO counts as VEK_LOG_INFO, one below 0 as silent. */
VEK_API void     VEK_CALL VekSetLogLevel(int level);
/** Sends notices to `callback` with `context`; NULL sends them to standard
 * error again. */
VEK_API void     VEK_CALL VekSetLogCallback(VekLogCallback callback, void *context);

#ifdef __cplusplus
}
#endif

#endif /* VEK_DLL_H */
