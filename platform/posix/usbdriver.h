// Test access to the stand-in USB kernel driver behind "\\.\WINDRVR6".
//
// The stand-in reports version 1100, or the value of the environment variable
// LARKSPUR_DRIVER_VERSION when it holds a number (read at each version query). That
// variable is a setting of the stand-in for tests, not a setting of larkspur.
#pragma once

#include <cstdint>

namespace posix {

// Called on the requesting thread before the driver serves a request, with the record
// in the caller's memory. Returning true answers the request in the driver's place with
// *status; false lets the driver serve it.
using DriverTap = bool (*)(void* ctx, uint32_t code, void* rec, uint32_t size, uint32_t* status);
void driver_set_tap(DriverTap tap, void* ctx);

// Open driver handles and live event registrations.
int driver_open_handles();
int driver_registrations();

} // namespace posix
