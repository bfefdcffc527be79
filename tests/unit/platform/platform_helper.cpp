// Run by the platform tests as a child: "keys <ms> [file]" prints "ready", then the code of
// every key on standard input, until ESC (exit 0) or until ms have passed (exit 1). The file
// is opened first and left alone, as the program opens its devices.
#include "platform/winapi.h"

#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3 || std::string(argv[1]) != "keys")
        return 2;
    if (argc > 3)
        open(argv[3], O_RDONLY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stol(argv[2]));
    _kbhit(); // the terminal is in key mode from here
    std::printf("ready\n");
    int key = 0;
    for (; key != 27 && std::chrono::steady_clock::now() < end; Sleep(5)) {
        if (_kbhit())
            std::printf("%d ", key = _getch());
    }
    return key != 27;
}
