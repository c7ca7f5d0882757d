// The one header a driver backend includes: the table it fills, the typed
// requests the shared decoder (request.cpp) hands it, how it ends them, how
// it registers its devices, and the few services of the layers below it
// needs (the clock, the log, the driver interface's constants).
//
// The decoder turns a DeviceIoControl on a registered device (a request code
// and its buffers) into a typed request, hands it to the backend's table of
// typed operations, and writes every completion back in the one form callers
// read: the two status words in the request block, the packet records, the
// returned byte count and the request's error. A backend never parses a
// request block or writes status words. A new backend is one folder under
// src/drivers/ that fills one `BackendOps` (and, when it finds its devices
// itself, is listed in backends.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/device_registry.h"
#include "platform/log.h"
#include "platform/win32.h"
#include "usb/driver_interface.h"

namespace vek::drivers {

// What a backend keeps of one endpoint descriptor.
struct EndpointInfo {
    uint8_t address = 0;         // bit 7 set = IN
    uint8_t attributes = 0;      // bmAttributes; bits 0-1: 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint32_t maxPacketSize = 0;  // per (micro)frame, extra transactions included
    uint8_t TransferType() const { return attributes & 3u; }
};

// How a request ended, as the USB stack would tell it. Each maps to one
// Win32 error and one pair of status words (request.cpp).
enum class UsbOutcome { Success, Stall, Cancelled, DeviceGone, Timeout, Overflow, Error };

// The caller's isochronous packet records: 8 bytes each, the bytes moved in
// the packet and its USB status word.
class PacketRecords {
public:
    PacketRecords() = default;
    PacketRecords(uint8_t *at, uint32_t count) : at_(at), count_(count) {}
    uint32_t Count() const { return count_; }
    void Set(uint32_t index, uint32_t bytes, UsbOutcome outcome) const;
    // Fills the packets in order with `bytes`, at most `packetSize` each (all
    // in the first when `packetSize` is 0).
    void Spread(uint32_t bytes, uint32_t packetSize, UsbOutcome outcome) const;

private:
    uint8_t *at_ = nullptr;
    uint32_t count_ = 0;
};

// A control request on the default pipe or a data request on a pipe. Its
// buffers are the caller's and stay valid until the request is completed.
struct Transfer {
    bool control = false;  // control request (endpoint 0, `setup` holds the packet)
    uint8_t endpoint = 0;  // bit 7 set = IN
    struct Setup {
        uint8_t bmRequestType, bRequest;
        uint16_t wValue, wIndex, wLength;
    } setup{};
    uint32_t timeoutMs = 0;  // the block's time limit; 0 = none
    uint8_t *data = nullptr;
    uint32_t length = 0;
    PacketRecords packets;  // isochronous records, when the caller gave room for them
    // Where the completion goes (the decoder's business).
    OVERLAPPED *overlapped = nullptr;
    uint8_t *statusBlock = nullptr;
    uint32_t countBase = 0;  // added to the bytes moved in the returned count
};

enum class Query { DriverVersion, StackVersion, AltSetting, Address, Speed, DeviceName, FriendlyName };

// A driver query's answer; the decoder sets `size` to the form's size (4, 1
// or 256 bytes) before asking, a backend may shorten it.
struct QueryReply {
    uint8_t bytes[256] = {};
    uint32_t size = 0;
    void Number(uint32_t value);
    void Text(std::string_view text);
};

// A typed operation's answer: done (a transfer then says how it ended and how
// many bytes moved), pending (ended later by Complete), or refused with a
// Win32 error before anything happened.
struct Answer {
    enum Kind { Done, Pending, Refused } kind = Refused;
    UsbOutcome outcome = UsbOutcome::Success;
    uint32_t bytes = 0;
    DWORD error = ERROR_GEN_FAILURE;
};
inline Answer Done(UsbOutcome outcome = UsbOutcome::Success, uint32_t bytes = 0) {
    return {Answer::Done, outcome, bytes, ERROR_SUCCESS};
}
inline Answer Pending() { return {Answer::Pending, UsbOutcome::Success, 0, ERROR_IO_PENDING}; }
inline Answer Refused(DWORD error) { return {Answer::Refused, UsbOutcome::Error, 0, error}; }

// The table a backend fills. `device` is the context given at registration,
// `open` the per-open context that `open` stores.
struct BackendOps {
    const char *name;
    DWORD (*open)(void *device, void **open);  // 0 or a Win32 error
    void (*close)(void *open);                 // ends the instance's pending requests first
    Answer (*query)(void *open, Query query, QueryReply &reply);
    Answer (*transfer)(void *open, const Transfer &transfer);
    Answer (*resetPipe)(void *open, uint8_t endpoint);
    Answer (*abortPipe)(void *open, uint8_t endpoint);                 // every pending request of the pipe ends
    Answer (*setAltSetting)(void *open, uint8_t alternate) = nullptr;  // may be null: not supported
    // Optional observer of every request as it arrives and as its call
    // returns (the virtual board's trace). `pipe` is the endpoint the request
    // names, or 0xFFFFFFFF.
    uint64_t (*arrived)(void *open, uint32_t code, uint32_t pipe, uint32_t inLength, uint32_t outLength) = nullptr;
    void (*returned)(void *open, uint64_t ticket, const platform::IoOutcome &outcome) = nullptr;
    // The devices live in this process and follow the virtual clock; false
    // for real hardware (see platform::RegisterDevice).
    bool followsVirtualClock = false;
    // Describes a registered device without opening it (platform::DriverOps::describe);
    // `backend` is filled from `name`. May be null.
    void (*describe)(void *device, platform::DeviceSummary &summary) = nullptr;
    // A backend that finds its devices itself: called before every listing of
    // `interfaceClass`, with no lock held; it brings its registrations up to
    // date (RegisterDevice, UnregisterDevice). May be null.
    void (*enumerate)(const GUID &interfaceClass) = nullptr;
    // A backend whose requests complete by polling: drives its completions for
    // at most `timeoutMs` while a caller waits. Called only while the backend
    // has said it has requests in flight (SetPumpActive). May be null.
    void (*pump)(DWORD timeoutMs) = nullptr;
};

// Installs a backend's enumeration hook (its devices are then found at every
// listing); installing twice does nothing. RemoveBackend undoes it and stops
// its pump.
void InstallBackend(const BackendOps &ops);
void RemoveBackend(const BackendOps &ops);
// Installs the backends built into the library that find their devices
// themselves (backends.cpp), once; the device calls run it before they list.
void InstallBuiltInBackends();
// Waits on requests run the backend's pump while it is active: a backend
// turns it on when its first request goes out and off when none is left, so
// that waits on other backends' requests never pass through it.
void SetPumpActive(const BackendOps &ops, bool active);

// The interface path a device of the driver's interface class is opened by:
// its ids, then `instance`, the backend's name for the one device (unique
// among its devices), then the class.
std::string InterfacePath(uint16_t vendorId, uint16_t productId, std::string_view instance);

// A transfer's ending, made by Conclude and handed to the caller by Deliver;
// kept apart so that a backend can conclude under its lock and deliver after.
struct Ending {
    OVERLAPPED *overlapped;
    DWORD error;
    DWORD bytes;
};

// Writes the status words of `outcome` into the transfer's block and gives
// the error and returned count of its completion.
Ending Conclude(const Transfer &transfer, UsbOutcome outcome, uint32_t bytesMoved);
// Ends the pending request (any thread).
void Deliver(const Ending &ending);
inline void Complete(const Transfer &transfer, UsbOutcome outcome, uint32_t bytesMoved) {
    Deliver(Conclude(transfer, outcome, bytesMoved));
}
// The Win32 error a transfer ending with `outcome` reports.
DWORD ErrorOf(UsbOutcome outcome);

// Registers a device of the driver's interface class served by `ops` with
// the device registry; the id is the registry's. `device` is passed to
// ops->open.
uint64_t RegisterDevice(const char *interfacePath, const BackendOps *ops, void *device);
void UnregisterDevice(uint64_t id);

}  // namespace vek::drivers
