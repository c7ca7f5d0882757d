// The virtual board's model served as an emulated usbfs device: a umockdev
// testbed holds its sysfs entry and /dev node, and an ioctl handler answers
// the usbfs requests that an unmodified libusb issues (claim and release,
// URB submit, reap and discard, clear halt, kernel-driver queries) by driving
// the same BoardModel that the in-process driver front uses.
//
// The /dev node is a FIFO that the handler keeps full while no URB is ready
// to be reaped, so libusb's poll for POLLOUT wakes exactly when one is.
// Programs using this run under umockdev-wrapper.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/sim/board_model.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace vek::sim {

// The default VEK board model, as the virtual board attaches it.
std::shared_ptr<BoardModel> MakeVekBoardModel(uint32_t boardType = 0);

class EmulatedBus;

class UsbfsBoard {
public:
    UsbfsBoard(EmulatedBus &bus, std::shared_ptr<BoardModel> model, int busNumber, int port);
    ~UsbfsBoard();
    UsbfsBoard(const UsbfsBoard &) = delete;
    UsbfsBoard &operator=(const UsbfsBoard &) = delete;

    BoardModel &Model() { return *model_; }
    int DeviceNumber() const { return devnum_; }
    std::string DevNode() const;

    // Pulls the board: pending URBs end as a removed device's do, further
    // requests fail with ENODEV, and the device leaves sysfs (a remove uevent).
    void Unplug();

    // A kernel driver bound to interface 0, as usbfs reports it; libusb
    // detaches it when claiming and reattaches it when releasing.
    void BindKernelDriver(const char *name);
    bool KernelDriverBound() const { return driverBound_.load(); }
    int ClaimCount() const { return claims_.load(); }

private:
    struct Urb {
        UMockdevIoctlData *urb = nullptr;     // the client's URB (owned reference)
        UMockdevIoctlData *buffer = nullptr;  // its data buffer (owned reference), may be null
        uint64_t clientAddress = 0;
        uint8_t type = 0;
        uint8_t endpoint = 0;
        int status = 0;
        int actual = 0;
        uint32_t lengthLimit = UINT32_MAX;  // a short transfer ends early
        std::vector<uint8_t> data;  // IN data to deliver, or the control reply
        std::vector<std::pair<int, int>> isoResults;  // actual length, status per packet
        bool done = false;
    };

    static int OnIoctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *self);
    bool HandleIoctl(UMockdevIoctlClient *client);
    void Submit(UMockdevIoctlClient *client);
    void SubmitLocked(UMockdevIoctlClient *client, std::unique_ptr<Urb> urb, bool &removeFromTestbed);
    void Reap(UMockdevIoctlClient *client);
    void Discard(UMockdevIoctlClient *client);
    void ServeLocked(Urb &urb);
    void ServePendingInLocked();
    void FinishLocked(std::unique_ptr<Urb> &urb, int status);
    void UpdateReadinessLocked();
    void AddToTestbed();
    void RemoveFromTestbed();
    void MakeNodeFifo();
    static void ReleaseUrb(Urb &urb);

    EmulatedBus &bus_;
    std::shared_ptr<BoardModel> model_;
    int busnum_;
    int port_;
    int devnum_;
    std::string syspath_;
    UMockdevIoctlBase *handler_ = nullptr;
    std::string attachedNode_;

    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<Urb>> pending_;   // submitted, not yet ended
    std::deque<std::unique_ptr<Urb>> reapable_;  // ended, waiting for a reap
    int fifo_ = -1;
    bool fifoFull_ = false;
    bool gone_ = false;
    std::string driverName_;
    std::atomic<bool> driverBound_{false};
    std::atomic<int> claims_{0};
};

// One umockdev testbed for the process; boards are plugged into it.
class EmulatedBus {
public:
    EmulatedBus();
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus &) = delete;
    EmulatedBus &operator=(const EmulatedBus &) = delete;

    // False when the program does not run under umockdev-wrapper.
    static bool Available();
    UMockdevTestbed *Testbed() { return testbed_; }
    std::string RootDir() const { return root_; }
    int NextDeviceNumber() { return nextDevnum_++; }

private:
    UMockdevTestbed *testbed_ = nullptr;
    std::string root_;
    int nextDevnum_ = 2;
};

}  // namespace vek::sim
