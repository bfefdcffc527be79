// Types the bytes on its standard input into a running program's console as key presses, for
// the Wine tests: Wine hands a console program that only polls its keyboard nothing from a
// pipe or a terminal. The program is the one running process of the given file name in the
// Wine prefix; it has a console only when Wine started it with standard input on a terminal.
//   wine wine_keys.exe larkspur.exe < keys
// Exit value: 0 typed, 2 not exactly one such process, 3 no console to attach to, 4 the
// console took not every key.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// A process that has ended stays listed while a handle to it is open.
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
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32First(snap, &pe); more; more = Process32Next(snap, &pe))
        if (_stricmp(pe.szExeFile, exe) == 0 && alive(pe.th32ProcessID))
            pids.push_back(pe.th32ProcessID);
    CloseHandle(snap);
    return pids;
}

} // namespace

int main(int argc, char** argv) {
    std::string keys;
    char buf[256];
    DWORD n = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &n, nullptr) && n > 0)
        keys.append(buf, n);
    std::vector<DWORD> pids = running(argc == 2 ? argv[1] : "");
    if (pids.size() != 1) {
        std::fprintf(stderr, "%u running processes named %s, not one\n",
                     static_cast<unsigned>(pids.size()), argc == 2 ? argv[1] : "");
        return 2;
    }
    FreeConsole();
    if (!AttachConsole(pids[0])) {
        std::fprintf(stderr, "process %lu has no console: error %lu\n", pids[0], GetLastError());
        return 3;
    }
    // A press and a release per byte: the C runtime's _kbhit counts a press only when another
    // record follows it, and _getch looks at the character alone.
    std::vector<INPUT_RECORD> records(2 * keys.size());
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].EventType = KEY_EVENT;
        records[i].Event.KeyEvent.bKeyDown = i % 2 == 0;
        records[i].Event.KeyEvent.wRepeatCount = 1;
        records[i].Event.KeyEvent.uChar.UnicodeChar = static_cast<unsigned char>(keys[i / 2]);
    }
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
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
