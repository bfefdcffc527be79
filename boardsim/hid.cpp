// The board as a virtual HID device: the device side of the `hid-<target>` socket. Frames
// come in output reports with ID 1, image data with ID 2; every word goes back in an input
// report of its own. At the start the device vanishes, and the test program's device comes
// back in its place.
#include "boardsim/io.h"
#include "boardsim/log.h"
#include "boardsim/transports.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace board {
namespace {

constexpr size_t kReportLen = 65; // both ways, with the report ID byte
constexpr size_t kPayload = kReportLen - 1;
constexpr size_t kHeldBack = 64 * (kReportLen + 1);

struct Job {
    int fd;
    std::string msg;
};

struct Dev {
    Board* b = nullptr;
    std::string entry, path;
    int lfd = -1;
    std::vector<Peer> peers;
    std::deque<Job> jobs;
    std::deque<std::string> in_reports; // waiting for the pacer
    Pacer out_pace, in_pace;
    bool gone = false;
    bool dead = false;      // unplugged for good
    bool rom_device = true; // the device present is the boot ROM's
    bool greeted = false;
    std::optional<Clock::time_point> depart_at, back_at, unplug_at;
};

std::string hello(const Dev& d) {
    std::string m = "H";
    put_le16(m, d.b->chip->vendor_id);
    put_le16(m, d.b->chip->product_id);
    put_le16(m, kReportLen);
    put_le16(m, kReportLen);
    return m;
}

void queue_report(Dev& d, uint8_t id, const void* data, size_t n) {
    std::string r(kReportLen, '\0');
    r[0] = char(id);
    std::copy_n(static_cast<const char*>(data), std::min(n, kPayload), r.begin() + 1);
    d.in_reports.push_back(std::move(r));
}

void take_answers(Dev& d) {
    Board& b = *d.b;
    while (!b.answers.empty()) {
        const Bytes& u = b.answers.front();
        for (size_t off = 0; off < u.size(); off += kPayload)
            queue_report(d, 1, u.data() + off, std::min(kPayload, u.size() - off));
        b.answers.pop_front();
    }
}

bool appear(Dev& d) {
    std::string err;
    d.lfd = listen_at(d.path, err);
    if (d.lfd < 0) {
        log_line("%s", err.c_str());
        return false;
    }
    d.gone = false;
    log_line("READY %s", d.entry.c_str());
    return true;
}

void vanish(Dev& d, bool quiet = false) {
    unlink(d.path.c_str());
    if (d.lfd >= 0)
        close(d.lfd);
    d.lfd = -1;
    for (Peer& p : d.peers)
        peer_close(p);
    d.peers.clear();
    d.jobs.clear();
    d.in_reports.clear();
    d.gone = true;
    if (!quiet)
        log_line("GONE");
}

// The boot ROM's device leaves; the test program's comes back in its place.
void depart(Dev& d) {
    Board& b = *d.b;
    const Options& opt = *b.opt;
    d.depart_at.reset();
    for (Peer& p : d.peers)
        peer_drain(p, 1000); // the ROM's last word is still on its way
    vanish(d);
    d.rom_device = false;
    if (b.console != Console::Hid)
        return;
    if (opt.never_reappear)
        log_line("the test program's device never appears (--never-reappear)");
    else
        d.back_at = Clock::now() + std::chrono::milliseconds(opt.reappear_after_ms);
}

void program_report(Dev& d, const std::string& r) {
    Board& b = *d.b;
    log_hex("RX", r.data(), r.size(), true);
    if (uint8_t(r[0]) != 2) {
        log_line("REJECT report ID %u: the test program takes ID 2", uint8_t(r[0]));
        return;
    }
    uint8_t first = uint8_t(r[1]);
    if (d.greeted) {
        program_key(b, first);
    } else if (first != 0xA5) {
        log_line("report before the greeting ignored");
    } else if (b.opt->no_handshake) {
        log_line("greeting not taken (--no-handshake)");
    } else {
        d.greeted = true;
        log_line("GREETING");
        program_link_up(b);
    }
}

void run_job(Dev& d, const Job& job) {
    Board& b = *d.b;
    const std::string& m = job.msg;
    if (m.empty() || m[0] != 'O') {
        log_line("REJECT device message of %zu bytes, type 0x%02x", m.size(),
                 m.empty() ? 0 : uint8_t(m[0]));
        return;
    }
    std::string report = m.substr(1);
    if (report.size() != kReportLen) {
        log_line("REJECT output report of %zu bytes: the device takes %zu", report.size(),
                 kReportLen);
    } else if (b.phase == Phase::Started && d.rom_device) {
        log_line("report after the start ignored: the boot ROM no longer listens");
    } else if (b.phase == Phase::Started) {
        program_report(d, report);
    } else if (b.phase != Phase::Unplugged) {
        rom_report(b, {reinterpret_cast<const uint8_t*>(report.data()), report.size()});
        take_answers(d);
        if (b.unplug) {
            b.unplug = false;
            d.dead = true;
            vanish(d);
            return;
        }
        if (b.start) {
            b.start = false;
            d.depart_at = Clock::now() + kDepartureDelay;
            if (b.opt->unplug_during_relay_ms)
                d.unplug_at =
                    b.started_at + std::chrono::milliseconds(*b.opt->unplug_during_relay_ms);
        }
    }
    for (Peer& p : d.peers)
        if (p.fd == job.fd)
            peer_send(p, "A");
}

void take_messages(Dev& d, Peer& p) {
    char buf[1024];
    for (;;) {
        ssize_t n = recv(p.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) {
            p.dead = true;
            return;
        }
        d.jobs.push_back(Job{p.fd, std::string(buf, size_t(n))});
    }
}

} // namespace

