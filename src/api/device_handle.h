// The DeviceHandle record, its gate, and the process-wide values that the
// device calls share.
#pragma once

#include <atomic>
#include <string>
#include <cstdint>
#include <thread>

#include "platform/device_registry.h"
#include "platform/win32.h"
#include "transport/transport.h"
#include "vek_dll.h"

// The record behind the opaque DeviceHandle of vek_dll.h. The first seven
// fields are the handle's documented fields, in their order; the gate's owner
// bookkeeping follows.
struct DeviceHandle {
    uint32_t frameMode;            // learnt by inquiry 5; kFrameModeUnknown until then
    CCyDevice *device;             // owned
    vek::DeviceNameList nameList;  // owned
    HANDLE lockEvent;              // the gate (see vek::GateGuard)
    uint32_t lockTimeoutMs;        // 1000
    uint32_t loadedBytes;          // running count of frame bytes moved
    uint32_t grayBits;             // last depth set by command 15

    // Thread that holds the gate, and how many times it has entered it.
    std::atomic<std::thread::id> gateOwner;
    uint32_t gateDepth;

    // The board last opened on the handle, as the device list described it:
    // where it is (VekDevReopen finds it there again) and whether it follows
    // the virtual clock (its pauses do so even while no board is open).
    std::string portPath;
    std::string serial;
    bool followsVirtualClock;
};

namespace vek {

// frameMode values. The frame transfers accept 0, 0x10000000 and 0x30000000.
inline constexpr uint32_t kFrameMode1080p = 0x00000000u;
inline constexpr uint32_t kFrameModeXga = 0x10000000u;
inline constexpr uint32_t kFrameModeAlt = 0x30000000u;
// frameMode from allocation until inquiry 5 has run: not a layout the frame
// transfers accept, so they answer DEV_ERR_FRAME_MODE until the board type is known.
inline constexpr uint32_t kFrameModeUnknown = 0xFFFFFFFFu;
inline constexpr uint32_t kGateTimeoutMs = 1000;

// Process-wide values shared by all handles, unguarded (see docs/decisions.md,
// "Process-wide state and threads"): the first 30 bytes of the manufacturer
// text of the last device opened, and the board type of the last inquiry 5.
inline constexpr size_t kFirmwareVersionBytes = 30;
extern uint8_t g_firmwareVersion[kFirmwareVersionBytes];
extern std::atomic<uint32_t> g_boardType;

// The gate: a per-handle lock built on the handle's event (auto-reset, created
// signalled). A thread enters by waiting on the event for at most
// lockTimeoutMs; entering again on the thread that holds it only counts up,
// so the frame transfers can run commands while they hold it. Leaving the
// outermost level signals the event.
bool EnterGate(DeviceHandle *handle);
void LeaveGate(DeviceHandle *handle);

// The clock for work on the handle's board: real time unless the board is a
// virtual one (platform::DeviceTimeScope).
class BoardTime : public platform::RealTimeScope {
public:
    explicit BoardTime(const DeviceHandle *handle);
};

// The gate, entered and left on the board's clock.
class GateGuard {
public:
    explicit GateGuard(DeviceHandle *handle) : time_(handle), handle_(handle), entered_(EnterGate(handle)) {}
    ~GateGuard() {
        if (entered_) LeaveGate(handle_);
    }
    GateGuard(const GateGuard &) = delete;
    GateGuard &operator=(const GateGuard &) = delete;
    bool entered() const { return entered_; }

private:
    BoardTime time_;
    DeviceHandle *handle_;
    bool entered_;
};

// The command dispatcher without the gate: the caller holds it.
uint32_t RunCommand(DeviceHandle *handle, uint32_t command, uint32_t *value);

}  // namespace vek
