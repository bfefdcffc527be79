// The board on the virtual USB bus: the bus side of the `usb` socket. The boot ROM's
// device takes frames and image on bulk OUT 0x01 and answers on bulk IN 0x82; at the
// start it detaches, and the test program attaches as a new device.
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

constexpr uint8_t kOutEp = 0x01, kInEp = 0x82;
constexpr uint16_t kMaxPacket = 512;
constexpr uint32_t kStatusGone = 1, kStatusBad = 2;
constexpr size_t kHeldBack = 64 * 1024; // console output waits while a peer lags this much

struct Job {
    int fd; // the peer that sent it; it may have gone by the time the job runs
    std::string msg;
    Clock::time_point due;
};

struct Bus {
    Board* b = nullptr;
    std::string path;
    int lfd = -1;
    std::vector<Peer> peers;
    std::deque<Job> jobs;
    Clock::time_point last_due{};
    bool present = true;    // the device is attached
    bool dead = false;      // unplugged: nothing is answered any more
    bool rom_device = true; // the attached device is the boot ROM's
    uint32_t devnum = 1;
    std::optional<Clock::time_point> depart_at, attach_at, unplug_at;
};

// How far the slowest peer is behind, in bytes.
size_t lag(const Bus& bus) {
    size_t n = 0;
    for (const Peer& p : bus.peers)
        n = std::max(n, p.queued_bytes);
    return n;
}

void broadcast(Bus& bus, const std::string& msg) {
    for (Peer& p : bus.peers)
        peer_send(p, msg);
}

std::string attach_msg(const Bus& bus) {
    std::string m = "A";
    put_le32(m, bus.devnum);
    put_le16(m, bus.b->chip->vendor_id);
    put_le16(m, bus.b->chip->product_id);
    m += char(0); // interface
    m += char(0); // alternate setting
    m += char(2); // endpoints
    for (uint8_t ep : {kOutEp, kInEp}) {
        m += char(ep);
        m += char(2); // bulk
        put_le16(m, kMaxPacket);
    }
    return m;
}

void detach(Bus& bus) {
    std::string m = "D";
    put_le32(m, bus.devnum);
    broadcast(bus, m);
    bus.present = false;
    log_line("GONE");
}

void attach(Bus& bus) {
    ++bus.devnum;
    bus.present = true;
    broadcast(bus, attach_msg(bus));
    log_line("BACK");
    log_line("READY usb");
}

void send_in(Bus& bus, const uint8_t* data, size_t n) {
    size_t off = 0;
    do {
        size_t part = std::min<size_t>(65536, n - off);
        std::string m = "I";
        put_le32(m, bus.devnum);
        m += char(kInEp);
        m.append(reinterpret_cast<const char*>(data) + off, part);
        broadcast(bus, m);
        off += part;
    } while (off < n);
}

void reply(Bus& bus, int fd, uint32_t seq, uint32_t status, uint32_t accepted) {
    std::string m = "R";
    put_le32(m, seq);
    put_le32(m, status);
    put_le32(m, accepted);
    for (Peer& p : bus.peers)
        if (p.fd == fd)
            peer_send(p, m);
}

void flush_answers(Bus& bus) {
    Board& b = *bus.b;
    while (!b.answers.empty()) {
        send_in(bus, b.answers.front().data(), b.answers.front().size());
        b.answers.pop_front();
    }
}

void on_start(Bus& bus) {
    Board& b = *bus.b;
    b.start = false;
    bus.depart_at = Clock::now() + kDepartureDelay;
    if (b.opt->unplug_during_relay_ms)
        bus.unplug_at = b.started_at + std::chrono::milliseconds(*b.opt->unplug_during_relay_ms);
}

// The boot ROM's device leaves; the test program's comes when its console is USB.
void depart(Bus& bus) {
    Board& b = *bus.b;
    const Options& opt = *b.opt;
    bus.depart_at.reset();
    detach(bus);
    bus.rom_device = false;
    if (b.console != Console::Usb)
        return;
    if (opt.never_reappear)
        log_line("the test program's device never appears (--never-reappear)");
    else
        bus.attach_at = Clock::now() + std::chrono::milliseconds(opt.reappear_after_ms);
}

