#include "platform/screen.h"

#include "platform/winapi.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t STATUS_MAX = 78; // characters; a status line never wraps

HANDLE status_console = nullptr;
bool status_checked = false;
size_t status_width = 0; // columns the status line covers now; 0: none shows

HANDLE console() {
    if (!status_checked) {
        status_checked = true;
        HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        if (err && err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode))
            status_console = err;
    }
    return status_console;
}

void put(const char* text, size_t size) {
    DWORD put = 0;
    WriteConsoleA(console(), text, static_cast<DWORD>(size), &put, nullptr);
}

} // namespace

int msg_printf(const char* format, ...) {
    status_wipe();
    va_list args;
    va_start(args, format);
    int n = std::vprintf(format, args);
    va_end(args);
    return n;
}

bool status_on() {
    return console() != nullptr;
}

void status_show(const char* format, ...) {
    if (!console())
        return;
    // \r, the text, and blanks over what is left of a longer text before it.
    char line[1 + STATUS_MAX + 1];
    line[0] = '\r';
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line + 1, STATUS_MAX + 1, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t width = std::min(static_cast<size_t>(n), STATUS_MAX);
    size_t size = 1 + width;
    if (status_width > width) {
        std::memset(line + size, ' ', status_width - width);
        size += status_width - width;
    }
    status_width = std::max(status_width, width);
    put(line, size);
}

void status_wipe() {
    if (status_width == 0)
        return;
    char blank[1 + STATUS_MAX + 1];
    std::memset(blank, ' ', sizeof blank);
    blank[0] = '\r';
    blank[status_width + 1] = '\r';
    put(blank, status_width + 2);
    status_width = 0;
}
