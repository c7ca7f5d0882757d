#include "usbfs_board.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "drivers/sim/descriptor_builder.h"

namespace vek::sim {

std::shared_ptr<BoardModel> MakeVekBoardModel(uint32_t boardType, uint16_t productId, const char *serial,
                                              const char *product, const char *manufacturer) {
    static int nextId = 1000;
    BoardSetup setup;
    setup.descriptors = VekBoardDescriptors(manufacturer, product, serial);
    setup.descriptors.device[10] = static_cast<uint8_t>(productId);
    setup.descriptors.device[11] = static_cast<uint8_t>(productId >> 8);
    setup.identity.deviceName = product;
    setup.identity.boardType = boardType;
    auto model = std::make_shared<BoardModel>(nextId++, std::move(setup));
    model->SetRegister(reg::kBoardType, boardType);
    return model;
}

namespace {

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

template <typename T>
T ReadArg(UMockdevIoctlClient *client, size_t offset = 0, size_t length = sizeof(T)) {
    UMockdevIoctlData *arg = ResolveArg(client, length);
    const T value = ReadField<T>(arg, offset);
    g_object_unref(arg);
    return value;
}

void Complete(UMockdevIoctlClient *client, int error) { umockdev_ioctl_client_complete(client, error ? -1 : 0, error); }

// A string descriptor as ASCII (the sysfs attributes).
std::string StringAt(const DescriptorSet &d, uint8_t index) {
    std::string text;
    if (auto it = d.strings.find(index); it != d.strings.end())
        for (size_t i = 2; i + 1 < it->second.size(); i += 2) text += static_cast<char>(it->second[i]);
    return text;
}

void Check(bool ok, GError *error, const std::string &what) {
    if (ok) return;
    const std::string message = error ? error->message : "unknown";
    g_clear_error(&error);
    throw std::runtime_error("umockdev: cannot " + what + ": " + message);
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

UsbfsBoard::Urb::~Urb() {
    if (buffer) g_object_unref(buffer);
    if (urb) g_object_unref(urb);
}

UsbfsBoard::~UsbfsBoard() {
    if (listed_) RemoveFromTestbed();
    umockdev_testbed_detach_ioctl(bus_.Testbed(), DevNode().c_str(), nullptr);
    std::lock_guard lock(mutex_);
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
    std::string hex;
    for (uint8_t v : descriptors) hex += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
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
                  "A: busnum=%d\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=480\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: idVendor=%04x\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "A: product=%s\\n\n"
                  "A: serial=%s\\n\n"
                  "H: descriptors=%s\n",
                  devpath.c_str(), busnum_, devnum_, busnum_, devnum_, busnum_, devnum_, d.device[8] | d.device[9] << 8,
                  d.device[10] | d.device[11] << 8, product.c_str(), StringAt(d, d.device[16]).c_str(), hex.c_str());
    GError *error = nullptr;
    Check(umockdev_testbed_add_from_string(bus_.Testbed(), record, &error), error, "add the board");
    MakeNodePty();
    Check(umockdev_testbed_attach_ioctl(bus_.Testbed(), DevNode().c_str(), handler_, &error), error,
          "attach the usbfs handler");
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

void UsbfsBoard::HideSysfsAttribute(const char *name) { std::remove((bus_.RootDir() + syspath_ + "/" + name).c_str()); }

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
        FinishLocked(std::move(urb), -ESHUTDOWN);
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

int UsbfsBoard::OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self) {
    auto *board = static_cast<UsbfsBoard *>(self);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == USBDEVFS_SUBMITURB)
        board->Submit(client);
    else if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        board->Reap(client);
    else if (request == USBDEVFS_DISCARDURB)
        board->Discard(client);
    else
        Complete(client, board->Control(request, client));
    return TRUE;
}

// The requests besides URBs: 0 or an errno. A removed device answers ENODEV.
int UsbfsBoard::Control(unsigned long request, UMockdevIoctlClient *client) {
    std::lock_guard lock(mutex_);
    if (gone_) return ENODEV;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = ResolveArg(client, sizeof(uint32_t));
        WriteField<uint32_t>(caps, 0,
                             USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                 USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT);
        g_object_unref(caps);
        return 0;
    }
    case USBDEVFS_CLAIMINTERFACE:
        if (driverBound_) return EBUSY;
        claimed_ |= 1u << (ReadArg<unsigned int>(client) & 31);
        ++claims_;
        return 0;
    case USBDEVFS_RELEASEINTERFACE:
        claimed_ &= ~(1u << (ReadArg<unsigned int>(client) & 31));
        return 0;
    case USBDEVFS_GETDRIVER: {
        if (!driverBound_) return ENODATA;
        UMockdevIoctlData *arg = ResolveArg(client, sizeof(usbdevfs_getdriver));
        std::snprintf(reinterpret_cast<char *>(arg->data + offsetof(usbdevfs_getdriver, driver)),
                      USBDEVFS_MAXDRIVERNAME + 1, "%s", driverName_.c_str());
        g_object_unref(arg);
        return 0;
    }
    case USBDEVFS_IOCTL: {  // libusb detaches and reattaches a kernel driver through it
        const int code = ReadArg<int>(client, offsetof(usbdevfs_ioctl, ioctl_code), sizeof(usbdevfs_ioctl));
        if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (!driverBound_) return ENODATA;
            driverBound_ = false;
        } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
            driverBound_ = !driverName_.empty();
        }
        return 0;
    }
    case USBDEVFS_CLEAR_HALT: {
        const auto endpoint = static_cast<uint8_t>(ReadArg<unsigned int>(client));
        if (int error = CheckEndpointLocked(endpoint); error != 0) return error;
        model_->SetHalted(endpoint, false);
        return 0;
    }
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
        return 0;
    default:
        return ENOTTY;
    }
}

