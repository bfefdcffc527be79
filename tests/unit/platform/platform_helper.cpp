// Run by the platform tests as a child: "keys <ms> [file]" reads standard input as keys, one
// "key <code>" line each, until ESC (exit 0) or until ms have passed (exit 1), then prints the
// longest _kbhit call. The file is opened first and left alone, as the program opens devices.
#include "platform/winapi.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace std::chrono;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3 || std::string(argv[1]) != "keys")
        return 2;
    if (argc > 3)
        open(argv[3], O_RDONLY);
    const auto end = steady_clock::now() + milliseconds(std::stol(argv[2]));
    microseconds max_wait{0};
    int rc = 1;
    _kbhit(); // the terminal is in key mode from here
    std::printf("ready\n");
    while (rc && steady_clock::now() < end) {
        const auto t0 = steady_clock::now();
        const bool hit = _kbhit();
        max_wait = std::max(max_wait, duration_cast<microseconds>(steady_clock::now() - t0));
        if (hit) {
            const int key = _getch();
            std::printf("key %d\n", key);
            rc = key != 27;
        }
        Sleep(5);
    }
    std::printf("max_kbhit_us %lld\n", static_cast<long long>(max_wait.count()));
    return rc;
}
