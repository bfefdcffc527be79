#include "boardsim/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace board {
namespace {
FILE* g_log = nullptr;
bool g_times = false;
} // namespace

void log_with_times(bool on) {
    g_times = on;
}

bool log_open(const std::string& path) {
    if (path.empty()) {
        g_log = stderr;
        return true;
    }
    g_log = fopen(path.c_str(), "a");
    if (!g_log)
        return false;
    setvbuf(g_log, nullptr, _IOLBF, 0);
    return true;
}

void log_line(const char* fmt, ...) {
    FILE* f = g_log ? g_log : stderr;
    if (g_times) {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        fprintf(f, "%lld.%06ld ", static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000);
    }
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fflush(f);
}

void log_hex(const char* prefix, const void* data, size_t n, bool spaced) {
    static const char digits[] = "0123456789abcdef";
    std::string s = prefix;
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) {
        if (spaced || i == 0)
            s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    log_line("%s", s.c_str());
}

} // namespace board
