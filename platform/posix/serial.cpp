// Serial ports: \\.\COMn on a tty, with the Windows comm API's line settings and timing.
#include "platform/posix/handles.h"
#include "platform/posix/open_failure.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace posix {
namespace {

using Clock = std::chrono::steady_clock;

// Ports open in this process, by device number. Other processes are kept out by flock.
std::mutex g_ports_lock;
std::set<dev_t> g_open_ports;

struct Serial {
    int fd = -1;
    dev_t rdev = 0;
    std::mutex m; // guards timeouts
    COMMTIMEOUTS timeouts{};

    ~Serial() {
        if (fd >= 0)
            ::close(fd); // drops the flock too
        std::lock_guard<std::mutex> lk(g_ports_lock);
        g_open_ports.erase(rdev);
    }
    COMMTIMEOUTS get_timeouts() {
        std::lock_guard<std::mutex> lk(m);
        return timeouts;
    }
};

DWORD io_error(int e) {
    switch (e) {
    case EIO:
    case ENXIO:
    case ENODEV:
        return ERROR_DEVICE_NOT_CONNECTED;
    case EBADF:
        return ERROR_ACCESS_DENIED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

DWORD open_error(int e) {
    switch (e) {
    case EACCES:
    case EPERM:
    case EBUSY:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default: // missing entry, dangling link, a pty whose other side is gone
        return ERROR_FILE_NOT_FOUND;
    }
}

// Milliseconds from now until t, rounded up, at most INT_MAX; 0 once t has passed.
int ms_until(Clock::time_point t) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// A total timeout beyond this is as good as none, and keeps time_point arithmetic safe.
constexpr uint64_t kForeverMs = 100ull * 24 * 3600 * 1000;

std::optional<Clock::time_point> total_deadline(Clock::time_point start, DWORD multiplier,
                                                DWORD constant, DWORD n) {
    uint64_t ms = static_cast<uint64_t>(multiplier) * n + constant;
    if ((multiplier == 0 && constant == 0) || ms > kForeverMs)
        return std::nullopt;
    return start + std::chrono::milliseconds(ms);
}

BOOL serial_read(void* obj, void* buf, DWORD n, DWORD* got, OVERLAPPED*) {
    auto* s = static_cast<Serial*>(obj);
    if (got)
        *got = 0;
    if (n == 0)
        return TRUE;
    const COMMTIMEOUTS t = s->get_timeouts();
    const auto deadline =
        total_deadline(Clock::now(), t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, n);
    const DWORD interval = t.ReadIntervalTimeout;

    auto* p = static_cast<unsigned char*>(buf);
    DWORD done = 0;
    Clock::time_point last_byte{};
    bool hangup_seen = false;
    for (;;) {
        ssize_t r = ::read(s->fd, p + done, n - done);
        if (r > 0) {
            done += static_cast<DWORD>(r);
            last_byte = Clock::now();
            if (done == n)
                break;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        // 0 bytes from a non-blocking raw tty means hang-up; so does EAGAIN after poll
        // reported one (otherwise we would spin on it).
        bool hung = r == 0 || errno != EAGAIN || hangup_seen;
        if (hung) {
            if (done > 0)
                break; // hand over what came; the next read reports the loss
            SetLastError(r == 0 ? ERROR_DEVICE_NOT_CONNECTED : io_error(errno));
            return FALSE;
        }
        int wait_ms = -1;
        if (deadline)
            wait_ms = ms_until(*deadline);
        if (interval && done > 0) {
            int gap = ms_until(last_byte + std::chrono::milliseconds(interval));
            wait_ms = wait_ms < 0 ? gap : std::min(wait_ms, gap);
        }
        if (wait_ms == 0)
            break;
        pollfd pfd{s->fd, POLLIN, 0};
        int pr = ::poll(&pfd, 1, wait_ms);
        if (pr < 0 && errno != EINTR) {
            SetLastError(io_error(errno));
            return FALSE;
        }
        if (pr > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)))
            hangup_seen = true;
    }
    if (got)
        *got = done;
    return TRUE;
}

BOOL serial_write(void* obj, const void* buf, DWORD n, DWORD* put, OVERLAPPED*) {
    auto* s = static_cast<Serial*>(obj);
    if (put)
        *put = 0;
    const COMMTIMEOUTS t = s->get_timeouts();
    const auto deadline =
        total_deadline(Clock::now(), t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, n);
    auto* p = static_cast<const unsigned char*>(buf);
    DWORD done = 0;
    while (done < n) {
        ssize_t r = ::write(s->fd, p + done, n - done);
        if (r > 0) {
            done += static_cast<DWORD>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0 || errno != EAGAIN) {
            if (put)
                *put = done;
            SetLastError(r == 0 ? ERROR_GEN_FAILURE : io_error(errno));
            return FALSE;
        }
        int wait_ms = deadline ? ms_until(*deadline) : -1;
        if (wait_ms == 0)
            break; // the write timeout ran out: success with what went out
        pollfd pfd{s->fd, POLLOUT, 0};
        if (::poll(&pfd, 1, wait_ms) < 0 && errno != EINTR) {
            if (put)
                *put = done;
            SetLastError(io_error(errno));
            return FALSE;
        }
        // A hang-up shows as POLLHUP/POLLERR; the next write then fails with EIO.
    }
    if (put)
        *put = done;
    return TRUE;
}

const HandleOps kSerialOps = {.read = serial_read, .write = serial_write};

std::shared_ptr<Serial> serial_of(HANDLE h) {
    auto s = handle_get<Serial>(h, &kSerialOps);
    if (!s)
        SetLastError(ERROR_INVALID_HANDLE);
    return s;
}

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

constexpr std::array<tcflag_t, 4> kSizes = {CS5, CS6, CS7, CS8};

// The port name after \\.\: "COM" (any case) and decimal digits; the digits as given.
std::optional<std::string> port_digits(const std::string& port) {
    if (port.size() < 4)
        return std::nullopt;
    for (size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(port[i])) != "COM"[i])
            return std::nullopt;
    }
    std::string digits = port.substr(3);
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    return digits;
}

