// The controller firmware download and the ".iic" reader.
#include "firmware/firmware.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "api/device_handle.h"
#include "platform/files.h"
#include "usb/device/usb_device.h"
#include "usb/endpoint/control_endpoint.h"
#include "vek_files.h"

namespace vek {

FirmwareWork g_firmware;

namespace {

constexpr uint32_t kRecipientDevice = 0;
constexpr uint32_t kRequestTypeVendor = 2;

uint16_t LoadBe16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Holds the two buffers of `work` for the time of one download (or check)
// and releases them.
struct WorkBuffers {
    FirmwareWork &work;
    std::unique_ptr<uint8_t[]> file{new (std::nothrow) uint8_t[kMaxFwSize]};
    std::unique_ptr<uint8_t[]> image{new (std::nothrow) uint8_t[kMaxFwSize]};
    explicit WorkBuffers(FirmwareWork &w) : work(w) {
        work.fwBuffer = file.get();
        work.fwRamImage = image.get();
    }
    ~WorkBuffers() {
        work.fwBuffer = nullptr;
        work.fwRamImage = nullptr;
    }
    bool ok() const { return file && image; }
};

}  // namespace

bool ReadFirmwareFile(const char *name, uint8_t *buffer, uint16_t &fileLength) {
    if (name == nullptr || name[0] == '\0' || buffer == nullptr) return false;
    // A FIFO would hold the open until a writer came, a device node would
    // read without end: only a regular file is read, checked once it is open.
    std::vector<uint8_t> bytes;
    if (!platform::ReadRegularFile(name, bytes, kMaxFwSize)) return false;
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    fileLength = static_cast<uint16_t>(bytes.size());
    return true;
}

IicStatus ParseIicRecords(const uint8_t *buffer, uint16_t fileLength, uint8_t *ramImage, uint16_t &imageLen,
                          uint16_t &fwOffset) {
    imageLen = 0;
    fwOffset = 0xFFFF;
    std::memset(ramImage, 0xFF, kMaxFwSize);
    uint32_t offset = kIicHeaderBytes;
    for (;;) {
        // The final record's Address is never used: its Length alone ends
        // the walk, even when the file ends right after it.
        if (offset + 2 > fileLength) return kIicNoFinalRecord;
        const uint16_t length = LoadBe16(buffer + offset);
        if (length == kIicFinalLength) break;
        if (offset + 4 > fileLength) return kIicNoFinalRecord;
        const uint16_t address = LoadBe16(buffer + offset + 2);
        if (offset + 4 + length > fileLength) return kIicPastFileEnd;
        const uint32_t end = static_cast<uint32_t>(address) + length;
        if (end > kMaxFwSize) return kIicPastImageEnd;
        std::memcpy(ramImage + address, buffer + offset + 4, length);
        if (end > imageLen) imageLen = static_cast<uint16_t>(end);
        if (address < fwOffset) fwOffset = address;
        offset += 4u + length;
    }
    if (imageLen > kMaxImageEnd) return kIicImageTooHigh;
    return kIicOk;
}

bool SetCpuReset(CCyDevice *device, uint8_t hold) {
    if (device == nullptr || device->controlEndpoint == nullptr) return false;
    CCyControlEndPoint *ep = device->controlEndpoint;
    ep->recipient = kRecipientDevice;
    ep->requestType = kRequestTypeVendor;
    ep->value = kCpuControlRegister;
    ep->index = 0;
    ep->requestCode = kFirmwareLoadRequest;
    uint8_t byte = hold;
    int32_t length = 1;
    return ep->ControlWrite(&byte, length);
}

IicStatus LoadIicFile(const char *path, FirmwareWork &work) {
    std::memset(work.fwBuffer, 0xFF, kMaxFwSize);
    if (!ReadFirmwareFile(path, work.fwBuffer, work.fwFileLength)) return kIicUnreadable;
    return ParseIicRecords(work.fwBuffer, work.fwFileLength, work.fwRamImage, work.imageLen, work.fwOffset);
}

bool DownloadIicFirmware(CCyDevice *device, const char *path) {
    WorkBuffers work(g_firmware);
    if (!work.ok()) return false;
    if (LoadIicFile(path, g_firmware) != kIicOk) return false;
    if (device == nullptr || device->controlEndpoint == nullptr) return false;

    CCyControlEndPoint *ep = device->controlEndpoint;
    ep->recipient = kRecipientDevice;
    ep->requestType = kRequestTypeVendor;
    ep->requestCode = kFirmwareLoadRequest;
    ep->index = 0;

    SetCpuReset(device, 1);
    // Each piece goes from the RAM image straight into its request block (the
    // one copy on the library's side; an OUT transfer leaves its source as it is).
    const uint32_t imageLen = g_firmware.imageLen;
    for (uint32_t a = g_firmware.fwOffset; a < imageLen; a += kFwChunkBytes) {
        int32_t len = static_cast<int32_t>(a + kFwChunkBytes < imageLen ? kFwChunkBytes : imageLen - a);
        ep->value = static_cast<uint16_t>(a);
        if (!ep->ControlWrite(g_firmware.fwRamImage + a, len)) return false;
    }
    SetCpuReset(device, 0);
    return true;
}

}  // namespace vek

namespace {

int DownloadAndPause(DeviceHandle *handle, const char *path) {
    if (handle == nullptr) return 0;
    const vek::BoardTime time(handle);
    bool ok = false;
    try {
        ok = vek::DownloadIicFirmware(handle->device, path);
    } catch (...) {
        return 0;
    }
    if (!ok) return 0;
    vek::win32::Sleep(vek::kAfterDownloadPauseMs);
    return 1;
}

}  // namespace

extern "C" VEK_API int VEK_CALL VekDownloadFirmWare(DeviceHandle *handle, uint32_t) {
    return DownloadAndPause(handle, vek::kFirmwareFile.c_str());
}

extern "C" VEK_API int VEK_CALL VekDownloadFirmwareFile(DeviceHandle *handle, const char *path) {
    return DownloadAndPause(handle, path);
}

extern "C" VEK_API int VEK_CALL VekFirmwareCheck(const char *path, VekFirmwareImage *image) {
    static_assert(vek::kIicNoFinalRecord == VEK_FIRMWARE_NO_FINAL_RECORD &&
                  vek::kIicPastFileEnd == VEK_FIRMWARE_PAST_FILE_END &&
                  vek::kIicPastImageEnd == VEK_FIRMWARE_PAST_64K && vek::kIicImageTooHigh == VEK_FIRMWARE_TOO_HIGH &&
                  vek::kIicUnreadable == VEK_FIRMWARE_UNREADABLE);
    try {
        // Storage of its own: a check may run beside a download.
        vek::FirmwareWork checked;
        vek::WorkBuffers work(checked);
        if (!work.ok()) return VEK_FIRMWARE_UNREADABLE;
        const vek::IicStatus status = vek::LoadIicFile(path, checked);
        if (status == vek::kIicOk && image != nullptr) *image = VekFirmwareImage{checked.fwOffset, checked.imageLen};
        return status;
    } catch (...) {
        return VEK_FIRMWARE_UNREADABLE;
    }
}
