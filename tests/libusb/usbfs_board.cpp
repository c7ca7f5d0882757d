#include "usbfs_board.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "drivers/sim/descriptor_builder.h"

namespace vek::sim {

std::shared_ptr<BoardModel> MakeVekBoardModel(uint32_t boardType, uint16_t productId, const char *serial) {
    static int nextId = 1000;
    BoardSetup setup;
    setup.descriptors = VekBoardDescriptors(kDefaultManufacturer, kDefaultProduct, serial);
    setup.descriptors.device[10] = static_cast<uint8_t>(productId);
    setup.descriptors.device[11] = static_cast<uint8_t>(productId >> 8);
    setup.identity.deviceName = kDefaultProduct;
    setup.identity.boardType = boardType;
    auto model = std::make_shared<BoardModel>(nextId++, std::move(setup));
    model->SetRegister(kRegBoardType, boardType);
    return model;
}

namespace {

std::string Hex(const std::vector<uint8_t> &bytes) {
    std::string s;
    char b[3];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        s += b;
    }
    return s;
}

uint16_t Le16(const std::vector<uint8_t> &b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

template <typename T>
T ReadField(const UMockdevIoctlData *data, size_t offset) {
    T value{};
    std::memcpy(&value, data->data + offset, sizeof value);
    return value;
}

template <typename T>
void WriteField(UMockdevIoctlData *data, size_t offset, T value) {
    std::memcpy(data->data + offset, &value, sizeof value);
}

// Resolves the structure an ioctl's argument points to (owned reference).
UMockdevIoctlData *ResolveArg(UMockdevIoctlClient *client, size_t length) {
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, length, nullptr);
}

// A string descriptor as ASCII (the sysfs attributes).
std::string StringAt(const DescriptorSet &d, uint8_t index) {
    std::string text;
    if (auto it = d.strings.find(index); it != d.strings.end())
        for (size_t i = 2; i + 1 < it->second.size(); i += 2) text += static_cast<char>(it->second[i]);
    return text;
}

void Complete(UMockdevIoctlClient *client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

}  // namespace

// ---------------------------------------------------------------------------
// EmulatedBus

EmulatedBus::EmulatedBus() {
    testbed_ = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
}

EmulatedBus::~EmulatedBus() { g_object_unref(testbed_); }

bool EmulatedBus::Available() {
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr;
}

// ---------------------------------------------------------------------------
// UsbfsBoard

UsbfsBoard::UsbfsBoard(EmulatedBus &bus, std::shared_ptr<BoardModel> model, int busNumber, int port)
    : bus_(bus), model_(std::move(model)), busnum_(busNumber), port_(port), devnum_(bus.NextDeviceNumber()) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsBoard::OnIoctl), this);
    AddToTestbed();
}

UsbfsBoard::~UsbfsBoard() {
    if (listed_) RemoveFromTestbed();
    if (!attachedNode_.empty()) umockdev_testbed_detach_ioctl(bus_.Testbed(), attachedNode_.c_str(), nullptr);
    std::lock_guard lock(mutex_);
    for (auto &u : pending_) ReleaseUrb(*u);
    for (auto &u : reapable_) ReleaseUrb(*u);
    pending_.clear();
    reapable_.clear();
    HangUpLocked();
    g_object_unref(handler_);
}

std::string UsbfsBoard::DevNode() const {
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", busnum_, devnum_);
    return node;
}

