// The board on a serial line: a pseudo-terminal whose slave the host opens through the
// comN link. The same line carries the boot ROM and the test program.
#include "boardsim/log.h"
#include "boardsim/loop.h"
#include "boardsim/transports.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

    Loop l;
    l.b = &b;
    l.sigfd = sigfd;
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
