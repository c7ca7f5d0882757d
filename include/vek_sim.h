/**
 * @file vek_sim.h
 * @brief The virtual VEK board.
 *
 * A complete simulated USB driver, USB device, controller and VEK board that
 * lives inside the calling process. Boards attached here are found by
 * VekDevAlloc exactly like real ones, so projection software can be developed
 * and tested with no board on the bench.
 *
 * Boards are listed in attach order. All functions are safe to call from any
 * thread. Functions returning int give 0 on success and -1 for an unknown
 * board id or a bad argument, unless stated otherwise.
 *
 * What the virtual board does
 * ---------------------------
 * - Registers: 8-byte packets (u32 LE address, u32 LE value) on bulk OUT
 *   endpoint 0x04. Address bit 31 marks a read: the reply (8 bytes: the
 *   register address without bit 31, then the value) is queued on 0x86.
 *   Registers keep what is written, except 0x02 (board type), 0x03 (GPIO
 *   input) and 0x51 (I2C status): the host cannot change these, only
 *   VekSimSetRegister can. A write of 1 to 0x32 arms a frame transfer at byte
 *   address reg[0x10] * 16; any other value disarms it. While armed, data on
 *   bulk OUT 0x02 lands in board memory at the transfer cursor, and IN
 *   requests on 0x86 with no reply queued stream memory from it; whichever
 *   comes first (0x02 data or a 0x86 read) fixes the direction until the
 *   next arm. The cursor wraps from 0xFFFFFFFF to 0.
 * - IN requests (bulk and interrupt) with nothing to deliver stay pending
 *   until data arrives, the pipe is aborted, the handle closed or the board
 *   detached. An IN request takes at most one queued reply (8 bytes).
 *   Isochronous IN requests never wait: they return what is queued (maybe 0).
 * - Controller: vendor request 0xA0 (bmRequestType 0x40) writes its 64 KiB
 *   RAM at wValue (bytes past 0xFFFF are accepted and dropped); 0xC0 reads
 *   it back. Bit 0 of RAM byte 0xE600 holds the 8051 in reset.
 * - Other endpoints of custom devices: OUT data is kept (see
 *   VekSimReadOutData); IN data comes from VekSimQueueInData.
 */
#ifndef VEK_SIM_H
#define VEK_SIM_H

#include "vek_dll.h"
#include "vek_names.h"

