// Types the bytes on its standard input into a running program's console as key presses, for
// the Wine tests: Wine hands a console program that only polls its keyboard nothing from a
// pipe or a terminal. The program is the one running process of the given file name in the
// Wine prefix; it has a console only when Wine started it with standard input on a terminal.
//   wine wine_keys.exe larkspur.exe < keys
// Exit value: 0 typed, 2 not exactly one such process, 3 no console to attach to, 4 the
// console took not every key.
#include <windows.h>
#include <tlhelp32.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string read_stdin() {
    std::string keys;
    char buf[256];
    DWORD n = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &n, nullptr) && n > 0)
        keys.append(buf, n);
    return keys;
}

// A process that has ended may stay listed while a handle to it is open.
bool alive(DWORD pid) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    DWORD code = 0;
    bool running = h && GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
    if (h)
        CloseHandle(h);
    return running;
}

std::vector<DWORD> running(const char* exe) {
    std::vector<DWORD> pids;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return pids;
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32First(snap, &pe); more; more = Process32Next(snap, &pe))
        if (_stricmp(pe.szExeFile, exe) == 0 && alive(pe.th32ProcessID))
            pids.push_back(pe.th32ProcessID);
    CloseHandle(snap);
    return pids;
}

// A press and a release per byte: the C runtime's _kbhit counts a key press only when
// another record follows it. Only the character matters to _getch; the virtual key code is
// the one a keyboard gives for letters, digits, ESC, Enter, space, Backspace and Tab.
std::vector<INPUT_RECORD> key_records(const std::string& keys) {
    std::vector<INPUT_RECORD> records;
    for (unsigned char c : keys) {
        for (BOOL down : {TRUE, FALSE}) {
            INPUT_RECORD r{};
            r.EventType = KEY_EVENT;
            r.Event.KeyEvent.bKeyDown = down;
            r.Event.KeyEvent.wRepeatCount = 1;
            bool plain = std::isalnum(c) ||
                         std::string_view("\x1b\r \b\t").find(c) != std::string_view::npos;
            r.Event.KeyEvent.wVirtualKeyCode = plain ? static_cast<WORD>(std::toupper(c)) : 0;
            r.Event.KeyEvent.uChar.UnicodeChar = c;
            records.push_back(r);
        }
    }
    return records;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wine_keys NAME.exe < keys\n");
        return 2;
    }
    std::string keys = read_stdin();
    std::vector<DWORD> pids = running(argv[1]);
    if (pids.size() != 1) {
        std::fprintf(stderr, "%u running %s processes, not one\n",
                     static_cast<unsigned>(pids.size()), argv[1]);
        return 2;
    }
    FreeConsole();
    if (!AttachConsole(pids[0])) {
        std::fprintf(stderr, "%s (%lu) has no console: error %lu\n", argv[1], pids[0],
                     GetLastError());
        return 3;
    }
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<INPUT_RECORD> records = key_records(keys);
    DWORD written = 0;
    if (in == INVALID_HANDLE_VALUE ||
        (!records.empty() &&
         !WriteConsoleInputW(in, records.data(), static_cast<DWORD>(records.size()), &written)) ||
        written != records.size()) {
        std::fprintf(stderr, "%lu of %u key records written: error %lu\n", written,
                     static_cast<unsigned>(records.size()), GetLastError());
        return 4;
    }
    CloseHandle(in);
    return 0;
}
