// The board on a serial line: a pseudo-terminal whose slave the host opens through the
// comN link. The same line carries the boot ROM and the test program.
#include "boardsim/io.h"
#include "boardsim/log.h"
#include "boardsim/transports.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace board {
namespace {

struct Line {
    int master = -1;
    int slave = -1; // held open, so the line does not hang up while the host has it closed
    std::string link;
    std::string entry;
};

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

    for (int n = opt.com ? opt.com : 1;; ++n) {
        l.entry = "com" + std::to_string(n);
        l.link = dir + "/" + l.entry;
        if (symlink(pts.c_str(), l.link.c_str()) == 0)
            return true;
        if (errno != EEXIST) {
            err = "cannot create " + l.link + ": " + strerror(errno);
            return false;
        }
        if (opt.com) {
            // A link left by a board that was killed points nowhere: take its place.
            struct stat st;
            if (stat(l.link.c_str(), &st) != 0 && unlink(l.link.c_str()) == 0 &&
                symlink(pts.c_str(), l.link.c_str()) == 0)
                return true;
            err = l.link + " already exists";
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
    l.master = l.slave = -1;
}

} // namespace

int run_serial(Board& b, const std::string& dir, int sigfd) {
    const Options& opt = *b.opt;
    Line line;
    std::string err;
    if (!open_line(line, opt, dir, err)) {
        log_line("%s", err.c_str());
        close_line(line);
        return 1;
    }
    log_line("READY %s", line.entry.c_str());

    // 8N1: ten bit times per byte; bursts of about 5 ms keep the loop calm.
    double bytes_per_s = opt.baud / 10.0;
    size_t burst = opt.baud ? std::max<size_t>(1, size_t(bytes_per_s * 0.005)) : 1;
    Pacer in_pace = make_pacer(bytes_per_s, burst), out_pace = make_pacer(bytes_per_s, burst);
    std::string pending; // bytes for the host
    // time_point::max() while no unplug is due (an optional here trips GCC's
    // maybe-uninitialized warning at -O3).
    Clock::time_point unplug_at = Clock::time_point::max();
    bool gone = false;

    auto vanish = [&] {
        close_line(line);
        pending.clear();
        gone = true;
        log_line("GONE");
    };

    for (;;) {
        auto now = Clock::now();
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

        pollfd fds[2] = {{sigfd, POLLIN, 0}, {-1, 0, 0}};
        int timeout = -1;
        if (!gone) {
            fds[1].fd = line.master;
            if (pacer_budget(in_pace, now) > 0)
                fds[1].events |= POLLIN;
            else
                timeout = min_timeout(timeout, pacer_wait_ms(in_pace, now));
            if (!pending.empty()) {
                if (pacer_budget(out_pace, now) > 0)
                    fds[1].events |= POLLOUT;
                else
                    timeout = min_timeout(timeout, pacer_wait_ms(out_pace, now));
            }
            if (unplug_at != Clock::time_point::max())
                timeout = min_timeout(timeout, ms_until(unplug_at, now));
        }
        if (poll(fds, 2, timeout) < 0 && errno != EINTR)
            break;
        if ((fds[0].revents & POLLIN) && signalled(sigfd))
            break;
        if (gone)
            continue;
        now = Clock::now();
        if (now >= unplug_at) {
            log_line("UNPLUG");
            log_line("unplugged %u ms after the start (--unplug-during-relay)",
                     *opt.unplug_during_relay_ms);
            unplug_at = Clock::time_point::max();
            vanish();
            continue;
        }
        if (fds[1].revents & POLLIN) {
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
                    b.unplug = false;
                    vanish();
                    continue;
                }
                if (b.start) {
                    b.start = false;
                    if (b.console == Console::Uart)
                        program_link_up(b);
                    if (opt.unplug_during_relay_ms)
                        unplug_at =
                            b.started_at + std::chrono::milliseconds(*opt.unplug_during_relay_ms);
                }
                for (size_t i = used; i < data.size() && b.phase == Phase::Started; ++i) {
                    log_hex("RX", &data[i], 1, true);
                    if (b.console == Console::Uart)
                        program_key(b, data[i]);
                }
            }
        }
        if (!pending.empty() && (fds[1].revents & POLLOUT)) {
            size_t want = std::min(pending.size(), pacer_budget(out_pace, now));
            ssize_t n = write(line.master, pending.data(), want);
            if (n > 0) {
                pacer_spend(out_pace, size_t(n), now);
                pending.erase(0, size_t(n));
            }
        }
    }
    close_line(line);
    return 0;
}

} // namespace board
