/**
 * @file vek_files.h
 * @brief The calls of vek_dll.h that read or write fixed file names in
 * the current directory (VekDownloadFirmWare, TestMe), with the path given
 * instead, so that a program need not change its working directory. Paths
 * are bytes as the file system takes them (UTF-8 on Windows).
 */
#ifndef VEK_FILES_H
#define VEK_FILES_H

#include "vek_dll.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Controller firmware files */

/** Why a firmware file was refused. */
#define VEK_FIRMWARE_OK              0 /**< well formed */
#define VEK_FIRMWARE_NO_FINAL_RECORD 1 /**< the records end without the record of length 0x8001 */
#define VEK_FIRMWARE_PAST_FILE_END   2 /**< a record's data runs past the end of the file */
#define VEK_FIRMWARE_PAST_64K        3 /**< a record runs past the controller's 64 KiB */
#define VEK_FIRMWARE_TOO_HIGH        4 /**< the image ends above 0xF800 */
#define VEK_FIRMWARE_UNREADABLE      5 /**< cannot be opened or read, or longer than 65535 bytes */

/** What a well-formed file fills of the controller's RAM. */
typedef struct VekFirmwareImage {
    uint32_t start;   /**< lowest address written */
    uint32_t end;     /**< exclusive end of the range sent */
} VekFirmwareImage;

/** Reads and checks a ".iic" firmware file (an 8-byte header, then records of
 * a big-endian u16 length, a big-endian u16 address and the data, ended by a
 * record of length 0x8001). Returns VEK_FIRMWARE_OK and fills `image` (may
 * be NULL), or the reason the download would refuse the file. Touches no
 * board. */
VEK_API int VEK_CALL VekFirmwareCheck(const char *path, VekFirmwareImage *image);
/** VekDownloadFirmWare with the file at `path` instead of "dlp_usb.iic" in the
 * current directory: 1 on success (after the 2 s pause), 0 when the file is
 * refused (before any traffic) or a transfer fails (the controller may be
 * left halted). Reopen the board with DevReAlloc afterwards. */
VEK_API int VEK_CALL VekDownloadFirmwareFile(DeviceHandle *handle, const char *path);

/* ---- Image functions ------------------------------------------------------ */
/** TestMe's patterns (black-white, stripes and gradient, 1920x1080, as BMP
 * images and one-plane frame files with their code page 936 names) written
 * into `folder`, without the preview window. Returns the number of files
 * written (5 when all were), or -1 for a null folder. */
VEK_API int32_t VEK_CALL VekWriteTestPatterns(const char *folder);

#ifdef __cplusplus
}
#endif

#endif /* VEK_FILES_H */