#ifdef __cplusplus
extern "C" {
#endif

/** A virtual VEK board as VekSimAttach attaches it. */
typedef struct VekSimBoardConfig {
    uint32_t    size;              /**< sizeof(VekSimBoardConfig) */
    const char *deviceName;        /**< the driver's device name; NULL: a default starting "VEK4.0" */
    const char *manufacturer;      /**< manufacturer string descriptor (ASCII); NULL: a default */
    uint32_t    boardTypeRegister; /**< content of register 0x02 */
} VekSimBoardConfig;

/** Attaches a board. NULL: all defaults. Returns the board's id (>= 0) or -1. */
VEK_API int      VEK_CALL VekSimAttach(const VekSimBoardConfig *config);
/** Detaches a board: it disappears from enumeration, open handles fail their
 * requests (ERROR_DEVICE_NOT_CONNECTED) and pending requests end with that
 * error. The id is forgotten. 0, or -1 for an unknown id. */
VEK_API int      VEK_CALL VekSimDetach(int board);
/** Detaches every board, forgets all ids (the next attach gets id 0 again),
 * clears the trace and enables it. The clock mode is left as it is. */
VEK_API void     VEK_CALL VekSimDetachAll(void);
/** Board registers (32-bit at a 32-bit address). 0 or -1. */
VEK_API int      VEK_CALL VekSimGetRegister(int board, uint32_t address, uint32_t *value);
/** Sets a board register from the test side. 0 or -1. */
VEK_API int      VEK_CALL VekSimSetRegister(int board, uint32_t address, uint32_t value);
/** Board memory, the whole 32-bit byte range, sparse; unwritten bytes read 0.
 * Ranges wrap from 0xFFFFFFFF to 0. 0 or -1. */
VEK_API int      VEK_CALL VekSimReadMemory(int board, uint32_t byteAddress, void *out, uint32_t length);
/** Writes board memory from the test side (no trace entry); ranges wrap as for VekSimReadMemory. 0 or -1. */
VEK_API int      VEK_CALL VekSimWriteMemory(int board, uint32_t byteAddress, const void *data, uint32_t length);
/** The controller's 64 KiB RAM; address + length must stay within 0x10000. 0 or -1. */
VEK_API int      VEK_CALL VekSimReadControllerRam(int board, uint32_t address, void *out, uint32_t length);
/** 1 while bit 0 of 0xE600 holds the controller's CPU in reset, 0 if not, -1 unknown id. */
VEK_API int      VEK_CALL VekSimControllerHeld(int board);
/** Virtual clock: pauses and waits that would time out advance it at once.
 * It governs the virtual boards only: work on a real board (a device call, a
 * firmware download, a transfer's wait) always takes real time, so a board
 * never misses a pause it needs. */
VEK_API void     VEK_CALL VekSimSetVirtualClock(int enabled);
/** The clock mode last set: 1 virtual, 0 real (the default). */
VEK_API int      VEK_CALL VekSimVirtualClock(void);
/** Milliseconds on the clock in use (virtual or monotonic); outside device
 * calls, so virtual time whenever the virtual clock is on. */
VEK_API uint64_t VEK_CALL VekSimClockMs(void);

/* ---- Custom devices --------------------------------------------------- */

/** A device with descriptors of the caller's choosing (tests of the USB
 * layers: SuperSpeed with BOS, several interfaces and alternate settings,
 * isochronous and interrupt endpoints, two configurations, malformed
 * descriptors). Every blob is copied and answered as given, with no check:
 * a GET_DESCRIPTOR reply is min(wLength, blob length) bytes of the blob. */
typedef struct VekSimDeviceConfig {
    uint32_t              size;                   /**< sizeof(VekSimDeviceConfig) */
    const uint8_t        *deviceDescriptor;       /**< NULL: the VEK board's */
    uint32_t              deviceDescriptorLength; /**< normally 18 */
    uint32_t              configurationCount;     /**< 0: the VEK board's one configuration */
    const uint8_t *const *configurations;         /**< blob answered for configuration index i */
    const uint32_t       *configurationLengths;   /**< length of each configuration blob */
    const uint8_t        *bos;                    /**< NULL: no BOS (its request stalls) */
    uint32_t              bosLength;              /**< length of the BOS blob */
    uint32_t              stringCount;            /**< 0: LANGID 0x0409 and strings 1, 2, 3 below */
    const uint8_t *const *strings;                /**< raw string descriptor for index i (0 = LANGID list); NULL entry: none */
    const uint32_t       *stringLengths;          /**< length of each string descriptor */
    const char           *manufacturer;           /**< string 1 when stringCount is 0; NULL: default */
    const char           *product;                /**< string 2; NULL: default */
    const char           *serialNumber;           /**< string 3; NULL: default */
    const char           *deviceName;             /**< NULL: the default "VEK4.0 ..." */
    const char           *friendlyName;           /**< NULL: a default */
    uint32_t              speed;                  /**< 0x22004C answer; 0: 4 if bcdUSB >= 0x0300, else 2 */
    uint32_t              altSetting;             /**< 0x220008 answer */
    uint32_t              boardTypeRegister;      /**< register 0x02 */
} VekSimDeviceConfig;

/** Attaches a custom device. Returns its id (>= 0) or -1. */
VEK_API int      VEK_CALL VekSimAttachCustom(const VekSimDeviceConfig *config);
/** 1 if the board is attached, 0 if a detach fault unplugged it (its id and
 * state stay readable until VekSimDetach), -1 unknown id. */
VEK_API int      VEK_CALL VekSimAttached(int board);
/** Controller RAM writes from the test side (no trace entry). 0 or -1. */
VEK_API int      VEK_CALL VekSimWriteControllerRam(int board, uint32_t address, const void *data, uint32_t length);
/** Queues one IN transfer's worth of data on an IN endpoint (bulk, interrupt
 * or isochronous); a pending request on it completes. 0 or -1. */
VEK_API int      VEK_CALL VekSimQueueInData(int board, uint32_t endpointAddress, const void *data, uint32_t length);
/** Takes up to `length` bytes of the OUT data kept for an endpoint other than
 * 0x02 and 0x04 (at most 1 MiB is kept per endpoint; older bytes go).
 * Returns the number of bytes taken, or -1. */
VEK_API int      VEK_CALL VekSimReadOutData(int board, uint32_t endpointAddress, void *out, uint32_t length);

/* ---- Faults ----------------------------------------------------------- */

/** What an armed fault does to the request it hits. */
typedef enum VekSimFault {
    VEK_SIM_FAULT_NONE = 0, /**< no fault */
    /** Completes at once with usbdStatus 0xC0000004 (stall), ntStatus
     * 0xC0000001, error ERROR_GEN_FAILURE (31) and no data moved. A data pipe
     * then stays halted, failing every request the same way, until a reset
     * pipe request (0x22002C) on it; the control pipe clears at the next
     * request, as a control stall does. */
    VEK_SIM_FAULT_STALL = 1,
    /** Refused at issue: DeviceIoControl fails with ERROR_GEN_FAILURE and
     * nothing completes later; the board sees nothing. */
    VEK_SIM_FAULT_FAIL_AT_ISSUE = 2,
    /** Stays pending, with no effect on the board, until its pipe is aborted,
     * its handle closed or the board detached. */
    VEK_SIM_FAULT_STAY_PENDING = 3,
    /** Moves half the bytes (rounded down) and succeeds. A query answers half
     * its bytes. */
    VEK_SIM_FAULT_SHORT = 4,
    /** The board is unplugged: this request and all later ones fail with
     * ERROR_DEVICE_NOT_CONNECTED (1167), pending ones complete with it, and
     * the board leaves enumeration. */
    VEK_SIM_FAULT_DETACH = 5
} VekSimFault;

/** Fault kind `index` (0 = VEK_SIM_FAULT_NONE, in ascending order of kind):
 * number = the VekSimFault, name ("stall", "fail-at-issue", ...) and meaning
 * in one line; NULL past the last. */
VEK_API const VekNameEntry *VEK_CALL VekSimFaultAt(uint32_t index);
/** The name of a fault kind ("short"), or NULL for a number that is none. */
VEK_API const char *VEK_CALL VekSimFaultName(int kind);

/** Matches requests on every pipe, and the driver queries. */
#define VEK_SIM_ANY_ENDPOINT 0xFFFFFFFFu

/* Counted requests: every request that reaches an attached board except
 * abort pipe (0x220044), which is never faulted. A request counts on its
 * pipe: control requests on 0, data requests on endpointAddress, reset pipe
 * on its input byte; the driver queries (versions, alternate setting,
 * address, names, speed) count only for VEK_SIM_ANY_ENDPOINT. */

/** Arms `kind` for the nth (1 = next) counted request on `endpointAddress`
 * (or any) from now. Several faults may be armed; each fires once. 0 or -1. */
VEK_API int      VEK_CALL VekSimInjectFault(int board, uint32_t endpointAddress, uint32_t nthRequest, int kind);
/** Disarms every fault armed on the board and not yet fired. 0 or -1 (unknown id). */
VEK_API int      VEK_CALL VekSimClearFaults(int board);
/** Counted requests so far on that pipe (VEK_SIM_ANY_ENDPOINT: all of them),
 * so a sweep can run once, count, and then fault each request in turn.
 * Returns -1 for an unknown id. */
VEK_API int64_t  VEK_CALL VekSimRequestCount(int board, uint32_t endpointAddress);

/* ---- Trace ------------------------------------------------------------ */

/** One process-wide trace holds every board's entries in order, each with its
 * board id; pauses (Sleep) are process-wide and carry board -1. The kinds of its entries: */
typedef enum VekSimTraceKind {
    VEK_SIM_TRACE_REQUEST = 1,    /**< code, endpoint, inLength, outLength; outcome: result, error, bytes */
    VEK_SIM_TRACE_COMPLETION = 2, /**< a pending request ended: code, endpoint, error, bytes */
    VEK_SIM_TRACE_REGISTER_WRITE = 3, /**< address, value */
    VEK_SIM_TRACE_REGISTER_READ = 4,  /**< address (bit 31 cleared), value replied, carried = value word of the request */
    VEK_SIM_TRACE_CONTROL = 5,    /**< bmRequestType, bRequest, wValue, wIndex, wLength; bytes = data stage moved */
    VEK_SIM_TRACE_DATA = 6,       /**< endpoint, direction (0 OUT, 1 IN), length asked, bytes moved */
    VEK_SIM_TRACE_ABORT = 7,      /**< endpoint; bytes = number of requests ended */
    VEK_SIM_TRACE_RESET = 8,      /**< endpoint */
    VEK_SIM_TRACE_PAUSE = 9,      /**< value = milliseconds; board -1 */
    VEK_SIM_TRACE_FAULT = 10,     /**< endpoint, value = VekSimFault applied to the request traced before */
    VEK_SIM_TRACE_ATTACH = 11,    /**< a board attached */
    VEK_SIM_TRACE_DETACH = 12     /**< a board detached */
} VekSimTraceKind;

/* Outcome of a REQUEST entry (result field). */
#define VEK_SIM_RESULT_COMPLETE 0u /**< the request completed at once */
#define VEK_SIM_RESULT_PENDING  1u /**< the request stayed pending (a COMPLETION entry ends it) */
#define VEK_SIM_RESULT_FAILED   2u /**< the request was refused at issue */

/** One trace entry; which fields are set depends on its kind. */
typedef struct VekSimTraceEntry {
    uint32_t kind;          /**< VekSimTraceKind */
    int32_t  board;         /**< board id, -1 for a pause */
    uint64_t clockMs;       /**< VekSimClockMs() when recorded */
    uint32_t code;          /**< REQUEST, COMPLETION: request code */
    uint32_t endpoint;      /**< pipe (0 = control); 0xFFFFFFFF for a driver query */
    uint32_t inLength;      /**< REQUEST */
    uint32_t outLength;     /**< REQUEST */
    uint32_t result;        /**< REQUEST: VEK_SIM_RESULT_* */
    uint32_t error;         /**< REQUEST, COMPLETION: Win32 error, 0 on success */
    uint32_t bytes;         /**< REQUEST, COMPLETION: returned count; DATA, CONTROL: bytes moved */
    uint32_t address;       /**< REGISTER_*: register address */
    uint32_t value;         /**< REGISTER_*: value; PAUSE: ms; FAULT: kind */
    uint32_t carried;       /**< REGISTER_READ: value word the read request carried */
    uint32_t direction;     /**< DATA: 0 OUT, 1 IN */
    uint32_t length;        /**< DATA: bytes asked */
    uint8_t  bmRequestType; /**< CONTROL */
    uint8_t  bRequest;      /**< CONTROL */
    uint16_t wValue;        /**< CONTROL */
    uint16_t wIndex;        /**< CONTROL */
    uint16_t wLength;       /**< CONTROL */
} VekSimTraceEntry;

/** The number of entries in the trace. */
VEK_API uint32_t VEK_CALL VekSimTraceCount(void);
/** Copies entry i (0 = oldest). 0 or -1 (index out of range or NULL). */
VEK_API int      VEK_CALL VekSimTraceGet(uint32_t index, VekSimTraceEntry *entry);
/** Empties the trace (recording stays as it is). */
VEK_API void     VEK_CALL VekSimTraceClear(void);
/** Recording on (default) or off; the trace keeps at most 1 Mi entries and
 * drops later ones. */
VEK_API void     VEK_CALL VekSimTraceEnable(int enabled);
/** The trace as text, one line per entry, NUL-terminated, truncated to fit.
 * Returns the length the whole text needs (without the NUL). */
VEK_API uint32_t VEK_CALL VekSimTraceText(char *out, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif /* VEK_SIM_H */
