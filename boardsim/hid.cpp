// The board as a virtual HID device: the device side of the `hid-<target>` socket. Frames
// come in output reports with ID 1, image data with ID 2; every word goes back in an input
// report of its own. At the start the device vanishes, and the test program's device comes
// back in its place.
#include "boardsim/log.h"
#include "boardsim/loop.h"
#include "boardsim/transports.h"

#include <algorithm>
#include <vector>

namespace board {
namespace {

constexpr size_t kReportLen = 65; // both ways, with the report ID byte
constexpr size_t kPayload = kReportLen - 1;
constexpr size_t kHeldBack = 64 * (kReportLen + 1);

struct Dev {
    Loop l;
    std::string entry;
    std::deque<std::string> in_reports; // waiting for the pacer
    Pacer in_pace;
    bool greeted = false;
};

std::string hello(const Dev& d) {
    std::string m = "H";
    put_le16(m, d.l.b->chip->vendor_id);
    put_le16(m, d.l.b->chip->product_id);
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
    Board& b = *d.l.b;
    while (!b.answers.empty()) {
        const Bytes& u = b.answers.front();
        for (size_t off = 0; off < u.size(); off += kPayload)
            queue_report(d, 1, u.data() + off, std::min(kPayload, u.size() - off));
        b.answers.pop_front();
    }
}

bool appear(Dev& d) {
    std::string err;
    d.l.lfd = listen_at(d.l.path, err);
    if (d.l.lfd < 0) {
        log_line("%s", err.c_str());
        return false;
    }
    log_line("READY %s", d.entry.c_str());
    return true;
}

void vanish(Dev& d) {
    close_socket(d.l);
    d.l.jobs.clear();
    d.in_reports.clear();
}

void program_report(Dev& d, const std::string& r) {
    Board& b = *d.l.b;
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
    Loop& l = d.l;
    Board& b = *l.b;
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
    } else if (b.phase == Phase::Started && l.rom_device) {
        log_line("report after the start ignored: the boot ROM no longer listens");
    } else if (b.phase == Phase::Started) {
        program_report(d, report);
    } else if (b.phase != Phase::Unplugged) {
        rom_report(b, {reinterpret_cast<const uint8_t*>(report.data()), report.size()});
        take_answers(d);
        if (b.unplug) {
            loop_unplug(l);
            return;
        }
        if (b.start)
            loop_started(l);
    }
    send_to(l, job.fd, "A");
}

} // namespace

int run_hid(Board& b, const std::string& dir, int sigfd) {
    const Options& opt = *b.opt;
    Dev d;
    Loop& l = d.l;
    l.b = &b;
    l.sigfd = sigfd;
    d.entry = std::string("hid-") + b.chip->name;
    l.path = dir + "/" + d.entry;
    double per_s = opt.hid_interval_us ? 1e6 / opt.hid_interval_us : 0;
    l.job_pace = make_frame_pacer(per_s);
    d.in_pace = make_frame_pacer(per_s);
    if (!appear(d))
        return 1;

    l.console = Console::Hid;
    l.drain_on_departure = true;
    l.max_message = 1024;
    l.prepare = [&](Clock::time_point now) {
        if (b.talking && l.present && d.in_reports.size() < 8) {
            program_refill(b, 4 * kPayload);
            while (!b.out.empty() && d.in_reports.size() < 8) {
                size_t n = std::min(b.out.size(), kPayload);
                queue_report(d, 2, b.out.data(), n);
                b.out.erase(0, n);
            }
        }
        size_t behind = lag(l);
        while (!d.in_reports.empty() && behind < kHeldBack && pacer_budget(d.in_pace, now) > 0) {
            broadcast(l, "I" + d.in_reports.front());
            d.in_reports.pop_front();
            pacer_spend(d.in_pace, 1, now);
        }
        Clock::time_point wake = kNever;
        // A lagging peer wakes us with POLLOUT once it takes more.
        if (!d.in_reports.empty() && behind < kHeldBack)
            wake = pacer_ready_at(d.in_pace, now);
        if (b.talking && program_has_output(b) && l.present && d.in_reports.size() < 8)
            wake = now;
        return wake;
    };
    l.on_connect = [&](Peer& p) { peer_send(p, hello(d)); };
    l.on_job = [&](const Job& job) { run_job(d, job); };
    l.leave = [&] { vanish(d); };
    l.arrive = [&] {
        log_line("BACK");
        return appear(d);
    };
    // The departure waits for the last words; their pacer wakes us meanwhile.
    l.holding = [&] { return !d.in_reports.empty(); };
    run_loop(l);
    if (l.present)
        vanish(d);
    return 0;
}

} // namespace board