// OUT data for the test program's device: the handshake word, then key words.
void program_out(Bus& bus, const std::string& data) {
    Board& b = *bus.b;
    log_hex("RX", data.data(), data.size(), true);
    static const char kHandshake[4] = {0x0D, char(0x90), 0x0D, char(0x90)};
    for (size_t k = 0; k + 4 <= data.size(); k += 4) {
        if (data.compare(k, 4, kHandshake, 4) == 0) {
            if (b.opt->no_handshake) {
                log_line("handshake word not answered (--no-handshake)");
                continue;
            }
            send_in(bus, reinterpret_cast<const uint8_t*>(kHandshake), 4);
            log_line("HANDSHAKE");
            program_link_up(b);
        } else if (b.talking) {
            program_key(b, uint8_t(data[k]));
        } else {
            log_line("word before the handshake ignored");
        }
    }
}

void run_job(Bus& bus, const Job& job) {
    Board& b = *bus.b;
    const std::string& m = job.msg;
    char type = m.empty() ? 0 : m[0];
    if (type == 'S' && m.size() >= 11) {
        uint32_t seq = le32_at(m, 1), dev = le32_at(m, 5);
        uint8_t iface = uint8_t(m[9]), alt = uint8_t(m[10]);
        if (bus.dead)
            return;
        uint32_t status = !bus.present || dev != bus.devnum ? kStatusGone
                          : iface != 0 || alt != 0          ? kStatusBad
                                                            : 0;
        log_line("set interface %u/%u on device %u: status %u", iface, alt, dev, status);
        reply(bus, job.fd, seq, status, 0);
        return;
    }
    if (type != 'O' || m.size() < 10) {
        log_line("REJECT bus message of %zu bytes, type 0x%02x", m.size(), uint8_t(type));
        return;
    }
    uint32_t seq = le32_at(m, 1), dev = le32_at(m, 5);
    uint8_t ep = uint8_t(m[9]);
    std::string data = m.substr(10);
    if (bus.dead) {
        log_line("OUT of %zu bytes not answered: the board is unplugged", data.size());
        return;
    }
    if (!bus.present || dev != bus.devnum) {
        log_line("REJECT OUT for device %u, which is not attached", dev);
        reply(bus, job.fd, seq, kStatusGone, 0);
        return;
    }
    if (ep != kOutEp) {
        log_line("REJECT OUT on endpoint 0x%02x", ep);
        reply(bus, job.fd, seq, kStatusBad, 0);
        return;
    }
    if (b.phase == Phase::Started && bus.rom_device) {
        log_line("OUT of %zu bytes after the start ignored: the boot ROM no longer listens",
                 data.size());
        reply(bus, job.fd, seq, 0, uint32_t(data.size()));
        return;
    }
    if (b.phase == Phase::Started) {
        program_out(bus, data);
        reply(bus, job.fd, seq, 0, uint32_t(data.size()));
        return;
    }
    size_t used = rom_stream(b, {reinterpret_cast<const uint8_t*>(data.data()), data.size()});
    flush_answers(bus);
    if (b.unplug) {
        b.unplug = false;
        bus.dead = true;
        detach(bus);
        return;
    }
    reply(bus, job.fd, seq, 0, uint32_t(data.size()));
    if (used < data.size())
        log_line("%zu bytes after the last frame ignored", data.size() - used);
    if (b.start)
        on_start(bus);
}

void take_messages(Bus& bus, Peer& p) {
    static std::vector<char> buf(65536 + 256);
    for (;;) {
        ssize_t n = recv(p.fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) {
            p.dead = true;
            return;
        }
        auto now = Clock::now();
        Job job{p.fd, std::string(buf.data(), size_t(n)), std::max(now, bus.last_due)};
        uint64_t rate = bus.b->opt->usb_rate;
        if (job.msg[0] == 'O' && rate && job.msg.size() > 10)
            job.due += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(double(job.msg.size() - 10) / double(rate)));
        bus.last_due = job.due;
        bus.jobs.push_back(std::move(job));
    }
}

} // namespace