// As the kernel checks an endpoint named by a request: it must belong to the
// board's one interface (ENOENT), which the caller has claimed or may claim
// now (EBUSY while a kernel driver holds it).
int UsbfsBoard::CheckEndpointLocked(uint8_t endpoint) {
    if (!model_->FindEndpoint(endpoint)) return ENOENT;
    if ((claimed_ & 1u) != 0) return 0;
    if (driverBound_) return EBUSY;
    claimed_ |= 1u;
    return 0;
}

void UsbfsBoard::Submit(UMockdevIoctlClient *client) {
    auto urb = std::make_unique<Urb>();
    urb->urb = ResolveArg(client, sizeof(usbdevfs_urb));
    if (urb->urb == nullptr) return Complete(client, EFAULT);
    urb->clientAddress = urb->urb->client_addr;
    urb->type = ReadField<uint8_t>(urb->urb, offsetof(usbdevfs_urb, type));
    urb->endpoint = ReadField<uint8_t>(urb->urb, offsetof(usbdevfs_urb, endpoint));
    const int length = ReadField<int>(urb->urb, offsetof(usbdevfs_urb, buffer_length));
    if (length > 0)
        urb->buffer = umockdev_ioctl_data_resolve(urb->urb, offsetof(usbdevfs_urb, buffer), length, nullptr);
    const bool control = urb->type == USBDEVFS_URB_TYPE_CONTROL;

    std::lock_guard lock(mutex_);
    Fault fault = Fault::None;
    int error = gone_ ? ENODEV : 0;
    if (error == 0 && (fault = model_->CountRequest(control ? 0 : urb->endpoint)) == Fault::FailAtIssue) error = EIO;
    if (error == 0 && !control) error = CheckEndpointLocked(urb->endpoint);
    Complete(client, error);
    if (error != 0) return;
    if (fault == Fault::StayPending) urb->held = true;  // until discarded
    if (fault == Fault::Stall) {
        urb->forcedStatus = -EPIPE;
        // A control stall ends this request only; a data stall halts the pipe.
        if (!control) model_->SetHalted(urb->endpoint, true);
    }
    if (fault == Fault::Short && !control) urb->lengthLimit = static_cast<uint32_t>(length) / 2;
    pending_.push_back(std::move(urb));
    // Served later, when the caller next reaps: never inside SUBMITURB.
    work_ = true;
    UpdateReadinessLocked();
}

