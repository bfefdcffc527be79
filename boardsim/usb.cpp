// The board as a USB device behind the kernel's usbfs interface, emulated in the board's test
// bed: a usb_device with its descriptors and a node whose ioctls submit, reap and discard the
// host's transfers (URBs). The boot ROM's device takes frames and image on bulk OUT 0x01 and
// answers on bulk IN 0x82; at the start it detaches, and the test program attaches as a new
// device.
//
// The node's readiness is kept honest: usbfs tells a host that a URB can be reaped through
// POLLOUT, and umockdev's plain file would be always ready, so the host would spin. The node
// is a FIFO instead, kept full (not writable) while nothing is to be reaped.
#include "boardsim/log.h"
#include "boardsim/loop.h"
#include "boardsim/testbed.h"
#include "boardsim/transports.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace board {
namespace {

constexpr uint8_t kOutEp = 0x01, kInEp = 0x82;
constexpr size_t kMaxPacket = 512;
// Console output waits while this many IN transfers are queued and not taken.
constexpr size_t kHeldBack = 256;
constexpr size_t kPage = 4096; // one slot of the FIFO
constexpr auto kToldWait = std::chrono::milliseconds(200);

// One URB of the host's, resolved into the board: it is synced back on reap.
struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buf = nullptr; // null for zero length
    unsigned long addr = 0;           // the URB's address in the host: DISCARDURB names it
    Clock::time_point submitted{};    // the line starts carrying an OUT URB from here
    std::string out;                  // an OUT URB's data
    usbdevfs_urb* operator->() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
};

// One appearance of the device: its node and the host's URBs on it. The URB queues are
// shared between umockdev's worker thread (submit, reap, discard) and the board's loop.
struct Node {
    std::string devnode, syspath;
    unsigned devnum = 0;
    std::mutex m;
    bool gone = false;
    bool gone_told = false;       // a reap has failed with ENODEV since
    std::deque<Urb> out_waiting;  // OUT URBs not yet taken into the loop
    std::map<int, Urb> out_taken; // by job: their data is on its way into the board
    std::deque<Urb> in_waiting;
    std::deque<Urb> done; // to be reaped
    // IN transfers the device has to send, each ending with a short packet; the front one
    // may be partly taken.
    std::deque<std::string> in_units;
    size_t in_front_used = 0;
    int fifo = -1;               // the board's end of the node
    bool readable_token = false; // a FIFO slot is free: the host sees POLLOUT
    int wake = -1;
    LogSink* log = nullptr; // its board's, for what the host's calls make the board log
};

struct Dev {
    Loop l;
    Node* cur = nullptr;
    std::vector<std::unique_ptr<Node>> nodes; // handlers outlive their node
    int wake = -1;
    int next_job = 1;
    // A device that has gone stays in the bed until its host has reaped what the disconnect
    // ended and been told (or a while has passed): its handler must answer until then.
    Node* leaving = nullptr;
    Clock::time_point leave_by = kNever;
};

std::array<uint8_t, 50> descriptors(const Chip& chip) {
    const uint16_t v = chip.vendor_id, p = chip.product_id;
    return {18,
            1,
            0x00,
            0x02,
            0xFF,
            0,
            0,
            64,
            uint8_t(v),
            uint8_t(v >> 8),
            uint8_t(p),
            uint8_t(p >> 8),
            0x00,
            0x01,
            0,
            0,
            0,
            1, // device
            9,
            2,
            32,
            0,
            1,
            1,
            0,
            0x80,
            50, // configuration 1
            9,
            4,
            0,
            0,
            2,
            0xFF,
            0,
            0,
            0, // interface 0, vendor class
            7,
            5,
            kOutEp,
            2,
            kMaxPacket & 0xFF,
            kMaxPacket >> 8,
            0, // bulk OUT
            7,
            5,
            kInEp,
            2,
            kMaxPacket & 0xFF,
            kMaxPacket >> 8,
            0}; // bulk IN
}

