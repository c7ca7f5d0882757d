// The backends built into the library that find their devices themselves,
// and the installing of a backend's enumeration hook and event pump with the
// platform layer. The virtual board registers its boards as they are
// attached and needs neither.

#include <mutex>

#include "drivers/backend.h"
#if defined(VEK_HAVE_LIBUSB)
#include "drivers/libusb/libusb_backend.h"
#endif

namespace vek::drivers {

void InstallBackend(const BackendOps &ops) {
    if (ops.enumerate != nullptr) platform::RegisterEnumerationHook(ops.enumerate);
}

void RemoveBackend(const BackendOps &ops) {
    if (ops.enumerate != nullptr) platform::UnregisterEnumerationHook(ops.enumerate);
    SetPumpActive(ops, false);
}

void InstallBuiltInBackends() {
    static std::once_flag once;
    std::call_once(once, [] {
#if defined(VEK_HAVE_LIBUSB)
        usbdrv::EnableLibusbBackend();
#endif
    });
}

void SetPumpActive(const BackendOps &ops, bool active) {
    if (ops.pump == nullptr) return;
    if (active)
        platform::RegisterEventPump(ops.pump);
    else
        platform::UnregisterEventPump(ops.pump);
}

}  // namespace vek::drivers
