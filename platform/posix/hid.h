// The HID stand-in's side of the virtual HID device protocol, reachable without a device
// socket so that a fuzzer or a test can play the device.
#pragma once

#include "platform/winapi.h"

#include <cstddef>
#include <cstdint>

namespace posix {

// A handle as if a device had sent this hello ('H', vid, pid, input and output report
// length); INVALID_HANDLE_VALUE when the stand-in refuses it. Its output reports go
// nowhere, and no I/O thread feeds it: hid_deliver does.
HANDLE hid_create_unconnected(const uint8_t* hello, size_t n, DWORD flags);
// One datagram from the device, handled as the I/O thread handles what it receives.
void hid_deliver(HANDLE h, const uint8_t* msg, size_t n);

} // namespace posix
