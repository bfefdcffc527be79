// Why a device that is there could not be opened, said to the user on standard error;
// standard output keeps the lines the Windows build prints.
#pragma once

#include <string>

namespace posix {

// What a user can act on for an open that failed with err: "permission denied", "busy";
// null when err means the device is not there after all (gone, no such hardware).
const char* open_failure_reason(int err);

// One line on standard error naming the node and the reason, and where to read on; once
// per node in a run, however often a search tries it.
void report_open_failure(const std::string& node, const char* reason);

} // namespace posix
