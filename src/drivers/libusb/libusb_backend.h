// The libusb backend: real VEK boards on Linux, through libusb-1.0.
//
// Boards are found at every enumeration (the platform's SetupDiGetClassDevsA
// runs this backend's enumeration hook), so a board plugged in after start,
// or one that re-enumerates after a firmware download, is listed the next
// time the device layer counts devices. Each board found is registered in the
// driver registry under the driver's interface class, beside the boards of the
// virtual board. Requests run as libusb asynchronous transfers; their
// completions are delivered while a caller waits on a request's event (the
// backend's event pump), never on a thread of the library's own.
#pragma once

#include <cstddef>

namespace vek::usbdrv {

// Installs the enumeration hook. Runs by itself when the library is loaded;
// calling it again does nothing. Returns false when the library was built
// without libusb.
bool EnableLibusbBackend();

// Brings the registry up to date with the attached boards now (what the
// enumeration hook does). Returns the number of boards registered.
size_t RefreshLibusbBoards();

// Removes every board of this backend from the registry, uninstalls the hook
// and the event pump, and ends the libusb session when no board is open.
// A later EnableLibusbBackend starts afresh (tests use this between testbeds).
void ShutdownLibusbBackend();

}  // namespace vek::usbdrv
