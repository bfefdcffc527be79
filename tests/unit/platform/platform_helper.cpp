// Test helper. "keys <ms>": reports keys from standard input as "key <code>" lines until
// ESC or until ms have passed, then the longest _kbhit call. "open <port>": tries to open
// \\.\<port> and prints "ok" or "fail <error>".
#include "platform/winapi.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int keys(long limit_ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    long long max_us = 0;
    bool ready = false;
    int rc = 1;
    while (Clock::now() < end) {
        const auto t0 = Clock::now();
        const int hit = _kbhit();
        max_us = std::max<long long>(
            max_us,
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
        if (!ready) {
            std::printf("ready\n");
            ready = true;
        }
        if (hit) {
            const int key = _getch();
            std::printf("key %d\n", key);
            if (key == 27) {
                rc = 0;
                break;
            }
        }
        std::fflush(stdout);
        Sleep(5);
    }
    std::printf("max_kbhit_us %lld\n", max_us);
    return rc;
}

int open_port(const std::string& port) {
    std::wstring path = L"\\\\.\\";
    for (char c : port)
        path.push_back(static_cast<wchar_t>(c));
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("fail %u\n", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    std::printf("ok\n");
    CloseHandle(h);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 3 && std::strcmp(argv[1], "keys") == 0)
        return keys(std::atol(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "open") == 0)
        return open_port(argv[2]);
    std::fprintf(stderr, "usage: %s keys <ms> | open <port>\n", argv[0]);
    return 2;
}