// The device directory's comN entry, else the n-th built-in port.
std::optional<std::string> port_path(const std::string& digits) {
    std::string dir = device_dir();
    std::string entry = dir + "/com" + digits;
    struct stat st;
    if (!dir.empty() && ::lstat(entry.c_str(), &st) == 0)
        return entry;
    if (digits[0] == '0' || digits.size() > 9)
        return std::nullopt;
    return "/dev/ttyS" + std::to_string(std::stoul(digits) - 1);
}

// The tty a port name leads to, as a user would look it up.
std::string tty_node(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

// A port that is there but cannot be had: the Windows lines stay as they are, the user
// learns why on standard error. Keeps errno for the caller.
void say_why(const std::string& path, int err) {
    const int saved = errno;
    if (const char* reason = open_failure_reason(err))
        report_open_failure(tty_node(path), reason);
    errno = saved;
}

} // namespace

// The line settings as termios holds them. Outside the unnamed namespace: tests check the
// mapping on its own, since a pseudo-terminal keeps neither byte size nor parity.
void termios_to_dcb(const termios& tio, DCB& dcb) {
    dcb = DCB{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = ::cfgetospeed(&tio) == B115200 ? CBR_115200 : 0;
    dcb.ByteSize = static_cast<BYTE>(
        5 + std::distance(kSizes.begin(), std::ranges::find(kSizes, tio.c_cflag & CSIZE)));
    if (tio.c_cflag & PARENB)
        dcb.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    else
        dcb.Parity = NOPARITY;
    if (tio.c_cflag & CSTOPB)
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    else
        dcb.StopBits = ONESTOPBIT;
}

// Changes tio to the DCB's settings; false, with tio untouched, for settings Windows or
// a tty cannot take. 115200 is the one rate anything here runs at.
bool dcb_to_termios(const DCB& dcb, termios& tio) {
    if (dcb.BaudRate != CBR_115200 || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
        dcb.Parity > EVENPARITY || dcb.StopBits > TWOSTOPBITS)
        return false;
    // As on Windows: 1.5 stop bits only with 5 data bits, 2 only with more.
    const bool five = dcb.ByteSize == 5;
    if ((dcb.StopBits == ONE5STOPBITS && !five) || (dcb.StopBits == TWOSTOPBITS && five))
        return false;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= kSizes[dcb.ByteSize - 5];
    if (dcb.Parity != NOPARITY)
        tio.c_cflag |= dcb.Parity == ODDPARITY ? PARENB | PARODD : PARENB;
    if (dcb.StopBits != ONESTOPBIT)
        tio.c_cflag |= CSTOPB;
    return true;
}

HANDLE serial_create(const std::string& port, DWORD flags) {
    // Only synchronous I/O is offered; the comm ports are used no other way.
    if (flags & FILE_FLAG_OVERLAPPED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    auto digits = port_digits(port);
    auto path = digits ? port_path(*digits) : std::nullopt;
    if (!path) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        say_why(*path, errno);
        SetLastError(open_error(errno));
        return INVALID_HANDLE_VALUE;
    }
    // Stay off the standard descriptors, which the console reads if stdin was closed.
    if (fd < 3) {
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        int e = errno;
        ::close(fd);
        if (moved < 0) {
            SetLastError(open_error(e));
            return INVALID_HANDLE_VALUE;
        }
        fd = moved;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd)) {
        ::close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive use, as Windows gives every comm port. TIOCEXCL is not used: on a pseudo-terminal
    // whose master stays open it outlives a killed process and would lock the port for good.
    {
        std::lock_guard<std::mutex> lk(g_ports_lock);
        if (g_open_ports.count(st.st_rdev)) {
            ::close(fd);
            say_why(*path, EBUSY);
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            say_why(*path, errno);
            ::close(fd);
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        g_open_ports.insert(st.st_rdev);
    }
    auto s = std::make_shared<Serial>();
    s->fd = fd;
    s->rdev = st.st_rdev;

    // Raw bytes both ways, or no port: a cooked line would eat and rewrite bytes of every
    // frame. VMIN 1 makes an empty non-blocking read EAGAIN, so that a read of 0 bytes can
    // only mean hang-up.
    termios tio;
    if (::tcgetattr(fd, &tio) != 0) {
        SetLastError(io_error(errno));
        return INVALID_HANDLE_VALUE;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        SetLastError(io_error(errno));
        return INVALID_HANDLE_VALUE;
    }
    return handle_add(&kSerialOps, std::move(s));
}

} // namespace posix

using namespace posix;

// The kernel sizes tty buffers itself.
BOOL SetupComm(HANDLE h, DWORD, DWORD) {
    return serial_of(h) ? TRUE : FALSE;
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    auto s = serial_of(h);
    if (!s)
        return FALSE;
    if (!t)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lk(s->m);
    s->timeouts = *t;
    return TRUE;
}

namespace {

// The port behind h and its line settings as they stand, for the two DCB calls; null after
// setting the error.
std::shared_ptr<Serial> port_settings(HANDLE h, LPDCB dcb, termios* tio) {
    auto s = serial_of(h);
    if (s && !dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (s && ::tcgetattr(s->fd, tio) != 0) {
        SetLastError(io_error(errno));
        return nullptr;
    }
    return s;
}

} // namespace

BOOL GetCommState(HANDLE h, LPDCB dcb) {
    termios tio;
    if (!port_settings(h, dcb, &tio))
        return FALSE;
    termios_to_dcb(tio, *dcb);
    return TRUE;
}

BOOL SetCommState(HANDLE h, LPDCB dcb) {
    termios tio;
    auto s = port_settings(h, dcb, &tio);
    if (!s)
        return FALSE;
    if (!dcb_to_termios(*dcb, tio))
        return fail(ERROR_INVALID_PARAMETER);
    if (::tcsetattr(s->fd, TCSANOW, &tio) != 0)
        return fail(io_error(errno));
    return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    auto s = serial_of(h);
    if (!s)
        return FALSE;
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return fail(ERROR_INVALID_PARAMETER);
    // The ABORT flags have nothing to abort: every read and write here is synchronous.
    const bool rx = flags & PURGE_RXCLEAR;
    // A pseudo-terminal has no transmitter: what was written is already the other end's
    // input, which the kernel's flush would take from it.
    const bool pseudo_terminal = major(s->rdev) >= 136 && major(s->rdev) <= 143; // Unix98 slaves
    const bool tx = (flags & PURGE_TXCLEAR) && !pseudo_terminal;
    if ((rx || tx) && ::tcflush(s->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0)
        return fail(io_error(errno));
    return TRUE;
}

BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    auto s = serial_of(h);
    if (!s)
        return FALSE;
    if (errors)
        *errors = 0; // line errors are not tracked by the tty layer per read
    if (stat)
        *stat = COMSTAT{};
    int in_q = 0;
    if (::ioctl(s->fd, FIONREAD, &in_q) != 0)
        return fail(io_error(errno));
    if (stat)
        stat->cbInQue = static_cast<DWORD>(std::max(in_q, 0));
    return TRUE;
}