// The kernel's view of one appearance. Text attributes end with a line feed, as sysfs's do.
std::string record(const Node& n, const Chip& chip, const std::string& port) {
    char text[512];
    const unsigned minor = n.devnum - 1;
    snprintf(text, sizeof text,
             "E: DEVNAME=%s\nE: MAJOR=189\nE: MINOR=%u\n"
             "E: PRODUCT=%x/%x/100\nE: ID_VENDOR_ID=%04x\nE: ID_MODEL_ID=%04x\n"
             "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: speed=480\\n\n"
             "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\nA: dev=189:%u\\n\n",
             n.devnode.c_str(), minor, chip.vendor_id, chip.product_id, chip.vendor_id,
             chip.product_id, chip.vendor_id, chip.product_id, minor);
    auto d = descriptors(chip);
    return testbed_usb_record(port, n.devnum, text) +
           "H: descriptors=" + testbed_hex(d.data(), d.size()) + "\n";
}

void wake(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t rc = ::write(fd, &one, sizeof one);
}

// The host may reap when something is done (or the device is gone): a free FIFO slot.
// Caller holds n.m.
void show_readiness(Node& n) {
    // A gone node stays ready until a reap has told the host so: a kernel would show POLLERR
    // instead, which the host stops polling for, but a FIFO cannot, and a host that polled a
    // ready node until its own hot-plug handling closed it would spin meanwhile.
    bool want = !n.done.empty() || (n.gone && !n.gone_told);
    if (want == n.readable_token)
        return;
    static std::array<char, kPage> page{};
    ssize_t rc =
        want ? ::read(n.fifo, page.data(), page.size()) : ::write(n.fifo, page.data(), page.size());
    if (rc == ssize_t(kPage))
        n.readable_token = want;
}

// Caller holds n.m.
void finish(Node& n, Urb u, int status, int actual) {
    u->status = status;
    u->actual_length = actual;
    n.done.push_back(u);
    show_readiness(n);
}

void release(Urb& u) {
    if (u.buf)
        g_object_unref(u.buf);
    g_object_unref(u.urb);
}

// IN URBs take the device's transfers: up to their length, ending at a short packet. A URB
// that cannot take a whole packet overflows, as on the wire. Caller holds n.m.
void serve_in(Node& n) {
    while (!n.in_waiting.empty() && !n.in_units.empty()) {
        Urb u = n.in_waiting.front();
        n.in_waiting.pop_front();
        const std::string& unit = n.in_units.front();
        size_t left = unit.size() - n.in_front_used, cap = size_t(u->buffer_length);
        size_t take = std::min(left, cap);
        if (take)
            std::memcpy(u.buf->data, unit.data() + n.in_front_used, take);
        bool overflow = left > cap && cap % kMaxPacket != 0;
        n.in_front_used += take;
        if (n.in_front_used == unit.size()) {
            n.in_units.pop_front();
            n.in_front_used = 0;
        }
        finish(n, u, overflow ? -EOVERFLOW : 0, int(take));
    }
}

long submit(Node& n, UMockdevIoctlData* arg, int* err) {
    const Clock::time_point submitted = Clock::now();
    GError* e = nullptr;
    Urb u;
    u.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &e);
    if (!u.urb) {
        g_clear_error(&e);
        *err = EFAULT;
        return -1;
    }
    u.addr = u.urb->client_addr;
    u.submitted = submitted;
    if (u->type != USBDEVFS_URB_TYPE_BULK || (u->endpoint != kOutEp && u->endpoint != kInEp) ||
        u->buffer_length < 0) {
        log_line("REJECT URB of type %u on endpoint 0x%02x", u->type, u->endpoint);
        g_object_unref(u.urb);
        *err = EINVAL;
        return -1;
    }
    if (u->buffer_length > 0) {
        u.buf = umockdev_ioctl_data_resolve(u.urb, offsetof(usbdevfs_urb, buffer),
                                            size_t(u->buffer_length), &e);
        if (!u.buf) {
            g_clear_error(&e);
            g_object_unref(u.urb);
            *err = EFAULT;
            return -1;
        }
    }
    if (u->endpoint == kOutEp && u.buf)
        u.out.assign(reinterpret_cast<const char*>(u.buf->data), u.buf->data_len);
    std::lock_guard<std::mutex> lk(n.m);
    if (u->endpoint == kInEp) {
        // What the device has queued goes at once; the loop serves the rest as it comes.
        n.in_waiting.push_back(u);
        serve_in(n);
        return 0;
    }
    n.out_waiting.push_back(u);
    wake(n.wake);
    return 0;
}

