// The board on the virtual USB bus: the bus side of the `usb` socket. The boot ROM's
// device takes frames and image on bulk OUT 0x01 and answers on bulk IN 0x82; at the
// start it detaches, and the test program attaches as a new device.
#include "boardsim/log.h"
#include "boardsim/loop.h"
#include "boardsim/transports.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace board {
namespace {

constexpr uint8_t kOutEp = 0x01, kInEp = 0x82;
constexpr uint16_t kMaxPacket = 512;
constexpr uint32_t kStatusGone = 1, kStatusBad = 2;
constexpr size_t kHeldBack = 64 * 1024; // console output waits while a peer lags this much

struct Bus {
    Loop l;
    uint32_t devnum = 1;
};

std::string attach_msg(const Bus& bus) {
    std::string m = "A";
    put_le32(m, bus.devnum);
    put_le16(m, bus.l.b->chip->vendor_id);
    put_le16(m, bus.l.b->chip->product_id);
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
    broadcast(bus.l, m);
}

bool attach(Bus& bus) {
    ++bus.devnum;
    broadcast(bus.l, attach_msg(bus));
    log_line("BACK");
    log_line("READY usb");
    return true;
}

void send_in(Bus& bus, const uint8_t* data, size_t n) {
    size_t off = 0;
    do {
        size_t part = std::min<size_t>(65536, n - off);
        std::string m = "I";
        put_le32(m, bus.devnum);
        m += char(kInEp);
        m.append(reinterpret_cast<const char*>(data) + off, part);
        broadcast(bus.l, m);
        off += part;
    } while (off < n);
}

void reply(Bus& bus, int fd, uint32_t seq, uint32_t status, uint32_t accepted) {
    std::string m = "R";
    put_le32(m, seq);
    put_le32(m, status);
    put_le32(m, accepted);
    send_to(bus.l, fd, m);
}

void flush_answers(Bus& bus) {
    Board& b = *bus.l.b;
    while (!b.answers.empty()) {
        send_in(bus, b.answers.front().data(), b.answers.front().size());
        b.answers.pop_front();
    }
}

// OUT data for the test program's device: the handshake word, then key words.
void program_out(Bus& bus, const std::string& data) {
    Board& b = *bus.l.b;
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
    Loop& l = bus.l;
    Board& b = *l.b;
    const std::string& m = job.msg;
    char type = m.empty() ? 0 : m[0];
    if (type == 'S' && m.size() >= 11) {
        uint32_t seq = le32_at(m, 1), dev = le32_at(m, 5);
        uint8_t iface = uint8_t(m[9]), alt = uint8_t(m[10]);
        if (l.dead)
            return;
        uint32_t status = !l.present || dev != bus.devnum ? kStatusGone
                          : iface != 0 || alt != 0        ? kStatusBad
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
    if (l.dead) {
        log_line("OUT of %zu bytes not answered: the board is unplugged", data.size());
        return;
    }
    if (!l.present || dev != bus.devnum) {
        log_line("REJECT OUT for device %u, which is not attached", dev);
        reply(bus, job.fd, seq, kStatusGone, 0);
        return;
    }
    if (ep != kOutEp) {
        log_line("REJECT OUT on endpoint 0x%02x", ep);
        reply(bus, job.fd, seq, kStatusBad, 0);
        return;
    }
    if (b.phase == Phase::Started && l.rom_device) {
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
        loop_unplug(l);
        return;
    }
    reply(bus, job.fd, seq, 0, uint32_t(data.size()));
    if (used < data.size())
        log_line("%zu bytes after the last frame ignored", data.size() - used);
    if (b.start)
        loop_started(l);
}

} // namespace

int run_usb(Board& b, const std::string& dir, int sigfd) {
    Bus bus;
    Loop& l = bus.l;
    l.b = &b;
    l.sigfd = sigfd;
    l.path = dir + "/usb";
    std::string err;
    l.lfd = listen_at(l.path, err);
    if (l.lfd < 0) {
        log_line("%s", err.c_str());
        return 1;
    }
    log_line("READY usb");

    l.console = Console::Usb;
    l.max_message = 65536 + 256;
    l.peer_gone_line = "bus connection closed";
    l.prepare = [&](Clock::time_point now) {
        bool open = b.talking && l.present && !l.dead;
        // The test program's output, one character per 4-byte word.
        if (open && lag(l) < kHeldBack) {
            program_refill(b, 512);
            size_t n = std::min<size_t>(b.out.size(), 512);
            for (size_t i = 0; i < n; ++i) {
                uint8_t w[4] = {uint8_t(b.out[i]), 0, 0, 0};
                send_in(bus, w, 4);
            }
            b.out.erase(0, n);
        }
        // More output goes as soon as the peers keep up; else their POLLOUT wakes us.
        return open && program_has_output(b) && lag(l) < kHeldBack ? now : kNever;
    };
    l.on_connect = [&](Peer& p) {
        log_line("bus connection");
        if (l.present && !l.dead)
            peer_send(p, attach_msg(bus));
    };
    l.transfer_time = [&](const std::string& m) -> Clock::duration {
        uint64_t rate = b.opt->usb_rate;
        if (m[0] != 'O' || !rate || m.size() <= 10)
            return {};
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(double(m.size() - 10) / double(rate)));
    };
    l.on_job = [&](const Job& job) { run_job(bus, job); };
    l.leave = [&] { detach(bus); };
    l.arrive = [&] { return attach(bus); };
    run_loop(l);
    close_socket(l);
    return 0;
}

} // namespace board
