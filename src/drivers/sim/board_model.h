// The virtual VEK board behind any front: its USB device (descriptors,
// standard and vendor control requests, endpoint halt state), its controller
// (64 KiB RAM, CPU hold bit) and the VEK logic (registers, sparse board
// memory, frame transfers), plus fault plans and request counts. A front (the
// in-process backend of sim_driver.cpp and sim_requests.cpp, or an emulated usbfs device) turns its
// requests into the calls below and completes them itself.
//
// Thread safety: every member function may be called from any thread; the
// model locks its own mutex and never calls out while holding it. The IN
// listener is called after the lock is released, on the thread whose call
// made IN data available.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "drivers/backend.h"
#include "drivers/sim/descriptor_builder.h"
#include "protocol/name_table.h"
#include "protocol/registers.h"

namespace vek::sim {

enum class Fault : int { None = 0, Stall = 1, FailAtIssue = 2, StayPending = 3, Short = 4, Detach = 5 };

// The fault kinds by number, with their names and one line each: the list
// vek_sim.h hands out (VekSimFaultAt), checked there against its enum.
inline constexpr VekNameEntry kFaultKinds[] = {
    {static_cast<uint32_t>(Fault::None), "none", "no fault: the request runs as usual", 0},
    {static_cast<uint32_t>(Fault::Stall), "stall", "completes at once as a stall; a data pipe stays halted until reset",
     0},
    {static_cast<uint32_t>(Fault::FailAtIssue), "fail-at-issue", "refused when issued; the board sees nothing", 0},
    {static_cast<uint32_t>(Fault::StayPending), "stay-pending", "stays pending until its pipe is aborted", 0},
    {static_cast<uint32_t>(Fault::Short), "short", "moves half the bytes and succeeds", 0},
    {static_cast<uint32_t>(Fault::Detach), "detach", "the board is unplugged: this and every later request fails", 0},
};
static_assert(WellOrdered(kFaultKinds));

// What the driver reports about the device besides its descriptors.
struct BoardIdentity {
    std::string deviceName;
    std::string friendlyName;
    uint32_t speed = 0;  // 2 high speed, 4 SuperSpeed; 0: 4 when bcdUSB >= 0x0300, else 2
    uint8_t altSetting = 0;
    uint8_t busAddress = 1;
    uint32_t driverVersion = 0x01000300;
    uint32_t stackVersion = 0x00000600;
    uint32_t boardType = 0;  // register 0x02
};

struct BoardSetup {
    DescriptorSet descriptors;
    BoardIdentity identity;
};

using drivers::EndpointInfo;

struct ControlSetup {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

enum class Status { Ok, Stall, WouldBlock };
struct Result {
    Status status = Status::Ok;
    uint32_t bytes = 0;
};

// Counting key of the driver queries (versions, names, speed, ...), which
// have no pipe; only VEK_SIM_ANY_ENDPOINT faults match them.
inline constexpr uint32_t kQueryPipe = 0x100;
inline constexpr uint32_t kAnyPipe = 0xFFFFFFFFu;

inline constexpr uint8_t kEpFrameOut = 0x02;
inline constexpr uint8_t kEpRegisterOut = 0x04;
inline constexpr uint8_t kEpReplyIn = 0x86;
inline constexpr uint32_t kRegisterPacketBytes = 8;  // address word, then value word

inline constexpr uint32_t kControllerRamSize = 0x10000;
inline constexpr uint16_t kCpuControl = 0xE600;

class BoardModel {
public:
    BoardModel(int id, BoardSetup setup);

    int Id() const { return id_; }
    const BoardSetup &Setup() const { return setup_; }

    // Endpoints found in any configuration's descriptors (the walk stops at a
    // malformed descriptor). Address 0 is the control pipe.
    std::optional<EndpointInfo> FindEndpoint(uint8_t address) const;

    // One control transfer. `data` holds `length` bytes (the data stage: for
    // device-to-host requests it is filled). Returns the bytes moved, or Stall.
    Result Control(const ControlSetup &setup, uint8_t *data, uint32_t length);
    // OUT data on a data pipe; always accepted.
    Result Out(uint8_t endpoint, const uint8_t *data, uint32_t length);
    // IN data from a data pipe: Ok with the bytes, or WouldBlock when nothing
    // is there (never for isochronous pipes, which return 0 bytes).
    Result In(uint8_t endpoint, uint8_t *data, uint32_t length, bool isochronous);

    bool Halted(uint8_t endpoint) const;
    void SetHalted(uint8_t endpoint, bool halted);

    // Counts one request on `pipe` and returns the fault planned for it.
    Fault CountRequest(uint32_t pipe);
    void InjectFault(uint32_t pipe, uint32_t nth, Fault kind);
    void ClearFaults();
    uint64_t RequestCount(uint32_t pipe) const;

    using InListener = std::function<void(uint8_t endpoint)>;
    void SetInListener(InListener listener);

    // Test side (no trace entries).
    uint32_t GetRegister(uint32_t address) const;
    void SetRegister(uint32_t address, uint32_t value);
    void ReadMemory(uint32_t address, void *out, uint32_t length) const;
    void WriteMemory(uint32_t address, const void *data, uint32_t length);
    bool ReadControllerRam(uint32_t address, void *out, uint32_t length) const;
    bool WriteControllerRam(uint32_t address, const void *data, uint32_t length);
    bool ControllerHeld() const;
    void QueueIn(uint8_t endpoint, const uint8_t *data, uint32_t length);
    uint32_t TakeOut(uint8_t endpoint, uint8_t *out, uint32_t length);

private:
    enum class Frame { Idle, Armed, Loading, Reading };
    static constexpr uint32_t kPageBits = 16;
    static constexpr uint32_t kPageSize = 1u << kPageBits;
    static constexpr size_t kOutKeep = 1u << 20;

    struct PlannedFault {
        uint32_t pipe;
        uint32_t countdown;
        Fault kind;
    };

    void MemoryWriteLocked(uint32_t address, const uint8_t *data, uint32_t length);
    void MemoryReadLocked(uint32_t address, uint8_t *out, uint32_t length) const;
    bool RegisterPacketLocked(const uint8_t *packet);  // true: a reply or readback became available
    Result StandardRequestLocked(const ControlSetup &setup, uint8_t *data, uint32_t length);
    void Notify(uint8_t endpoint);

    const int id_;
    const BoardSetup setup_;
    std::map<uint8_t, EndpointInfo> endpoints_;

    mutable std::mutex mutex_;
    std::unordered_map<uint32_t, uint32_t> registers_;
    std::unordered_map<uint32_t, std::unique_ptr<uint8_t[]>> pages_;
    std::vector<uint8_t> ram_;
    Frame frame_ = Frame::Idle;
    uint32_t cursor_ = 0;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> inQueues_;
    // The storage of the last chunk read, for the next register reply: a
    // register read allocates nothing.
    std::vector<uint8_t> spareChunk_;
    std::map<uint8_t, std::deque<uint8_t>> outKept_;
    std::map<uint8_t, bool> halted_;
    std::vector<PlannedFault> faults_;
    std::map<uint32_t, uint64_t> counts_;
    uint64_t totalCount_ = 0;
    uint8_t configuration_ = 1;
    InListener listener_;
};

}  // namespace vek::sim