void UsbfsBoard::AddToTestbed() {
    const DescriptorSet &d = model_->Setup().descriptors;
    std::vector<uint8_t> descriptors = d.device;
    for (const auto &c : d.configurations) descriptors.insert(descriptors.end(), c.begin(), c.end());
    char name[32];
    std::snprintf(name, sizeof name, "%d-%d", busnum_, port_);
    std::string devpath = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(busnum_) + "/" + name;
    syspath_ = "/sys" + devpath;
    const std::string product = StringAt(d, d.device[15]);
    char record[4096];
    std::snprintf(record, sizeof record,
                  "P: %s\n"
                  "N: bus/usb/%03d/%03d\n"
                  "E: DEVNAME=/dev/bus/usb/%03d/%03d\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: BUSNUM=%03d\n"
                  "E: DEVNUM=%03d\n"
                  "A: busnum=%d\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=480\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: idVendor=%04x\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "A: product=%s\\n\n"
                  "A: serial=%s\\n\n"
                  "H: descriptors=%s\n",
                  devpath.c_str(), busnum_, devnum_, busnum_, devnum_, busnum_, devnum_, busnum_, devnum_,
                  Le16(d.device, 8), Le16(d.device, 10), product.c_str(), StringAt(d, d.device[16]).c_str(),
                  Hex(descriptors).c_str());
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(bus_.Testbed(), record, &error)) {
        std::string message = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("umockdev: cannot add the board: " + message);
    }
    MakeNodePty();
    attachedNode_ = DevNode();
    if (!umockdev_testbed_attach_ioctl(bus_.Testbed(), attachedNode_.c_str(), handler_, &error)) {
        std::string message = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("umockdev: cannot attach the usbfs handler: " + message);
    }
    umockdev_testbed_uevent(bus_.Testbed(), syspath_.c_str(), "add");
}

// The node is a pty's slave side: its readiness is switched with the tty's
// output flow (stopped: no POLLOUT), and closing the master hangs it up,
// which makes libusb's poll report POLLERR, as a removed usbfs device does.
void UsbfsBoard::MakeNodePty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("cannot open a pty for the device node");
    const std::string slave = ptsname(master_);
    flow_ = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const std::string path = bus_.RootDir() + DevNode();
    unlink(path.c_str());
    if (flow_ < 0 || symlink(slave.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot make the device node " + path);
    std::lock_guard lock(mutex_);
    UpdateReadinessLocked();
}

void UsbfsBoard::RemoveFromTestbed() {
    listed_ = false;
    umockdev_testbed_uevent(bus_.Testbed(), syspath_.c_str(), "remove");
    umockdev_testbed_remove_device(bus_.Testbed(), syspath_.c_str());
}

void UsbfsBoard::Unplug(bool tellUdev) {
    {
        std::lock_guard lock(mutex_);
        if (!gone_) PullLocked();
    }
    if (tellUdev && listed_) RemoveFromTestbed();
}

// As the kernel does when the device goes: its URBs end (reapable, "shut
// down"), every other request fails with ENODEV, and the node hangs up.
void UsbfsBoard::PullLocked() {
    gone_ = true;
    while (!pending_.empty()) {
        auto urb = std::move(pending_.front());
        pending_.pop_front();
        FinishLocked(urb, -ESHUTDOWN);
    }
    HangUpLocked();
}

void UsbfsBoard::HangUpLocked() {
    if (master_ >= 0) close(std::exchange(master_, -1));
    if (flow_ >= 0) close(std::exchange(flow_, -1));
}

void UsbfsBoard::BindKernelDriver(const char *name) {
    std::lock_guard lock(mutex_);
    driverName_ = name;
    driverBound_ = true;
}

// While a URB waits to be reaped (or to be served) the node is writable.
void UsbfsBoard::UpdateReadinessLocked() {
    const bool ready = !reapable_.empty() || work_;
    if (flow_ < 0 || ready == ready_) return;
    tcflow(flow_, ready ? TCOON : TCOOFF);
    ready_ = ready;
}

void UsbfsBoard::ReleaseUrb(Urb &urb) {
    if (urb.buffer) g_object_unref(urb.buffer);
    if (urb.urb) g_object_unref(urb.urb);
    urb.buffer = urb.urb = nullptr;
}

int UsbfsBoard::OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self) {
    return static_cast<UsbfsBoard *>(self)->HandleIoctl(client) ? TRUE : FALSE;
}

