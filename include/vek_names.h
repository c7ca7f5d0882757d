/**
 * @file vek_names.h
 * @brief Names and one-line meanings of the library's numbers.
 *
 * The names are the ones tools show and accept: result codes by their
 * constant's name ("DEV_ERR_GRAY_DEPTH"), commands of VekDevControl,
 * inquiries of VekDevInquire, board registers and board types by short names
 * ("gray-depth", "board-type", "i2c-status", "board-type-2"). These tables are
 * the library's own: its command dispatcher and inquiries run through them.
 * Every returned string is static: never freed, valid for the life of the
 * process. All functions are safe to call from any thread.
 */
#ifndef VEK_NAMES_H
#define VEK_NAMES_H

#include "vek_dll.h"

#ifdef __cplusplus
extern "C" {
#endif

/** The tables VekNameAt and VekNameOf read. */
#define VEK_TABLE_RESULTS     0u /**< result codes: DEV_OK, DEV_ERR_*, VEK_TRANSPORT_FAILED */
#define VEK_TABLE_COMMANDS    1u /**< the commands VekDevControl supports */
#define VEK_TABLE_INQUIRIES   2u /**< the inquiries VekDevInquire supports */
#define VEK_TABLE_REGISTERS   3u /**< the board registers the library uses, by address */
#define VEK_TABLE_BOARD_TYPES 4u /**< the board types inquiry 5 reports (see VekBoardFrameLayout) */

/** How a command uses its value word (VekNameEntry.value of a command). */
#define VEK_VALUE_NONE  0u /**< ignored */
#define VEK_VALUE_IN    1u /**< read by the command */
#define VEK_VALUE_OUT   2u /**< written with the command's result */
#define VEK_VALUE_INOUT 3u /**< read, then written with the result */

/** One row of a table of names. */
typedef struct VekNameEntry {
    uint32_t    number;  /**< the result code, command or inquiry number, register address or board type */
    const char *name;    /**< "DEV_ERR_BUSY", "gray-depth", "board-type" */
    const char *meaning; /**< one line: what it means or does */
    uint32_t    value;   /**< commands: VEK_VALUE_*; board types: the bits 28 to 31 of register
                              0x02 that select it (0xFFFFFFFF for type 255: any other bits);
                              0 in the other tables */
} VekNameEntry;

/** Entry `index` of a table, in ascending order of number; NULL past the end
 * or for an unknown table. */
VEK_API const VekNameEntry *VEK_CALL VekNameAt(uint32_t table, uint32_t index);
/** The entry of `number` in a table; NULL when the table has none. */
VEK_API const VekNameEntry *VEK_CALL VekNameOf(uint32_t table, uint32_t number);
/** The entry whose name is `name` (exact, case-sensitive); NULL when none. */
VEK_API const VekNameEntry *VEK_CALL VekNameFind(uint32_t table, const char *name);

/** A result code's name ("DEV_ERR_GRAY_DEPTH"), or NULL for a code the
 * library does not return. */
VEK_API const char *VEK_CALL VekResultName(uint32_t code);
/** One line on what a result code means and what to do, or NULL. */
VEK_API const char *VEK_CALL VekResultMeaning(uint32_t code);
/** A command's name ("gray-depth"), or NULL for a number the library does
 * not support. */
VEK_API const char *VEK_CALL VekCommandName(uint32_t command);
/** An inquiry's name ("board-type"), or NULL for a number the library does
 * not support. */
VEK_API const char *VEK_CALL VekInquiryName(uint32_t inquiry);

/** The frame layout of a board type: the size of its bit planes. */
typedef struct VekFrameLayout {
    uint32_t boardType;     /**< the board type (inquiry 5) */
    uint32_t width;         /**< pixels per row of a bit plane */
    uint32_t height;        /**< rows of a bit plane */
    uint32_t bytesPerPlane; /**< one bit plane: width / 8 * height */
    uint32_t bytesPerFrame; /**< a frame of all eight bit planes: 8 * bytesPerPlane */
    uint32_t frameMode;     /**< what inquiry 5 stores for the frame transfers */
} VekFrameLayout;

/** Fills `*layout` with the frame layout of `boardType` and returns 1; returns
 * 0 (and zeroes `*layout`) for a type with no frame layout (255, or a number
 * inquiry 5 never reports) and for a NULL `layout`. */
VEK_API int VEK_CALL VekBoardFrameLayout(uint32_t boardType, VekFrameLayout *layout);

#ifdef __cplusplus
}
#endif

#endif /* VEK_NAMES_H */
