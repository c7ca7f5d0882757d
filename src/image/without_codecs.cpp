// The image functions of a build without OpenCV (a cross build where it is
// not found): exported all the same, so that a program importing
// them starts, each returning its failure value. pixel2bin and bin2pixel need
// no library and are always the real ones (bitplane.cpp).
#include "vek_dll.h"
#include "vek_files.h"

VEK_API uint8_t *VEK_CALL GetGrayPixelFormat(const char *, int32_t, int32_t, uint8_t *) { return nullptr; }

VEK_API int VEK_CALL GetRGBPixelFormat(const char *, int32_t, int32_t, uint8_t *, uint8_t *, uint8_t *) { return 0; }

VEK_API uint8_t *VEK_CALL GetGrayBinFormat(const char *, int32_t, int32_t, uint8_t, uint8_t *) { return nullptr; }

VEK_API int VEK_CALL GetRGBBinFormat(const char *, int32_t, int32_t, uint8_t, uint8_t *, uint8_t *, uint8_t *) {
    return 0;
}

VEK_API int VEK_CALL ImageAddSerialNumber(const char *, int32_t, int32_t, int32_t) { return 0; }

VEK_API int VEK_CALL BatchImage2Bin(const char *, int32_t, int32_t) { return 0; }

VEK_API int32_t VEK_CALL TestMe(void) { return 0; }

VEK_API int32_t VEK_CALL VekWriteTestPatterns(const char *folder) { return folder == nullptr ? -1 : 0; }