// Serves one URB from the model into `status`; false while an IN request
// has nothing to deliver (it stays pending).
bool UsbfsBoard::ServeLocked(Urb &u, int &status) {
    uint8_t *buffer = u.buffer ? u.buffer->data : nullptr;
    const uint32_t length = u.buffer ? std::min(static_cast<uint32_t>(u.buffer->data_len), u.lengthLimit) : 0;
    Result r;
    if (u.forcedStatus != 0) {
        r.status = Status::Stall;
    } else if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        if (length < 8) {
            status = -EINVAL;
            return true;
        }
        ControlSetup setup{buffer[0], buffer[1], static_cast<uint16_t>(buffer[2] | buffer[3] << 8),
                           static_cast<uint16_t>(buffer[4] | buffer[5] << 8),
                           static_cast<uint16_t>(buffer[6] | buffer[7] << 8)};
        r = model_->Control(setup, buffer + 8, std::min<uint32_t>(setup.wLength, length - 8));
    } else if (model_->Halted(u.endpoint)) {
        r.status = Status::Stall;
    } else if ((u.endpoint & 0x80) != 0) {
        r = model_->In(u.endpoint, buffer, length, false);
        if (r.status == Status::WouldBlock) return false;
    } else {
        r = model_->Out(u.endpoint, buffer, length);
    }
    status = r.status == Status::Stall ? -EPIPE : 0;
    u.actual = static_cast<int>(r.bytes);
    return true;
}

void UsbfsBoard::ServeAllLocked() {
    work_ = false;
    for (auto it = pending_.begin(); it != pending_.end();) {
        int status = 0;
        if ((*it)->held || !ServeLocked(**it, status)) {
            ++it;
            continue;
        }
        auto urb = std::move(*it);
        it = pending_.erase(it);
        FinishLocked(std::move(urb), status);
    }
}

void UsbfsBoard::FinishLocked(std::unique_ptr<Urb> urb, int status) {
    if (urb->abandoned) return;  // nobody will reap it
    WriteField<int>(urb->urb, offsetof(usbdevfs_urb, status), status);
    WriteField<int>(urb->urb, offsetof(usbdevfs_urb, actual_length), urb->actual);
    reapable_.push_back(std::move(urb));
}

void UsbfsBoard::Reap(UMockdevIoctlClient *client) {
    std::lock_guard lock(mutex_);
    if (work_) ServeAllLocked();
    if (reapable_.empty()) {
        UpdateReadinessLocked();
        return Complete(client, gone_ ? ENODEV : EAGAIN);
    }
    std::unique_ptr<Urb> urb = std::move(reapable_.front());
    reapable_.pop_front();
    // The argument points at the caller's URB pointer, which gets the URB.
    UMockdevIoctlData *slot = ResolveArg(client, sizeof(void *));
    umockdev_ioctl_data_set_ptr(slot, 0, urb->urb);
    Complete(client, 0);
    g_object_unref(slot);
    UpdateReadinessLocked();
}

void UsbfsBoard::Discard(UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    uint64_t address = 0;
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, static_cast<size_t>(arg->data_len)));
    std::lock_guard lock(mutex_);
    auto it =
        std::find_if(pending_.begin(), pending_.end(), [&](const auto &u) { return u->clientAddress == address; });
    if (it != pending_.end() && ignoreDiscards_) (*it)->abandoned = true;
    if (it == pending_.end() || ignoreDiscards_) return Complete(client, EINVAL);
    auto urb = std::move(*it);
    pending_.erase(it);
    FinishLocked(std::move(urb), -ENOENT);
    Complete(client, 0);
    UpdateReadinessLocked();
}

}  // namespace vek::sim