bool UsbfsBoard::HandleIoctl(UMockdevIoctlClient *client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    bool gone;
    {
        std::lock_guard lock(mutex_);
        gone = gone_;
    }
    switch (request) {
    case USBDEVFS_SUBMITURB:
        Submit(client);
        return true;
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB:
        Reap(client);
        return true;
    case USBDEVFS_DISCARDURB:
        Discard(client);
        return true;
    default:
        break;
    }
    if (gone) {
        Complete(client, -1, ENODEV);
        return true;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = ResolveArg(client, sizeof(uint32_t));
        WriteField<uint32_t>(caps, 0,
                             USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                 USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT);
        g_object_unref(caps);
        Complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData *arg = ResolveArg(client, sizeof(unsigned int));
        const unsigned int itf = ReadField<unsigned int>(arg, 0) & 31;
        g_object_unref(arg);
        std::lock_guard lock(mutex_);
        if (request == USBDEVFS_RELEASEINTERFACE) {
            claimed_ &= ~(1u << itf);
        } else if (driverBound_) {
            Complete(client, -1, EBUSY);
            return true;
        } else {
            claimed_ |= 1u << itf;
            ++claims_;
        }
        Complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_GETDRIVER: {
        UMockdevIoctlData *arg = ResolveArg(client, sizeof(usbdevfs_getdriver));
        std::lock_guard lock(mutex_);
        if (!driverBound_) {
            g_object_unref(arg);
            Complete(client, -1, ENODATA);
            return true;
        }
        std::memset(arg->data + offsetof(usbdevfs_getdriver, driver), 0, USBDEVFS_MAXDRIVERNAME + 1);
        std::memcpy(arg->data + offsetof(usbdevfs_getdriver, driver), driverName_.c_str(),
                    std::min<size_t>(driverName_.size(), USBDEVFS_MAXDRIVERNAME));
        g_object_unref(arg);
        Complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        UMockdevIoctlData *arg = ResolveArg(client, sizeof(usbdevfs_disconnect_claim));
        g_object_unref(arg);
        std::lock_guard lock(mutex_);
        driverBound_ = false;
        claimed_ |= 1u;
        ++claims_;
        Complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData *arg = ResolveArg(client, sizeof(usbdevfs_ioctl));
        int code = ReadField<int>(arg, offsetof(usbdevfs_ioctl, ioctl_code));
        g_object_unref(arg);
        std::lock_guard lock(mutex_);
        if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (!driverBound_) {
                Complete(client, -1, ENODATA);
                return true;
            }
            driverBound_ = false;
        } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
            if (!driverName_.empty()) driverBound_ = true;
        }
        Complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP: {
        UMockdevIoctlData *arg = ResolveArg(client, sizeof(unsigned int));
        unsigned int endpoint = ReadField<unsigned int>(arg, 0);
        g_object_unref(arg);
        std::lock_guard lock(mutex_);
        if (int error = CheckEndpointLocked(static_cast<uint8_t>(endpoint)); error != 0) {
            Complete(client, -1, error);
            return true;
        }
        model_->SetHalted(static_cast<uint8_t>(endpoint), false);
        Complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
        Complete(client, 0, 0);
        return true;
    case USBDEVFS_GET_SPEED:
        Complete(client, 3 /* high speed */, 0);
        return true;
    default:
        Complete(client, -1, ENOTTY);
        return true;
    }
}

// As the kernel checks an endpoint named by a request: it must belong to an
// interface of the configuration (ENOENT), which the caller has claimed or
// may claim now (EBUSY while a kernel driver holds it).
int UsbfsBoard::CheckEndpointLocked(uint8_t endpoint) {
    const std::vector<uint8_t> &config = model_->Setup().descriptors.configurations.front();
    int itf = -1, owner = -1;
    for (size_t at = 0; at + 2 < config.size() && config[at] >= 2; at += config[at]) {
        if (config[at + 1] == 4) {
            itf = config[at + 2];
        } else if (config[at + 1] == 5 && config[at + 2] == endpoint) {
            owner = itf;
            break;
        }
    }
    if (owner < 0) return ENOENT;
    itf = owner;
    if ((claimed_ & (1u << itf)) != 0) return 0;
    if (driverBound_) return EBUSY;
    claimed_ |= 1u << itf;
    return 0;
}

