// The controller firmware download: a ".iic" image file (by default
// "dlp_usb.iic" in the current directory) is laid out as a RAM image and written into the USB
// controller's RAM with its firmware-load vendor request (0xA0) while the
// 8051 is held in reset through 0xE600, then the CPU is released.
//
// The working storage is process-wide: one download at a time in the process,
// and no other traffic on the device's control endpoint meanwhile.
#pragma once

#include <cstdint>
#include <string>

#include "platform/paths.h"

namespace vek {

class CCyDevice;

inline constexpr uint16_t kMaxFwSize = 65535;        // file size limit and buffer size
inline constexpr uint16_t kIicFinalLength = 0x8001;  // Length field of the last record
inline constexpr uint32_t kIicHeaderBytes = 8;
inline constexpr uint32_t kFwChunkBytes = 2048;
// Highest exclusive end of an image the 16-bit chunk addresses can carry.
inline constexpr uint32_t kMaxImageEnd = 0xF800;
inline constexpr uint8_t kFirmwareLoadRequest = 0xA0;
inline constexpr uint16_t kCpuControlRegister = 0xE600;
inline constexpr uint32_t kAfterDownloadPauseMs = 2000;

// The file name, relative to the current directory (".\\dlp_usb.iic" on Windows).
inline const std::string kFirmwareFile = std::string(".") + platform::kDirectorySeparator + "dlp_usb.iic";

// Process-wide working storage of the download.
struct FirmwareWork {
    uint8_t *fwBuffer = nullptr;  // kMaxFwSize bytes: the file, the rest 0xFF
    uint16_t fwFileLength = 0;
    uint8_t *fwRamImage = nullptr;  // kMaxFwSize bytes: the controller's RAM as the records fill it
    uint16_t fwOffset = 0xFFFF;     // lowest data record address
    uint16_t imageLen = 0;          // exclusive end of the range sent
};
extern FirmwareWork g_firmware;

// Why a file was refused (kIicOk when it was not); the values of vek_names.h.
enum IicStatus : int {
    kIicOk = 0,
    kIicNoFinalRecord = 1,  // the records run to the end of the file without the 0x8001 record
    kIicPastFileEnd = 2,    // a record's data runs past the end of the file
    kIicPastImageEnd = 3,   // Address + Length beyond the 65535-byte image
    kIicImageTooHigh = 4,   // the image ends above 0xF800
    kIicUnreadable = 5,     // the file cannot be read, or is longer than 65535 bytes
};

// Fills `buffer` (kMaxFwSize bytes, pre-filled by the caller) with the file and
// sets `fileLength`. Fails for an empty name, a file that cannot be opened or
// read, or one longer than 65535 bytes.
bool ReadFirmwareFile(const char *name, uint8_t *buffer, uint16_t &fileLength);

// Walks the records from offset 8 of `buffer` (the file's `fileLength` bytes)
// into `ramImage` (kMaxFwSize bytes, filled with 0xFF first) and sets
// `imageLen` and `fwOffset`. Records go in file order; later ones overwrite
// earlier ones. A file that is not well formed is refused with its reason, and
// nothing of it may be sent.
IicStatus ParseIicRecords(const uint8_t *buffer, uint16_t fileLength, uint8_t *ramImage, uint16_t &imageLen,
                          uint16_t &fwOffset);

// One-byte write of `hold` (1 holds the 8051, 0 runs it) to 0xE600 through
// request 0xA0. Its result is not consulted by the download.
bool SetCpuReset(CCyDevice *device, uint8_t hold);

// Reads and parses the file at `path` into `work`, whose two buffers the
// caller provides (kMaxFwSize bytes each); kIicOk or why it was refused.
IicStatus LoadIicFile(const char *path, FirmwareWork &work);

// The whole download of the file at `path`: false before any traffic when the
// file is missing, too long or malformed; false at once (8051 left held) when
// a chunk fails.
bool DownloadIicFirmware(CCyDevice *device, const char *path);

}  // namespace vek
