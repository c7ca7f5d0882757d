// What the libusb backend's files share: the board record, the pending
// transfers and the one libusb session. libusb_enumeration.cpp finds boards
// and keeps the registry in order; libusb_open.cpp opens and closes them;
// libusb_transfers.cpp runs their transfers; libusb_requests.cpp is the
// backend's table of typed operations.
//
// One libusb session serves the process. A board is a libusb_device that the
// recognition rules of board_ids.h accept; it is registered in the driver
// registry with a `Board` record as its context. All open instances of one
// board share one libusb handle (opened and its interfaces claimed at the
// first open, released at the last close). Every data and control request is
// an asynchronous libusb transfer recorded in `g_pending` until its callback
// has run; the callback ends the request through the decoder. Callbacks run
// inside libusb's event handling, which the platform's waits drive through
// the event pump.
#pragma once

#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/backend.h"

namespace vek::usbdrv {

struct Board;

struct Instance {
    Board *board;
};

struct Transfer {
    libusb_transfer *xfer = nullptr;
    Board *board = nullptr;
    Instance *owner = nullptr;         // the open instance whose request it is (its close ends it)
    drivers::Transfer request;         // the caller's request, completed through the decoder
    uint8_t *replyTo = nullptr;        // control IN: where the reply is copied
    std::vector<uint8_t> setupBuffer;  // control transfers: setup packet + data stage
};

struct Board {
    libusb_device *device = nullptr;  // one reference held while registered
    uint64_t registryId = 0;
    std::string path;
    uint8_t bus = 0;
    uint8_t address = 0;
    std::vector<uint8_t> ports;  // port numbers from the root hub down
    std::string portPath;        // "1-2.3", as sysfs names the device
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serial;               // sysfs "serial"; empty when the device has none
    bool waitingForFirmware = false;  // a controller on the loader list
    bool gone = false;

    // Shared open state.
    libusb_device_handle *handle = nullptr;
    int openCount = 0;
    std::vector<int> claimed;
    std::string deviceName;
    std::string friendlyName;
    uint8_t altSetting = 0;
    struct Pipe {
        uint8_t address;
        uint8_t type;  // LIBUSB_TRANSFER_TYPE_*
        int isoPacketSize;
    };
    std::vector<Pipe> pipes;
};

extern std::mutex g_mutex;  // guards the session, the boards and g_pending
extern libusb_context *g_context;
extern std::vector<Transfer *> g_pending;  // submitted, callback not yet run

extern const drivers::BackendOps kLibusbOps;

// Drives libusb's event handling for at most `timeoutMs` (the event pump).
void PumpEvents(DWORD timeoutMs);
// Brings the registry up to date with the attached boards (the enumeration hook).
void EnumerationHook(const GUID &interfaceClass);

// Opens an instance of a board (its first open claims the interfaces) and closes one.
DWORD OpsOpen(void *device, void **openContext);
void OpsClose(void *openContext);
// The pipes of the claimed interfaces at their current alternate settings (g_mutex held).
void MapPipes(Board *board);

// The board's shared handle, or null once the board is gone.
libusb_device_handle *HandleOf(Board *board);
// Submits a control request (endpoint 0) or a data request on one of the board's pipes.
drivers::Answer ControlRequest(Instance *instance, const drivers::Transfer &request);
drivers::Answer DataRequest(Instance *instance, const drivers::Transfer &request);
// Cancels the board's pending transfers that `match` picks and handles events
// until they have ended, or gives the board up when that takes too long.
void CancelAndWait(Board *board, const std::function<bool(const Transfer &)> &match);

// How a libusb error reads as a Win32 error, and as a typed operation's answer.
DWORD Win32ErrorOf(int libusbError);
drivers::Answer AnswerOf(int libusbError);

// How long an abort or a close waits for cancelled transfers before it gives
// the board up (closes its handle, which ends its transfers in the kernel,
// and fails their requests).
void SetCancelWaitLimit(std::chrono::milliseconds limit);

}  // namespace vek::usbdrv
