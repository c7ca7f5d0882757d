// The libusb backend's table of typed operations: the driver queries,
// transfers, pipe resets and aborts, the alternate setting, and what
// enumeration learnt of a board (see libusb_board.h for what the backend's
// files share).

#include <mutex>

#include "drivers/libusb/libusb_board.h"

namespace vek::usbdrv {
namespace {

using drivers::Answer;
using drivers::Refused;

// Version word reported as the driver's: this backend's version 1.0.
constexpr uint32_t kBackendVersion = 0x00010000u;

Instance *InstanceOf(void *openContext) { return static_cast<Instance *>(openContext); }

Answer OpsTransfer(void *openContext, const drivers::Transfer &request) {
    return request.control ? ControlRequest(InstanceOf(openContext), request)
                           : DataRequest(InstanceOf(openContext), request);
}

Answer OpsQuery(void *openContext, drivers::Query query, drivers::QueryReply &reply) {
    Board *board = InstanceOf(openContext)->board;
    switch (query) {
    case drivers::Query::DriverVersion:
        reply.Number(kBackendVersion);
        break;
    case drivers::Query::StackVersion: {
        const libusb_version *lv = libusb_get_version();
        reply.Number((uint32_t{lv->major} << 24) | (uint32_t{lv->minor} << 16) | lv->micro);
        break;
    }
    case drivers::Query::AltSetting: {
        std::lock_guard lock(g_mutex);
        reply.Number(board->altSetting);
        break;
    }
    case drivers::Query::Address:
        reply.Number(board->address);
        break;
    case drivers::Query::Speed:
        switch (libusb_get_device_speed(board->device)) {
        case LIBUSB_SPEED_HIGH:
            reply.Number(kSpeedHigh);
            break;
        case LIBUSB_SPEED_SUPER:
        case LIBUSB_SPEED_SUPER_PLUS:
            reply.Number(kSpeedSuper);
            break;
        case LIBUSB_SPEED_LOW:
            reply.Number(0);
            break;
        default:
            reply.Number(1);
            break;
        }
        break;
    case drivers::Query::DeviceName: {
        std::lock_guard lock(g_mutex);
        reply.Text(board->deviceName);
        break;
    }
    case drivers::Query::FriendlyName: {
        std::lock_guard lock(g_mutex);
        reply.Text(board->friendlyName);
        break;
    }
    }
    return drivers::Done();
}

Answer OpsSetAltSetting(void *openContext, uint8_t alternate) {
    Board *board = InstanceOf(openContext)->board;
    libusb_device_handle *handle = HandleOf(board);
    if (handle == nullptr) return Refused(ERROR_DEVICE_NOT_CONNECTED);
    const int r = libusb_set_interface_alt_setting(handle, 0, alternate);
    if (r != LIBUSB_SUCCESS) return AnswerOf(r);
    std::lock_guard lock(g_mutex);
    board->altSetting = alternate;
    MapPipes(board);
    return drivers::Done();
}

Answer OpsResetPipe(void *openContext, uint8_t endpoint) {
    Board *board = InstanceOf(openContext)->board;
    libusb_device_handle *handle = HandleOf(board);
    if (handle == nullptr) return Refused(ERROR_DEVICE_NOT_CONNECTED);
    const int r = libusb_clear_halt(handle, endpoint);
    if (r == LIBUSB_ERROR_NO_DEVICE) {
        std::lock_guard lock(g_mutex);
        board->gone = true;
    }
    return AnswerOf(r);
}

Answer OpsAbortPipe(void *openContext, uint8_t endpoint) {
    CancelAndWait(InstanceOf(openContext)->board, [&](const Transfer &t) { return t.request.endpoint == endpoint; });
    return drivers::Done();
}

// What enumeration learnt, which never changes while the board is registered.
void OpsDescribe(void *device, platform::DeviceSummary &summary) {
    const auto *board = static_cast<const Board *>(device);
    summary.vendorId = board->vendorId;
    summary.productId = board->productId;
    summary.bus = board->bus;
    summary.portPath = board->portPath;
    summary.serial = board->serial;
}

}  // namespace

const drivers::BackendOps kLibusbOps = {"libusb",
                                        OpsOpen,
                                        OpsClose,
                                        OpsQuery,
                                        OpsTransfer,
                                        OpsResetPipe,
                                        OpsAbortPipe,
                                        OpsSetAltSetting,
                                        nullptr,
                                        nullptr,
                                        /*followsVirtualClock=*/false,
                                        OpsDescribe,
                                        EnumerationHook,
                                        PumpEvents};

}  // namespace vek::usbdrv
