#include "platform/posix/open_failure.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>

namespace posix {

const char* open_failure_reason(int err) {
    switch (err) {
    case EACCES:
    case EPERM:
        return "permission denied";
    case EBUSY:
    case EWOULDBLOCK: // flock: another process holds the port
        return "busy";
    default:
        return nullptr;
    }
}

void report_open_failure(const std::string& node, const char* reason) {
    // Never destroyed: a driver thread may still report while the process exits.
    static auto& lock = *new std::mutex;
    static auto& told = *new std::set<std::string>;
    std::lock_guard<std::mutex> lk(lock);
    if (!reason || !told.insert(node).second)
        return;
    // A wait's countdown may stand on the terminal's last line: start on a clean one.
    const char* clear = ::isatty(STDERR_FILENO) ? "\r\033[K" : "";
    std::fprintf(stderr,
                 "%slarkspur: cannot open %s: %s (see \"Real boards on Linux\" in the README)\n",
                 clear, node.c_str(), reason);
}

} // namespace posix