void UsbfsBoard::Submit(UMockdevIoctlClient *client) {
    UMockdevIoctlData *urbData = ResolveArg(client, sizeof(usbdevfs_urb));
    if (urbData == nullptr) {
        Complete(client, -1, EFAULT);
        return;
    }
    const uint8_t type = ReadField<uint8_t>(urbData, offsetof(usbdevfs_urb, type));
    const int packets =
        type == USBDEVFS_URB_TYPE_ISO ? ReadField<int>(urbData, offsetof(usbdevfs_urb, number_of_packets)) : 0;
    if (packets > 0) {
        // Re-resolve with room for the packet descriptors.
        g_object_unref(urbData);
        urbData = ResolveArg(client, sizeof(usbdevfs_urb) + packets * sizeof(usbdevfs_iso_packet_desc));
    }
    auto urb = std::make_unique<Urb>();
    urb->urb = urbData;
    urb->clientAddress = urbData->client_addr;
    urb->type = type;
    urb->endpoint = ReadField<uint8_t>(urbData, offsetof(usbdevfs_urb, endpoint));
    const int length = ReadField<int>(urbData, offsetof(usbdevfs_urb, buffer_length));
    if (length > 0) urb->buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), length, nullptr);

    bool removeFromTestbed = false;
    {
        std::lock_guard lock(mutex_);
        SubmitLocked(client, std::move(urb), removeFromTestbed);
    }
    if (removeFromTestbed) RemoveFromTestbed();
}

void UsbfsBoard::SubmitLocked(UMockdevIoctlClient *client, std::unique_ptr<Urb> urb, bool &removeFromTestbed) {
    if (gone_) {
        ReleaseUrb(*urb);
        Complete(client, -1, ENODEV);
        return;
    }
    const uint32_t pipe = urb->type == USBDEVFS_URB_TYPE_CONTROL ? 0 : urb->endpoint;
    Fault fault = model_->CountRequest(pipe);
    if (fault == Fault::FailAtIssue) {
        ReleaseUrb(*urb);
        Complete(client, -1, EIO);
        return;
    }
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL) {
        if (int error = CheckEndpointLocked(urb->endpoint); error != 0) {
            ReleaseUrb(*urb);
            Complete(client, -1, error);
            return;
        }
    }
    Complete(client, 0, 0);
    pending_.push_back(std::move(urb));
    Urb &u = *pending_.back();
    switch (fault) {
    case Fault::StayPending:
        u.held = true;
        return;  // until discarded
    case Fault::Stall:
        u.forcedStatus = -EPIPE;
        // A control stall ends this request only; a data stall halts the pipe.
        if (u.type != USBDEVFS_URB_TYPE_CONTROL) model_->SetHalted(u.endpoint, true);
        break;
    case Fault::Detach:
        // The board leaves the bus while this request runs.
        PullLocked();
        removeFromTestbed = true;
        break;
    case Fault::Short:
        if (u.buffer != nullptr && u.type != USBDEVFS_URB_TYPE_CONTROL)
            u.lengthLimit = static_cast<uint32_t>(u.buffer->data_len) / 2;  // the device ends the transfer early
        break;
    default:
        break;
    }
    // Served later, when the caller next reaps: never inside SUBMITURB.
    work_ = true;
    UpdateReadinessLocked();
}

