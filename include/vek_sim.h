/*
 * vek_sim.h: the virtual VEK board.
 *
 * A complete simulated USB driver, USB device, controller and VEK board that
 * lives inside the calling process. Boards attached here are found by
 * VekDevAlloc exactly like real ones, so projection software can be developed
 * and tested with no board on the bench.
 *
 * Boards are listed in attach order. All functions are safe to call from any
 * thread. The functions below this first block are documented where they are
 * declared.
 */
#ifndef VEK_SIM_H
#define VEK_SIM_H

#include "vek_dll.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VekSimBoardConfig {
    uint32_t    size;              /* sizeof(VekSimBoardConfig) */
    const char *deviceName;        /* the driver's device name; NULL: a default starting "VEK4.0" */
    const char *manufacturer;      /* manufacturer string descriptor (ASCII); NULL: a default */
    uint32_t    boardTypeRegister; /* content of register 0x02 */
} VekSimBoardConfig;

/* Attaches a board. NULL: all defaults. Returns the board's id (>= 0) or -1. */
VEK_API int      VEK_CALL VekSimAttach(const VekSimBoardConfig *config);
/* Detaches a board: it disappears from enumeration, open handles fail their
 * requests and pending requests end. 0, or -1 for an unknown id. */
VEK_API int      VEK_CALL VekSimDetach(int board);
VEK_API void     VEK_CALL VekSimDetachAll(void);
/* Board registers (32-bit at a 32-bit address). 0 or -1. */
VEK_API int      VEK_CALL VekSimGetRegister(int board, uint32_t address, uint32_t *value);
VEK_API int      VEK_CALL VekSimSetRegister(int board, uint32_t address, uint32_t value);
/* Board memory, the whole 32-bit byte range, sparse; unwritten bytes read 0. 0 or -1. */
VEK_API int      VEK_CALL VekSimReadMemory(int board, uint32_t byteAddress, void *out, uint32_t length);
/* The controller's 64 KiB RAM. 0 or -1. */
VEK_API int      VEK_CALL VekSimReadControllerRam(int board, uint32_t address, void *out, uint32_t length);
/* 1 while bit 0 of 0xE600 holds the controller's CPU in reset, 0 if not, -1 unknown id. */
VEK_API int      VEK_CALL VekSimControllerHeld(int board);
/* Virtual clock: pauses and waits that would time out advance it at once. */
VEK_API void     VEK_CALL VekSimSetVirtualClock(int enabled);
/* Milliseconds on the clock in use (virtual or monotonic). */
VEK_API uint64_t VEK_CALL VekSimClockMs(void);

#ifdef __cplusplus
}
#endif

#endif /* VEK_SIM_H */
