// The board on a serial line: a pseudo-terminal whose slave the host opens through the
// comN link. The same line carries the boot ROM and the test program.
#include "boardsim/log.h"
#include "boardsim/loop.h"
#include "boardsim/transports.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace board {
namespace {

struct Line {
    int master = -1;
    int slave = -1; // held open, so the line does not hang up while the host has it closed
    int claim = -1;
    std::string link; // set once the link is ours: only then is it ours to remove
    std::string entry;
};

// A live board's hold on its entry: an abstract socket named for the directory and the
// entry. It goes with the process however that ends, so a link nobody holds was left by a
// board that was killed, and a board that finds an entry held leaves it alone. -1 with err
// empty: held.
int claim_entry(const std::string& dir, const std::string& entry, std::string& err) {
    struct stat st;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || stat(dir.c_str(), &st) != 0) {
        err = "cannot hold " + entry + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    std::string name = "larkspur-board/" + std::to_string(st.st_dev) + ":" +
                       std::to_string(st.st_ino) + "/" + entry;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = std::min(name.size(), sizeof addr.sun_path - 1);
    memcpy(addr.sun_path + 1, name.data(), len); // sun_path[0] == 0: abstract
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr),
             socklen_t(offsetof(sockaddr_un, sun_path) + 1 + len)) != 0) {
        if (errno != EADDRINUSE)
            err = "cannot hold " + entry + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

// A pseudo-terminal link, or one whose tty is gone: what a board leaves behind. A link
// made by hand to a real adapter is not.
bool board_link(const std::string& link) {
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = 0;
    struct stat st;
    return strncmp(target, "/dev/pts/", 9) == 0 || strncmp(target, "/proc/", 6) == 0 ||
           stat(link.c_str(), &st) != 0;
}

bool open_line(Line& l, const Options& opt, const std::string& dir, std::string& err) {
    l.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (l.master < 0 || grantpt(l.master) != 0 || unlockpt(l.master) != 0) {
        err = std::string("cannot open a pseudo-terminal: ") + strerror(errno);
        return false;
    }
    std::string pts = ptsname(l.master);
    l.slave = open(pts.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (l.slave < 0 || tcgetattr(l.slave, &t) != 0) {
        err = "cannot open " + pts + ": " + strerror(errno);
        return false;
    }
    cfmakeraw(&t);
    tcsetattr(l.slave, TCSANOW, &t);
    // The link leads to the board's own descriptor of the line, so it dies with the board:
    // left behind by a board that was killed, it leads nowhere, never to a pseudo-terminal
    // that a later board got under the same number.
    pts = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(l.slave);

    for (int n = opt.com ? opt.com : 1;; ++n) {
        l.entry = "com" + std::to_string(n);
        std::string link = dir + "/" + l.entry;
        l.claim = claim_entry(dir, l.entry, err);
        if (!err.empty())
            return false;
        bool made = l.claim >= 0 && symlink(pts.c_str(), link.c_str()) == 0;
        if (!made && l.claim >= 0 && errno != EEXIST) {
            err = "cannot create " + link + ": " + strerror(errno);
            return false;
        }
        if (!made && l.claim >= 0 && board_link(link)) // a killed board's, nobody holds it
            made = unlink(link.c_str()) == 0 && symlink(pts.c_str(), link.c_str()) == 0;
        if (made) {
            l.link = link;
            return true;
        }
        if (l.claim >= 0)
            close(l.claim);
        l.claim = -1;
        if (opt.com) {
            err = link + " already exists";
            return false;
        }
    }
}

void close_line(Line& l) {
    if (!l.link.empty())
        unlink(l.link.c_str());
    l.link.clear();
    if (l.master >= 0)
        close(l.master);
    if (l.slave >= 0)
        close(l.slave);
    if (l.claim >= 0)
        close(l.claim);
    l.master = l.slave = l.claim = -1;
}

} // namespace

int run_serial(Board& b, const std::string& dir, int stopfd) {
    const Options& opt = *b.opt;
    Line line;
    std::string err;
    if (!open_line(line, opt, dir, err)) {
        log_error("%s", err.c_str());
        close_line(line);
        return 1;
    }
    log_line("READY %s", line.entry.c_str());
    b.where = line.entry;

    // 8N1: ten bit times per byte; bursts of about 5 ms keep the loop calm.
    double bytes_per_s = opt.baud / 10.0;
    size_t burst = opt.baud ? std::max<size_t>(1, size_t(bytes_per_s * 0.005)) : 1;
    Pacer in_pace = make_pacer(bytes_per_s, burst), out_pace = make_pacer(bytes_per_s, burst);
    std::string pending; // bytes for the host

    Loop l;
    l.b = &b;
    l.stopfd = stopfd;
    l.departs = false; // the line stays; the test program talks on it
    l.prepare = [&](Clock::time_point now) {
        while (!b.answers.empty()) {
            pending.append(b.answers.front().begin(), b.answers.front().end());
            b.answers.pop_front();
        }
        if (b.console == Console::Uart && b.talking && pending.size() < 4096) {
            program_refill(b, 4096);
            size_t n = std::min(b.out.size(), 4096 - pending.size());
            pending.append(b.out, 0, n);
            b.out.erase(0, n);
        }
        l.own = {l.present ? line.master : -1, 0, 0};
        Clock::time_point wake = kNever;
        if (l.present) {
            auto after = [&](const Pacer& p) {
                return now + std::chrono::milliseconds(pacer_wait_ms(p, now));
            };
            if (pacer_budget(in_pace, now) > 0)
                l.own.events |= POLLIN;
            else
                wake = after(in_pace);
            if (!pending.empty()) {
                if (pacer_budget(out_pace, now) > 0)
                    l.own.events |= POLLOUT;
                else
                    wake = std::min(wake, after(out_pace));
            }
        }
        return wake;
    };
    l.work = [&](Clock::time_point now) {
        if (now >= l.unplug_at)
            return; // nothing more goes over the line
        if (l.own.revents & POLLIN) {
            uint8_t buf[4096];
            size_t want = std::min<size_t>(sizeof buf, pacer_budget(in_pace, now));
            ssize_t n = read(line.master, buf, want);
            if (n > 0) {
                pacer_spend(in_pace, size_t(n), now);
                std::span<const uint8_t> data(buf, size_t(n));
                size_t used = 0;
                if (b.phase == Phase::Rom || b.phase == Phase::Image)
                    used = rom_stream(b, data);
                if (b.unplug) {
                    loop_unplug(l);
                    return;
                }
                if (b.start) {
                    loop_started(l);
                    if (b.console == Console::Uart)
                        program_link_up(b);
                }
                for (size_t i = used; i < data.size() && b.phase == Phase::Started; ++i) {
                    log_hex("RX", &data[i], 1, true);
                    if (b.console == Console::Uart)
                        program_key(b, data[i]);
                }
            }
        }
        if (!pending.empty() && (l.own.revents & POLLOUT)) {
            size_t want = std::min(pending.size(), pacer_budget(out_pace, now));
            ssize_t n = write(line.master, pending.data(), want);
            if (n > 0) {
                pacer_spend(out_pace, size_t(n), now);
                pending.erase(0, size_t(n));
            }
        }
    };
    l.leave = [&] {
        close_line(line);
        pending.clear();
    };
    run_loop(l);
    close_line(line);
    return 0;
}

} // namespace board