long reap(Node& n, UMockdevIoctlData* arg, int* err) {
    std::lock_guard<std::mutex> lk(n.m);
    if (n.done.empty()) {
        *err = n.gone ? ENODEV : EAGAIN;
        if (n.gone && !n.gone_told) {
            n.gone_told = true;
            show_readiness(n);
            wake(n.wake); // the loop may drop the device now
        }
        return -1;
    }
    Urb u = n.done.front();
    n.done.pop_front();
    GError* e = nullptr;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &e);
    g_clear_error(&e);
    if (slot) {
        umockdev_ioctl_data_set_ptr(slot, 0, u.urb); // the URB and its buffer go back
        g_object_unref(slot);
    }
    release(u);
    show_readiness(n);
    return 0;
}

// An URB the host gives up (its timeout): it ends with -ENOENT, its data not taken.
long discard(Node& n, UMockdevIoctlData* arg, int* err) {
    unsigned long addr = *reinterpret_cast<unsigned long*>(arg->data);
    std::lock_guard<std::mutex> lk(n.m);
    for (auto* q : {&n.in_waiting, &n.out_waiting})
        for (auto it = q->begin(); it != q->end(); ++it)
            if (it->addr == addr) {
                Urb u = *it;
                q->erase(it);
                finish(n, u, -ENOENT, 0);
                return 0;
            }
    for (auto it = n.out_taken.begin(); it != n.out_taken.end(); ++it)
        if (it->second.addr == addr) {
            Urb u = it->second;
            n.out_taken.erase(it);
            finish(n, u, -ENOENT, 0);
            return 0;
        }
    *err = EINVAL; // already done: the host reaps it
    return -1;
}

uint32_t* u32_arg(UMockdevIoctlData* arg, UMockdevIoctlData** hold) {
    GError* e = nullptr;
    *hold = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &e);
    g_clear_error(&e);
    return *hold ? reinterpret_cast<uint32_t*>((*hold)->data) : nullptr;
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer ctx) {
    auto& n = *static_cast<Node*>(ctx);
    log_use(n.log);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    UMockdevIoctlData* hold = nullptr;
    unsigned long req = umockdev_ioctl_client_get_request(c);
    long res = 0;
    int err = 0;
    bool gone;
    {
        std::lock_guard<std::mutex> lk(n.m);
        gone = n.gone;
    }
    if (gone && req != USBDEVFS_REAPURBNDELAY && req != USBDEVFS_DISCARDURB) {
        res = -1, err = ENODEV;
    } else if (req == USBDEVFS_GET_CAPABILITIES) {
        // Without the bulk limits a transfer is one URB, however long.
        if (uint32_t* caps = u32_arg(arg, &hold))
            *caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                    USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                    USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    } else if (req == USBDEVFS_CLAIMINTERFACE || req == USBDEVFS_RELEASEINTERFACE) {
        uint32_t* iface = u32_arg(arg, &hold);
        if (!iface || *iface != 0)
            res = -1, err = EINVAL;
    } else if (req == USBDEVFS_SETINTERFACE) {
        GError* e = nullptr;
        hold = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), &e);
        g_clear_error(&e);
        auto* s = hold ? reinterpret_cast<usbdevfs_setinterface*>(hold->data) : nullptr;
        if (!s || s->interface != 0 || s->altsetting != 0)
            res = -1, err = EINVAL;
        log_line("set interface %u/%u on device %u: %s", s ? s->interface : 0,
                 s ? s->altsetting : 0, n.devnum, res ? "refused" : "done");
    } else if (req == USBDEVFS_SUBMITURB) {
        res = submit(n, arg, &err);
    } else if (req == USBDEVFS_REAPURBNDELAY) {
        res = reap(n, arg, &err);
    } else if (req == USBDEVFS_DISCARDURB) {
        res = discard(n, arg, &err);
    } else {
        res = -1, err = ENOTTY;
    }
    if (hold)
        g_object_unref(hold);
    umockdev_ioctl_client_complete(c, res, err);
    return TRUE;
}