int run_usb(Board& b, const std::string& dir, int sigfd) {
    Bus bus;
    bus.b = &b;
    bus.path = dir + "/usb";
    std::string err;
    bus.lfd = listen_at(bus.path, err);
    if (bus.lfd < 0) {
        log_line("%s", err.c_str());
        return 1;
    }
    log_line("READY usb");

    for (;;) {
        auto now = Clock::now();
        // The test program's output, one character per 4-byte word.
        if (b.talking && bus.present && !bus.dead) {
            if (lag(bus) < kHeldBack) {
                program_refill(b, 512);
                size_t n = std::min<size_t>(b.out.size(), 512);
                for (size_t i = 0; i < n; ++i) {
                    uint8_t w[4] = {uint8_t(b.out[i]), 0, 0, 0};
                    send_in(bus, w, 4);
                }
                b.out.erase(0, n);
            }
        }

        std::vector<pollfd> fds = {{sigfd, POLLIN, 0}, {bus.lfd, POLLIN, 0}};
        for (const Peer& p : bus.peers)
            fds.push_back({p.fd, short(POLLIN | (p.queue.empty() ? 0 : POLLOUT)), 0});
        Clock::time_point wake = Clock::time_point::max();
        if (!bus.jobs.empty())
            wake = bus.jobs.front().due;
        for (const auto& t : {bus.depart_at, bus.attach_at, bus.unplug_at})
            if (t)
                wake = std::min(wake, *t);
        // More output goes as soon as the peers keep up; else their POLLOUT wakes us.
        if (b.talking && program_has_output(b) && bus.present && !bus.dead && lag(bus) < kHeldBack)
            wake = now;
        if (poll_until(fds.data(), fds.size(), wake) < 0 && errno != EINTR)
            break;
        if ((fds[0].revents & POLLIN) && signalled(sigfd))
            break;
        if (fds[1].revents & POLLIN) {
            int fd;
            while ((fd = accept_peer(bus.lfd)) >= 0) {
                bus.peers.push_back(Peer{fd, {}, 0, false});
                log_line("bus connection");
                if (bus.present && !bus.dead)
                    peer_send(bus.peers.back(), attach_msg(bus));
            }
        }
        for (size_t i = 0; i < bus.peers.size() && i + 2 < fds.size(); ++i) {
            if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))
                take_messages(bus, bus.peers[i]);
        }

        now = Clock::now();
        while (!bus.jobs.empty() && bus.jobs.front().due <= now) {
            Job job = std::move(bus.jobs.front());
            bus.jobs.pop_front();
            run_job(bus, job);
        }
        if (bus.depart_at && now >= *bus.depart_at)
            depart(bus);
        if (bus.attach_at && now >= *bus.attach_at) {
            bus.attach_at.reset();
            attach(bus);
        }
        if (bus.unplug_at && now >= *bus.unplug_at) {
            bus.unplug_at.reset();
            bus.depart_at.reset();
            bus.attach_at.reset();
            log_line("UNPLUG");
            log_line("unplugged %u ms after the start (--unplug-during-relay)",
                     *b.opt->unplug_during_relay_ms);
            if (bus.present)
                detach(bus);
            else
                log_line("GONE");
            bus.dead = true;
        }
        for (Peer& p : bus.peers)
            peer_flush(p);
        std::erase_if(bus.peers, [](Peer& p) {
            if (!p.dead)
                return false;
            peer_close(p);
            log_line("bus connection closed");
            return true;
        });
    }
    for (Peer& p : bus.peers)
        peer_close(p);
    close(bus.lfd);
    unlink(bus.path.c_str());
    return 0;
}

} // namespace board
