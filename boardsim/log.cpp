#include "boardsim/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace board {
namespace {
LogSink g_none; // standard error, for a thread that took up no sink
thread_local LogSink* t_sink = nullptr;
} // namespace

bool log_open(LogSink& sink, const std::string& path) {
    if (path.empty()) {
        sink.f = nullptr;
        return true;
    }
    sink.f = fopen(path.c_str(), "a");
    if (!sink.f)
        return false;
    setvbuf(sink.f, nullptr, _IOLBF, 0);
    return true;
}

void log_use(LogSink* sink) {
    t_sink = sink;
}

LogSink* log_current() {
    return t_sink ? t_sink : &g_none;
}

void log_line(const char* fmt, ...) {
    const LogSink& sink = *log_current();
    FILE* f = sink.f ? sink.f : stderr;
    if (sink.times) {
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

void log_error(const char* fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    log_line("%s", text);
    if (log_current()->f)
        fprintf(stderr, "larkspur-board: %s\n", text);
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