// Serves one URB from the model; an IN request with nothing to deliver stays
// pending.
void UsbfsBoard::ServeLocked(Urb &u) {
    uint8_t *buffer = u.buffer ? u.buffer->data : nullptr;
    const uint32_t length = u.buffer ? std::min(static_cast<uint32_t>(u.buffer->data_len), u.lengthLimit) : 0;
    const bool in = (u.endpoint & 0x80) != 0;
    int status = 0;
    int actual = 0;
    if (u.forcedStatus != 0) {
        status = u.forcedStatus;
    } else if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        if (length < 8) {
            status = -EINVAL;
        } else {
            ControlSetup setup{buffer[0], buffer[1], static_cast<uint16_t>(buffer[2] | buffer[3] << 8),
                               static_cast<uint16_t>(buffer[4] | buffer[5] << 8),
                               static_cast<uint16_t>(buffer[6] | buffer[7] << 8)};
            Result r = model_->Control(setup, buffer + 8, std::min<uint32_t>(setup.wLength, length - 8));
            status = r.status == Status::Stall ? -EPIPE : 0;
            actual = static_cast<int>(r.bytes);
        }
    } else if (model_->Halted(u.endpoint)) {
        status = -EPIPE;
    } else if (u.type == USBDEVFS_URB_TYPE_ISO) {
        const int packets = ReadField<int>(u.urb, offsetof(usbdevfs_urb, number_of_packets));
        uint32_t offset = 0;
        for (int i = 0; i < packets; ++i) {
            const size_t at = sizeof(usbdevfs_urb) + i * sizeof(usbdevfs_iso_packet_desc);
            uint32_t packetLength = ReadField<unsigned int>(u.urb, at + offsetof(usbdevfs_iso_packet_desc, length));
            packetLength = std::min(packetLength, length - std::min(length, offset));
            Result r = in ? model_->In(u.endpoint, buffer + offset, packetLength, true)
                          : model_->Out(u.endpoint, buffer + offset, packetLength);
            WriteField<unsigned int>(u.urb, at + offsetof(usbdevfs_iso_packet_desc, actual_length), r.bytes);
            WriteField<unsigned int>(u.urb, at + offsetof(usbdevfs_iso_packet_desc, status), 0);
            actual += static_cast<int>(r.bytes);
            offset += packetLength;
        }
    } else if (in) {
        Result r = model_->In(u.endpoint, buffer, length, false);
        if (r.status == Status::WouldBlock) return;
        status = r.status == Status::Stall ? -EPIPE : 0;
        actual = static_cast<int>(r.bytes);
    } else {
        Result r = model_->Out(u.endpoint, buffer, length);
        status = r.status == Status::Stall ? -EPIPE : 0;
        actual = static_cast<int>(r.bytes);
    }
    u.actual = actual;
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->get() == &u) {
            auto owned = std::move(*it);
            pending_.erase(it);
            FinishLocked(owned, status);
            return;
        }
    }
}

void UsbfsBoard::ServeAllLocked() {
    work_ = false;
    // Serving may complete URBs and so change the queue: walk a snapshot.
    std::vector<Urb *> waiting;
    for (auto &u : pending_)
        if (!u->held) waiting.push_back(u.get());
    for (Urb *u : waiting) ServeLocked(*u);
}

void UsbfsBoard::FinishLocked(std::unique_ptr<Urb> &urb, int status) {
    if (urb->abandoned) {
        ReleaseUrb(*urb);
        return;
    }
    urb->status = status;
    WriteField<int>(urb->urb, offsetof(usbdevfs_urb, status), status);
    WriteField<int>(urb->urb, offsetof(usbdevfs_urb, actual_length), urb->actual);
    reapable_.push_back(std::move(urb));
}

void UsbfsBoard::Reap(UMockdevIoctlClient *client) {
    std::lock_guard lock(mutex_);
    if (work_) ServeAllLocked();
    if (reapable_.empty()) {
        UpdateReadinessLocked();
        Complete(client, -1, gone_ ? ENODEV : EAGAIN);
        return;
    }
    std::unique_ptr<Urb> urb = std::move(reapable_.front());
    reapable_.pop_front();
    // The argument points at the caller's URB pointer, which gets the URB.
    UMockdevIoctlData *slot = ResolveArg(client, sizeof(void *));
    umockdev_ioctl_data_set_ptr(slot, 0, urb->urb);
    Complete(client, 0, 0);
    g_object_unref(slot);
    ReleaseUrb(*urb);
    UpdateReadinessLocked();
}

void UsbfsBoard::Discard(UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    uint64_t address = 0;
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, static_cast<size_t>(arg->data_len)));
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if ((*it)->clientAddress == address) {
            if (ignoreDiscards_) {
                (*it)->abandoned = true;
                break;
            }
            auto urb = std::move(*it);
            pending_.erase(it);
            FinishLocked(urb, -ENOENT);
            Complete(client, 0, 0);
            UpdateReadinessLocked();
            return;
        }
    }
    Complete(client, -1, EINVAL);
}

}  // namespace vek::sim
