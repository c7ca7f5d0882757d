// The ".iic" firmware reader and record walk, and the whole download of the
// file to a virtual board's controller.
//
// Input: the bytes of dlp_usb.iic.
// Checks: the walk never reads or writes outside its buffers (ASan); a file
// it accepts gives an image that ends at or below 0xF800, whose bytes outside
// the sent range are all 0xFF; the reader returns the file's bytes exactly,
// and refuses files longer than 65535 bytes; a download sends nothing for a
// refused file, and for an accepted one leaves the controller's RAM equal to
// the image over the sent range, with the CPU running again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "firmware/firmware.h"
#include "fuzz_common.h"
#include "vek_dll.h"
#include "vek_sim.h"

namespace {

void WriteFirmwareFile(const uint8_t *data, size_t size) {
    std::FILE *f = std::fopen("dlp_usb.iic", "wb");
    if (f == nullptr) vekfuzz::Finding("cannot write dlp_usb.iic");
    if (size > 0 && std::fwrite(data, 1, size, f) != size) vekfuzz::Finding("short write of dlp_usb.iic");
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vekfuzz::UseVirtualBoardsOnly();
    if (chdir(vekfuzz::WorkDirectory("iic-fuzz").c_str()) != 0) vekfuzz::Finding("no work directory");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace vek;
    // The walk on the file's bytes, in exactly sized copies.
    std::vector<uint8_t> buffer(kMaxFwSize, 0xFF);
    const size_t kept = size < kMaxFwSize ? size : kMaxFwSize;
    std::memcpy(buffer.data(), data, kept);
    const std::vector<uint8_t> before = buffer;
    std::vector<uint8_t> image(kMaxFwSize, 0);
    uint16_t imageLen = 1234, fwOffset = 4321;
    const IicStatus status =
        ParseIicRecords(buffer.data(), static_cast<uint16_t>(kept), image.data(), imageLen, fwOffset);
    VEK_FUZZ_CHECK(buffer == before);  // the walk reads its input only
    if (status == kIicOk) {
        VEK_FUZZ_CHECK(imageLen <= kMaxImageEnd);
        if (imageLen == 0) {
            VEK_FUZZ_CHECK(fwOffset == 0xFFFF || fwOffset == 0);
        } else {
            VEK_FUZZ_CHECK(fwOffset <= imageLen);
        }
        const uint32_t first = fwOffset == 0xFFFF ? imageLen : fwOffset;
        for (uint32_t a = 0; a < kMaxFwSize; ++a) {
            if (a < first || a >= imageLen) VEK_FUZZ_CHECK(image[a] == 0xFF);
        }
    }

    // The reader on the same bytes as a file.
    WriteFirmwareFile(data, size);
    std::vector<uint8_t> read(kMaxFwSize, 0xFF);
    uint16_t fileLength = 0;
    const bool readOk = ReadFirmwareFile(kFirmwareFile.c_str(), read.data(), fileLength);
    VEK_FUZZ_CHECK(readOk == (size <= kMaxFwSize));
    if (readOk) {
        VEK_FUZZ_CHECK(fileLength == size);
        VEK_FUZZ_CHECK(std::memcmp(read.data(), data, size) == 0);
        for (size_t i = size; i < kMaxFwSize; ++i) VEK_FUZZ_CHECK(read[i] == 0xFF);
    }

    // The whole download to a fresh virtual board.
    vekfuzz::FreshBoards();
    const int board = VekSimAttach(nullptr);
    VEK_FUZZ_CHECK(board >= 0);
    DeviceHandle *handle = nullptr;
    uint8_t isVek40 = 0;
    VEK_FUZZ_CHECK(VekDevAlloc(0, &handle, &isVek40) == DEV_OK);
    const int64_t controlBefore = VekSimRequestCount(board, 0);
    const int downloaded = VekDownloadFirmWare(handle, 0);
    const bool accepted = readOk && status == kIicOk;
    VEK_FUZZ_CHECK(downloaded == (accepted ? 1 : 0));
    if (!accepted) {
        VEK_FUZZ_CHECK(VekSimRequestCount(board, 0) == controlBefore);  // nothing sent
    } else {
        VEK_FUZZ_CHECK(VekSimControllerHeld(board) == 0);
        if (fwOffset < imageLen) {
            std::vector<uint8_t> ram(imageLen - fwOffset);
            VEK_FUZZ_CHECK(VekSimReadControllerRam(board, fwOffset, ram.data(), static_cast<uint32_t>(ram.size())) ==
                           0);
            for (uint32_t a = fwOffset; a < imageLen; ++a) {
                if (a == 0xE600) continue;  // the CPU control byte, rewritten by the run request
                VEK_FUZZ_CHECK(ram[a - fwOffset] == image[a]);
            }
        }
    }
    VEK_FUZZ_CHECK(VekDevFree(handle) == DEV_OK);
    return 0;
}
