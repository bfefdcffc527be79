// The board's protocol log: one line per event, flushed at once, so that tests can follow
// it while the board runs.
#pragma once

#include <string>

namespace board {

// Empty path: standard error. False when the file cannot be opened.
bool log_open(const std::string& path);
// Each line begins with the CLOCK_MONOTONIC time, so that another process can tell how
// long a byte took to arrive.
void log_with_times(bool on);
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "RX" and friends: the prefix, then the bytes as lowercase hex pairs.
void log_hex(const char* prefix, const void* data, size_t n, bool spaced);

} // namespace board
