// Internal to the POSIX stand-in: device nodes as the configuration manager numbers them,
// each a udev device by its sysfs path, and the USB port a device hangs on.
#pragma once

#include "platform/board_port.h"
#include "platform/winapi.h"

#include <cstdint>
#include <string>

namespace posix {

// The node of a sysfs path; the same path always gives the same node.
DEVINST devnode_of(const std::string& syspath);
// The port of the USB device with this bus number and address.
port_names usb_port_at(uint8_t bus, uint8_t address);

} // namespace posix
