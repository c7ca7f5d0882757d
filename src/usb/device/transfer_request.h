// The driver request block. It is defined with the driver's request codes in
// usb/driver_interface.h; this header names it for the device classes.
#pragma once

#include "usb/driver_interface.h"

namespace vek {
using ::vek::TransferRequest;
using ::vek::kTransferRequestSize;
}  // namespace vek
