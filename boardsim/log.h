// The board's protocol log: one line per event, flushed at once, so that tests can follow
// it while the board runs. Each board of a process has a log of its own: a thread logs to
// the one it has taken up (standard error until then).
#pragma once

#include <cstdio>
#include <string>

namespace board {

struct LogSink {
    FILE* f = nullptr; // null: standard error
    bool times = false;
};

// Empty path: standard error. False when the file cannot be opened.
bool log_open(LogSink& sink, const std::string& path);
// The calling thread logs to this sink from now on.
void log_use(LogSink* sink);
LogSink* log_current();
// Each line begins with the CLOCK_MONOTONIC time, so that another process can tell how
// long a byte took to arrive.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A line that stops the board: logged, and on standard error too when the log is a file,
// so that whoever started the board sees it.
void log_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "RX" and friends: the prefix, then the bytes as lowercase hex pairs.
void log_hex(const char* prefix, const void* data, size_t n, bool spaced);

} // namespace board