// The node: a FIFO, full from the start, made before the device is announced (a host that
// opened umockdev's own node, a plain file, would find it always ready).
bool make_fifo(Node& n, std::string& err) {
    std::string path = testbed_path(n.devnode);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (mkfifo(path.c_str(), 0600) != 0) {
        err = "cannot make " + path + " a FIFO: " + strerror(errno);
        return false;
    }
    n.fifo = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (n.fifo < 0) {
        err = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    static std::array<char, kPage> page{};
    while (::write(n.fifo, page.data(), page.size()) == ssize_t(kPage)) {
    }
    return true;
}

bool appear(Dev& d) {
    Board& b = *d.l.b;
    auto n = std::make_unique<Node>();
    n->devnum = testbed_next_devnum();
    n->log = log_current();
    char node[32];
    snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", n->devnum);
    n->devnode = node;
    n->syspath = testbed_usb_syspath(b.opt->port);
    n->wake = d.wake;
    std::string err;
    if (!testbed_attach(n->devnode, G_CALLBACK(on_ioctl), nullptr, nullptr, n.get(), err) ||
        !make_fifo(*n, err) || !testbed_add(record(*n, *b.chip, b.opt->port), err)) {
        log_error("cannot add %s: %s", node, err.c_str());
        return false;
    }
    log_line("READY %s (%s %04x:%04x) on port %s", node, b.chip->name, b.chip->vendor_id,
             b.chip->product_id, b.opt->port.c_str());
    d.cur = n.get();
    d.nodes.push_back(std::move(n));
    return true;
}

// The device leaves: the host's URBs end as the kernel ends them at a disconnect.
void vanish(Dev& d) {
    Node* n = d.cur;
    if (!n)
        return;
    {
        std::lock_guard<std::mutex> lk(n->m);
        n->gone = true;
        for (auto* q : {&n->in_waiting, &n->out_waiting})
            for (Urb& u : *q)
                finish(*n, u, -ESHUTDOWN, 0);
        for (auto& [id, u] : n->out_taken)
            finish(*n, u, -ESHUTDOWN, 0);
        n->in_waiting.clear();
        n->out_waiting.clear();
        n->out_taken.clear();
        n->in_units.clear();
        show_readiness(*n);
    }
    testbed_announce_removal(n->syspath);
    d.l.jobs.clear();
    d.cur = nullptr;
    d.leaving = n;
    d.leave_by = Clock::now() + kToldWait;
}

// The gone device's entries go. Its node is left not ready: umockdev's default handler
// answers the host's descriptors from now on, and it knows nothing of the end.
void drop_leaving(Dev& d) {
    Node* n = std::exchange(d.leaving, nullptr);
    d.leave_by = kNever;
    if (!n)
        return;
    testbed_drop(n->syspath);
    std::lock_guard<std::mutex> lk(n->m);
    n->done.clear();
    n->gone_told = true;
    show_readiness(*n);
}

bool told(Dev& d) {
    std::lock_guard<std::mutex> lk(d.leaving->m);
    return d.leaving->gone_told;
}

void send_in(Dev& d, const uint8_t* data, size_t n) {
    if (!d.cur)
        return;
    std::lock_guard<std::mutex> lk(d.cur->m);
    d.cur->in_units.emplace_back(reinterpret_cast<const char*>(data), n);
    serve_in(*d.cur);
}

size_t in_queued(const Dev& d) {
    if (!d.cur)
        return 0;
    std::lock_guard<std::mutex> lk(d.cur->m);
    return d.cur->in_units.size();
}

void flush_answers(Dev& d) {
    Board& b = *d.l.b;
    while (!b.answers.empty()) {
        send_in(d, b.answers.front().data(), b.answers.front().size());
        b.answers.pop_front();
    }
}

// OUT data for the test program's device: the handshake word, then key words.
void program_out(Dev& d, const std::string& data) {
    Board& b = *d.l.b;
    log_hex("RX", data.data(), data.size(), true);
    static const char kHandshake[4] = {0x0D, char(0x90), 0x0D, char(0x90)};
    for (size_t k = 0; k + 4 <= data.size(); k += 4) {
        if (data.compare(k, 4, kHandshake, 4) == 0) {
            if (b.opt->no_handshake) {
                log_line("handshake word not answered (--no-handshake)");
                continue;
            }
            send_in(d, reinterpret_cast<const uint8_t*>(kHandshake), 4);
            log_line("HANDSHAKE");
            program_link_up(b);
        } else if (b.talking) {
            program_key(b, uint8_t(data[k]));
        } else {
            log_line("word before the handshake ignored");
        }
    }
}

// What the host's OUT URB carried, once the line has taken it.
void run_out(Dev& d, const std::string& data) {
    Loop& l = d.l;
    Board& b = *l.b;
    if (b.phase == Phase::Started && l.rom_device) {
        log_line("OUT of %zu bytes after the start ignored: the boot ROM no longer listens",
                 data.size());
    } else if (b.phase == Phase::Started) {
        program_out(d, data);
    } else {
        size_t used = rom_stream(b, {reinterpret_cast<const uint8_t*>(data.data()), data.size()});
        flush_answers(d);
        if (used < data.size() && !b.unplug)
            log_line("%zu bytes after the last frame ignored", data.size() - used);
    }
}

void run_job(Dev& d, const Job& job) {
    Node* n = d.cur;
    if (!n)
        return;
    Urb u;
    {
        std::lock_guard<std::mutex> lk(n->m);
        auto it = n->out_taken.find(job.id);
        if (it == n->out_taken.end())
            return; // discarded meanwhile
        u = it->second;
        n->out_taken.erase(it);
    }
    run_out(d, job.msg);
    Board& b = *d.l.b;
    if (b.unplug) {
        {
            std::lock_guard<std::mutex> lk(n->m);
            n->out_taken[job.id] = u; // it goes down with the device
        }
        loop_unplug(d.l);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(n->m);
        finish(*n, u, 0, int(job.msg.size()));
    }
    if (b.start)
        loop_started(d.l);
}

// The host's new OUT URBs become jobs, due when the line has carried them.
void take_out(Dev& d) {
    uint64_t count;
    [[maybe_unused]] ssize_t rc = ::read(d.wake, &count, sizeof count);
    Node* n = d.cur;
    if (!n)
        return;
    std::lock_guard<std::mutex> lk(n->m);
    for (Urb& u : n->out_waiting) {
        int id = d.next_job++;
        std::string data = std::move(u.out);
        Clock::duration carry{};
        if (uint64_t rate = d.l.b->opt->usb_rate; rate && !data.empty())
            carry = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(double(data.size()) / double(rate)));
        Job job{id, std::move(data), std::max(u.submitted, d.l.last_due) + carry};
        d.l.last_due = job.due;
        d.l.jobs.push_back(std::move(job));
        n->out_taken[id] = u;
    }
    n->out_waiting.clear();
}

} // namespace