int run_hid(Board& b, const std::string& dir, int sigfd) {
    const Options& opt = *b.opt;
    Dev d;
    d.b = &b;
    d.entry = std::string("hid-") + b.chip->name;
    d.path = dir + "/" + d.entry;
    double per_s = opt.hid_interval_us ? 1e6 / opt.hid_interval_us : 0;
    d.out_pace = make_frame_pacer(per_s);
    d.in_pace = make_frame_pacer(per_s);
    if (!appear(d))
        return 1;

    for (;;) {
        auto now = Clock::now();
        if (b.talking && !d.gone && d.in_reports.size() < 8) {
            program_refill(b, 4 * kPayload);
            while (!b.out.empty() && d.in_reports.size() < 8) {
                size_t n = std::min(b.out.size(), kPayload);
                queue_report(d, 2, b.out.data(), n);
                b.out.erase(0, n);
            }
        }
        size_t lag = 0;
        for (const Peer& p : d.peers)
            lag = std::max(lag, p.queued_bytes);
        while (!d.in_reports.empty() && lag < kHeldBack && pacer_budget(d.in_pace, now) > 0) {
            std::string m = "I" + d.in_reports.front();
            d.in_reports.pop_front();
            for (Peer& p : d.peers)
                peer_send(p, m);
            pacer_spend(d.in_pace, 1, now);
        }

        std::vector<pollfd> fds = {{sigfd, POLLIN, 0}, {d.gone ? -1 : d.lfd, POLLIN, 0}};
        for (const Peer& p : d.peers)
            fds.push_back({p.fd, short(POLLIN | (p.queue.empty() ? 0 : POLLOUT)), 0});
        Clock::time_point wake = Clock::time_point::max();
        if (!d.jobs.empty())
            wake = pacer_ready_at(d.out_pace, now);
        // A lagging peer wakes us with POLLOUT once it takes more.
        if (!d.in_reports.empty() && lag < kHeldBack)
            wake = std::min(wake, pacer_ready_at(d.in_pace, now));
        if (b.talking && program_has_output(b) && !d.gone && d.in_reports.size() < 8)
            wake = now;
        // The departure waits for the last words; their pacer wakes us meanwhile.
        if (d.depart_at && d.in_reports.empty())
            wake = std::min(wake, *d.depart_at);
        if (d.back_at)
            wake = std::min(wake, *d.back_at);
        if (d.unplug_at)
            wake = std::min(wake, *d.unplug_at);
        if (poll_until(fds.data(), fds.size(), wake) < 0 && errno != EINTR)
            break;
        if ((fds[0].revents & POLLIN) && signalled(sigfd))
            break;
        if (!d.gone && (fds[1].revents & POLLIN)) {
            int fd;
            while ((fd = accept_peer(d.lfd)) >= 0) {
                d.peers.push_back(Peer{fd, {}, 0, false});
                peer_send(d.peers.back(), hello(d));
            }
        }
        for (size_t i = 0; i < d.peers.size() && i + 2 < fds.size(); ++i)
            if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))
                take_messages(d, d.peers[i]);

        now = Clock::now();
        while (!d.jobs.empty() && pacer_budget(d.out_pace, now) > 0) {
            Job job = std::move(d.jobs.front());
            d.jobs.pop_front();
            pacer_spend(d.out_pace, 1, now);
            run_job(d, job);
        }
        if (d.depart_at && now >= *d.depart_at && d.in_reports.empty())
            depart(d);
        if (d.back_at && now >= *d.back_at) {
            d.back_at.reset();
            log_line("BACK");
            appear(d);
        }
        if (d.unplug_at && now >= *d.unplug_at) {
            d.unplug_at.reset();
            d.depart_at.reset();
            d.back_at.reset();
            log_line("UNPLUG");
            log_line("unplugged %u ms after the start (--unplug-during-relay)",
                     *opt.unplug_during_relay_ms);
            if (d.gone)
                log_line("GONE");
            else
                vanish(d);
            d.dead = true;
        }
        for (Peer& p : d.peers)
            peer_flush(p);
        std::erase_if(d.peers, [](Peer& p) {
            if (!p.dead)
                return false;
            peer_close(p);
            return true;
        });
    }
    if (!d.gone)
        vanish(d, true);
    return 0;
}

} // namespace board
