// The emulated bus for the libusb backend's tests: the virtual board's model
// served as a usbfs device. A umockdev testbed holds its sysfs entry and /dev
// node, and an ioctl handler answers the usbfs requests that an unmodified
// libusb issues (claim and release, URB submit, reap and discard, clear halt,
// kernel-driver queries) by driving the same BoardModel that the in-process
// driver front uses. It is as strict as the kernel where the backend could go
// wrong: URBs are served after SUBMITURB has returned (at the next reap), an
// endpoint must exist and its interface be claimed (or claimable), and a
// removed device answers ENODEV while its ended URBs can still be reaped.
//
// The /dev node is a pty whose output flow is stopped while no URB is ready
// to be reaped, so libusb's poll for POLLOUT wakes exactly when one is; the
// pty hangs up when the board is pulled, so that poll reports POLLERR.
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

// The default VEK board model, as the virtual board attaches it; a device of
// other ids or strings (same endpoints) when they differ from the board's.
std::shared_ptr<BoardModel> MakeVekBoardModel(uint32_t boardType = 0, uint16_t productId = 0x7E40,
                                              const char *serial = "EMU0001", const char *product = kDefaultProduct,
                                              const char *manufacturer = kDefaultManufacturer);

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
    // requests fail with ENODEV, the node hangs up (POLLERR), and, unless
    // `tellUdev` is false (udev has not passed the news on yet), the device
    // leaves sysfs with a remove uevent.
    void Unplug(bool tellUdev = true);

    // A kernel driver bound to interface 0, as usbfs reports it; libusb
    // detaches it when claiming and reattaches it when releasing.
    void BindKernelDriver(const char *name);
    // Takes a sysfs attribute ("product") away, as a kernel that cannot read it leaves it.
    void HideSysfsAttribute(const char *name);
    bool KernelDriverBound() const { return driverBound_.load(); }
    int ClaimCount() const { return claims_.load(); }
    // A device that no longer answers: discards are refused and URBs it
    // holds never end (the backend has to give it up).
    void IgnoreDiscards() { ignoreDiscards_ = true; }

private:
    struct Urb {
        ~Urb();
        UMockdevIoctlData *urb = nullptr;     // the client's URB (owned reference)
        UMockdevIoctlData *buffer = nullptr;  // its data buffer (owned reference), may be null
        uint64_t clientAddress = 0;
        uint8_t type = 0;
        uint8_t endpoint = 0;
        int actual = 0;
        uint32_t lengthLimit = UINT32_MAX;  // a short transfer ends early
        int forcedStatus = 0;               // a stall decided at submission, ended when served
        bool held = false;                  // never served (a request that stays pending)
        bool abandoned = false;             // its discard was refused: nobody will reap it
    };

    static int OnIoctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *self);
    int Control(unsigned long request, UMockdevIoctlClient *client);
    int CheckEndpointLocked(uint8_t endpoint);
    void Submit(UMockdevIoctlClient *client);
    void Reap(UMockdevIoctlClient *client);
    void Discard(UMockdevIoctlClient *client);
    bool ServeLocked(Urb &urb, int &status);
    void ServeAllLocked();
    void FinishLocked(std::unique_ptr<Urb> urb, int status);
    void UpdateReadinessLocked();
    void AddToTestbed();
    void RemoveFromTestbed();
    void MakeNodePty();
    void PullLocked();
    void HangUpLocked();

    EmulatedBus &bus_;
    std::shared_ptr<BoardModel> model_;
    int busnum_;
    int port_;
    int devnum_;
    std::string syspath_;
    UMockdevIoctlBase *handler_ = nullptr;

    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<Urb>> pending_;   // submitted, not yet ended
    std::deque<std::unique_ptr<Urb>> reapable_;  // ended, waiting for a reap
    int master_ = -1;                            // the pty's master side: closed when the board is pulled
    int flow_ = -1;                              // its slave side, for switching the output flow
    bool ready_ = true;
    bool gone_ = false;
    std::atomic<bool> listed_{true};  // in sysfs
    bool work_ = false;               // URBs submitted since the last reap wait to be served
    bool ignoreDiscards_ = false;
    uint32_t claimed_ = 0;  // interface bit mask
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
