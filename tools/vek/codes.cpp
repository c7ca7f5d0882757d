#include "codes.hpp"

#include <cstdio>
#include <iterator>

#include "vek_dll.h"

namespace vektool {
namespace {

const CodeInfo kCodes[] = {
    {DEV_OK, "DEV_OK", "success", ""},
    {DEV_ERR_NO_DEVICE, "DEV_ERR_NO_DEVICE",
     "no board at that index, or the board could not be opened",
     "check the cable and the power, run 'vek list' to see the attached boards, "
     "or add --sim to use a virtual board"},
    {DEV_ERR_NULL_ARGUMENT, "DEV_ERR_NULL_ARGUMENT",
     "a handle, parameter record or data buffer passed to the library was null",
     "this is a fault in the calling program; report it with the command you ran"},
    {DEV_ERR_BUSY, "DEV_ERR_BUSY",
     "the board's handle stayed busy for more than a second",
     "make sure no other thread or program drives the same board at the same time, then retry"},
    {DEV_ERR_UNSUPPORTED, "DEV_ERR_UNSUPPORTED",
     "the command or inquiry number is not one the library supports",
     "see 'vek control --help' and 'vek inquire --help' for the supported numbers"},
    {DEV_ERR_TRANSFER, "DEV_ERR_TRANSFER",
     "a register read or write failed on the USB wire",
     "check the USB cable and hub, unplug and replug the board, then retry"},
    {DEV_ERR_NO_MEMORY, "DEV_ERR_NO_MEMORY", "the host ran out of memory",
     "close other programs and retry"},
    {DEV_ERR_TIMING, "DEV_ERR_TIMING",
     "the frequency is outside 1 to 1073741824 Hz, or a margin/interval register did not read back",
     "use a frequency in range; if it was in range the board did not keep the value: check the connection"},
    {DEV_ERR_FRAME_MODE, "DEV_ERR_FRAME_MODE",
     "the board's frame layout is not known (its board type is not a 1920x1080 or 1024x768 board)",
     "run 'vek info' to see the board type the board reports"},
    {DEV_ERR_GRAY_DEPTH, "DEV_ERR_GRAY_DEPTH",
     "the gray depth is outside 1 to 16 bit planes, or the board did not take it",
     "use a gray depth between 1 and 16 (vek init --gray-bits N, vek control gray-depth N)"},
    {DEV_ERR_VERIFY, "DEV_ERR_VERIFY",
     "a register did not read back the value that was written",
     "check that the value suits that register, and the connection, then retry"},
    {DEV_ERR_I2C_NOT_READY, "DEV_ERR_I2C_NOT_READY",
     "the board's I2C bus was not ready (status bit 0 clear)",
     "wait a moment and retry; check that the I2C device is powered"},
    {DEV_ERR_I2C_NOT_DONE, "DEV_ERR_I2C_NOT_DONE",
     "the I2C access did not complete (status bit 1 clear)",
     "check the value sent and the I2C device, then retry"},
    {DEV_ERR_FAILED, "DEV_ERR_FAILED",
     "the operation failed: the requested timing cannot be met, or the control register did not read back",
     "for timing: use a longer frame period, fewer planes or an aux time of 0 or at least 3 x (load time + 13) us"},
    {VEK_TRANSPORT_FAILED, "VEK_TRANSPORT_FAILED",
     "a raw register or data transfer failed on the USB wire",
     "check the USB cable and hub, unplug and replug the board, then retry"},
};

const CodeInfo kUnknown = {0, "UNKNOWN", "a result code the library does not document",
                           "report it with the command you ran"};

}  // namespace

const CodeInfo &describeCode(uint32_t code) {
    for (const auto &c : kCodes)
        if (c.code == code) return c;
    return kUnknown;
}

const CodeInfo *allCodes(std::size_t *count) {
    *count = std::size(kCodes);
    return kCodes;
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

}  // namespace vektool