int run_usb(Board& b, const std::string&, int stopfd) {
    Dev d;
    Loop& l = d.l;
    l.b = &b;
    l.stopfd = stopfd;
    d.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.wake < 0 || !appear(d))
        return 1;
    b.where = b.opt->port;
    l.own = {d.wake, POLLIN, 0};
    l.console = Console::Usb;
    l.prepare = [&](Clock::time_point now) {
        if (d.leaving && (now >= d.leave_by || told(d)))
            drop_leaving(d);
        bool open = b.talking && l.present && !l.dead;
        // The test program's output, one character per 4-byte word.
        size_t queued = in_queued(d);
        if (open && queued < kHeldBack) {
            program_refill(b, kHeldBack);
            size_t n = std::min(b.out.size(), kHeldBack - queued);
            for (size_t i = 0; i < n; ++i) {
                uint8_t w[4] = {uint8_t(b.out[i]), 0, 0, 0};
                send_in(d, w, 4);
            }
            b.out.erase(0, n);
            queued += n;
        }
        // While the host reads, the queue goes down; a look every few milliseconds tops it
        // up again (its reads do not wake the loop).
        Clock::time_point wake = open && program_has_output(b)
                                     ? now + std::chrono::milliseconds(queued < kHeldBack ? 0 : 5)
                                     : kNever;
        return std::min(wake, d.leave_by);
    };
    l.work = [&](Clock::time_point) {
        if (l.own.revents & POLLIN)
            take_out(d);
    };
    l.on_job = [&](const Job& job) { run_job(d, job); };
    l.leave = [&] { vanish(d); };
    l.arrive = [&] {
        drop_leaving(d); // the new device takes the same place in sysfs
        log_line("BACK");
        return appear(d);
    };
    run_loop(l);
    vanish(d);
    drop_leaving(d);
    return 0;
}

} // namespace board
