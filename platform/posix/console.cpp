// Console keyboard: _kbhit and _getch on standard input; the standard handles for console
// output.
//
// On a terminal, input is switched to unechoed, non-canonical mode at the first call and
// restored on the way out: at exit, and on SIGINT, SIGTERM, SIGHUP and SIGQUIT before the
// signal takes its default course. Enter gives 13, as a Windows console does. A lone ESC
// is key 27; the escape sequences of arrow and function keys (ESC [ ... and ESC O x) are
// dropped whole, so that no key sends the board stray letters or ends the relay. With
// standard input at its end, no key is ever reported and _getch returns -1.
#include "platform/winapi.h"
#include "platform/posix/handles.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>

namespace {

// How long a byte after ESC may take to count as part of one sequence. Terminals send
// a sequence in one write; a person cannot type ESC and [ this fast.
constexpr int kSequenceWaitMs = 40;
// Longer sequences than this are not keys; what came is dropped and decoding goes on.
constexpr size_t kMaxSequence = 16;

std::mutex g_lock;
bool g_started = false;
bool g_at_end = false;
std::deque<unsigned char> g_bytes; // read, not yet decoded
std::deque<unsigned char> g_keys;  // decoded, not yet taken by _getch

termios g_saved;
volatile sig_atomic_t g_changed = 0; // the terminal runs in our mode

void restore_terminal() {
    if (g_changed) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
        g_changed = 0;
    }
}

void on_signal(int sig) {
    restore_terminal();
    // SA_RESETHAND put the default action back; it runs once this handler returns.
    ::raise(sig);
}

// A standard descriptor that is closed at start would be taken by the next file opened
// (a HID or USB device, a socket): keys would be read from it, lines printed into it.
// /dev/null in its place reads as the end and takes what is printed.
[[maybe_unused]] const bool g_std_checked = [] {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null > fd) { // a lower one could not be filled
            ::dup2(null, fd);
            ::close(null);
        }
    }
    return true;
}();

void start() {
    if (g_started)
        return;
    g_started = true;
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &g_saved) != 0)
        return;
    termios keys = g_saved;
    keys.c_lflag &= ~(ICANON | ECHO | ECHONL);
    keys.c_iflag &= ~(ICRNL | INLCR | IGNCR);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    std::atexit(restore_terminal);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction old {};
        // Leave signals alone that are ignored (nohup) or handled by someone else.
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL)
            continue;
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &sa, nullptr);
    }
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0)
        g_changed = 1;
}

// Reads what standard input has, waiting up to ms for it (-1: no limit). False when
// nothing came.
bool fill(int ms) {
    if (g_at_end)
        return false;
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    int r = ::poll(&pfd, 1, ms);
    if (r <= 0)
        return false;
    if (pfd.revents & POLLNVAL) {
        g_at_end = true;
        return false;
    }
    std::array<unsigned char, 64> buf;
    ssize_t n = ::read(STDIN_FILENO, buf.data(), buf.size());
    if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN))
            g_at_end = true;
        return false;
    }
    g_bytes.insert(g_bytes.end(), buf.begin(), buf.begin() + n);
    return true;
}

// True once at least n bytes are buffered, waiting briefly for each missing one.
bool have(size_t n) {
    while (g_bytes.size() < n) {
        if (!fill(kSequenceWaitMs))
            return false;
    }
    return true;
}

// How many bytes at the front (an ESC) form an escape sequence; 0 for a lone ESC.
size_t sequence_length() {
    if (!have(2))
        return 0;
    const unsigned char intro = g_bytes[1];
    if (intro == 'O') { // SS3: one final byte
        if (!have(3))
            return g_bytes.size();
        return (g_bytes[2] >= 0x40 && g_bytes[2] <= 0x7E) ? 3 : 2;
    }
    if (intro != '[')
        return 0;
    // CSI: parameter and intermediate bytes 0x20-0x3F, then one final byte 0x40-0x7E.
    for (size_t i = 2; i < kMaxSequence; ++i) {
        if (!have(i + 1))
            return g_bytes.size(); // cut off: drop what came
        const unsigned char c = g_bytes[i];
        if (c >= 0x40 && c <= 0x7E)
            return i + 1;
        if (c < 0x20 || c > 0x3F)
            return i; // not part of it: keep that byte
    }
    return kMaxSequence;
}

void decode() {
    while (!g_bytes.empty()) {
        const unsigned char b = g_bytes.front();
        if (b != 27) {
            g_keys.push_back(b);
            g_bytes.pop_front();
            continue;
        }
        const size_t len = sequence_length();
        if (len == 0) {
            g_keys.push_back(27);
            g_bytes.pop_front();
        } else {
            g_bytes.erase(g_bytes.begin(), g_bytes.begin() + static_cast<std::ptrdiff_t>(len));
        }
    }
}

} // namespace

int _kbhit(void) {
    std::lock_guard<std::mutex> lk(g_lock);
    start();
    if (g_keys.empty()) {
        fill(0);
        decode();
    }
    return g_keys.empty() ? 0 : 1;
}

int _getch(void) {
    std::lock_guard<std::mutex> lk(g_lock);
    start();
    while (g_keys.empty()) {
        if (g_at_end)
            return -1;
        fill(-1);
        decode();
    }
    const int key = g_keys.front();
    g_keys.pop_front();
    return key;
}

// The standard handles are file descriptors 0 to 2 behind handles of their own kind.
namespace {

struct StdStream {
    int fd;
};

BOOL std_write(void* obj, const void* buf, DWORD n, DWORD* put, OVERLAPPED*) {
    const int fd = static_cast<StdStream*>(obj)->fd;
    const auto* p = static_cast<const char*>(buf);
    DWORD done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += static_cast<DWORD>(w);
    }
    if (put)
        *put = done;
    return done == n;
}

const posix::HandleOps kStdOps = {.write = std_write};

int std_fd(HANDLE h) {
    auto s = posix::handle_get<StdStream>(h, &kStdOps);
    return s ? s->fd : -1;
}

} // namespace

// Only standard error is asked for (the download's progress).
HANDLE GetStdHandle(DWORD nStdHandle) {
    static const HANDLE err =
        posix::handle_add(&kStdOps, std::make_shared<StdStream>(StdStream{STDERR_FILENO}));
    if (nStdHandle == STD_ERROR_HANDLE)
        return err;
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    const int fd = std_fd(hConsoleHandle);
    if (fd < 0 || !isatty(fd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpMode)
        *lpMode = 0;
    return TRUE;
}

BOOL WriteConsoleA(HANDLE hConsoleOutput, const void* lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID) {
    if (GetConsoleMode(hConsoleOutput, nullptr) == FALSE)
        return FALSE;
    return WriteFile(hConsoleOutput, lpBuffer, nNumberOfCharsToWrite, lpNumberOfCharsWritten,
                     nullptr);
}
