// The board as a HID device behind the kernel's hidraw interface, emulated in the board's
// test bed: a `hid` device with its report descriptor and a `hidraw` node that takes one
// output report per write and gives one input report per read, report ID first. Frames come
// in reports with ID 1, image data with ID 2; every word goes back in an input report of its
// own. At the start the device leaves, and the test program's device comes back as a new
// node.
#include "boardsim/log.h"
#include "boardsim/loop.h"
#include "boardsim/testbed.h"
#include "boardsim/transports.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace board {
namespace {

constexpr size_t kReportLen = 65; // both ways, with the report ID byte
constexpr size_t kPayload = kReportLen - 1;
// As many input reports as hidraw keeps for a reader; the board holds back beyond it.
constexpr size_t kQueued = 64;
// How long the departure waits for the host to read the boot ROM's last words.
constexpr auto kDrainWait = std::chrono::milliseconds(1000);
// How long a gone device's handler still answers the host (see drop_due).
constexpr auto kDropAfter = std::chrono::milliseconds(200);

// Vendor page 0xFF00; reports 1 and 2, 64 bytes each way.
constexpr std::array<uint8_t, 41> kDescriptor = {
    0x06, 0x00, 0xFF,                   // usage page 0xFF00
    0x09, 0x01,                         // usage 1
    0xA1, 0x01,                         // collection (application)
    0x15, 0x00, 0x26, 0xFF, 0x00,       // logical 0 .. 255
    0x75, 0x08, 0x95, 0x40,             // 64 fields of 8 bits
    0x85, 0x01, 0x09, 0x01, 0x81, 0x02, // report 1: input
    0x85, 0x01, 0x09, 0x01, 0x91, 0x02, // report 1: output
    0x85, 0x02, 0x09, 0x01, 0x81, 0x02, // report 2: input
    0x85, 0x02, 0x09, 0x01, 0x91, 0x02, // report 2: output
    0xC0};
constexpr size_t kCountAt = 15; // the report count above

// A read or write of the host, waiting for the board's loop.
struct Call {
    UMockdevIoctlClient* client; // a reference of its own
    bool write;
    std::string data; // write: the report
};

// Filled on umockdev's worker thread, emptied by the loop.
struct Inbox {
    std::mutex m;
    std::vector<std::pair<struct Node*, Call>> calls;
    int wake = -1; // eventfd
};

// One appearance of one device: /dev/hidrawN and its hid parent.
struct Node {
    std::string devnode, syspath, name;
    Inbox* inbox = nullptr;
    const Chip* chip = nullptr;
    std::array<uint8_t, kDescriptor.size()> descriptor = kDescriptor;
    bool beside = false; // present only: another board's device, which takes nothing
    std::atomic<bool> gone{false};
    int master = -1; // one byte in the node's pty for each report the host can read
    int slave = -1;  // the board's own end, to take those bytes out again
};

void complete(UMockdevIoctlClient* c, long res, int err) {
    umockdev_ioctl_client_complete(c, res, err);
    g_object_unref(c);
}

// The name HIDIOCGRAWNAME and friends copy out, truncated to the caller's length.
long put_text(UMockdevIoctlData* arg, unsigned long req, const std::string& text) {
    size_t n = std::min<size_t>(_IOC_SIZE(req), text.size() + 1);
    GError* e = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, n, &e);
    if (!d) {
        g_clear_error(&e);
        return -1;
    }
    std::memcpy(d->data, text.c_str(), n);
    g_object_unref(d);
    return long(n);
}

template <class T> T* resolve(UMockdevIoctlData* arg, UMockdevIoctlData** hold) {
    GError* e = nullptr;
    *hold = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &e);
    g_clear_error(&e);
    return *hold ? reinterpret_cast<T*>((*hold)->data) : nullptr;
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer ctx) {
    auto* n = static_cast<Node*>(ctx);
    if (n->gone) {
        umockdev_ioctl_client_complete(c, -1, ENODEV);
        return TRUE;
    }
    unsigned long req = umockdev_ioctl_client_get_request(c);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    UMockdevIoctlData* hold = nullptr;
    long res = 0;
    int err = 0;
    const unsigned long sized = req & ~(_IOC_SIZEMASK << _IOC_SIZESHIFT);
    if (req == HIDIOCGRDESCSIZE) {
        if (int* size = resolve<int>(arg, &hold))
            *size = int(n->descriptor.size());
        else
            res = -1, err = EFAULT;
    } else if (req == HIDIOCGRDESC) {
        auto* rd = resolve<hidraw_report_descriptor>(arg, &hold);
        if (!rd)
            res = -1, err = EFAULT;
        else if (rd->size > HID_MAX_DESCRIPTOR_SIZE)
            res = -1, err = EINVAL;
        else
            std::memcpy(rd->value, n->descriptor.data(),
                        std::min<size_t>(rd->size, n->descriptor.size()));
    } else if (req == HIDIOCGRAWINFO) {
        if (auto* info = resolve<hidraw_devinfo>(arg, &hold))
            *info = {3 /* BUS_USB */, int16_t(n->chip->vendor_id), int16_t(n->chip->product_id)};
        else
            res = -1, err = EFAULT;
    } else if (sized == HIDIOCGRAWNAME(0)) {
        res = put_text(arg, req, n->name);
    } else if (sized == HIDIOCGRAWPHYS(0)) {
        res = put_text(arg, req, "larkspur-board/input0");
    } else {
        res = -1, err = ENOTTY; // no feature reports, and not a tty either
    }
    if (res < 0 && !err)
        err = EFAULT;
    if (hold)
        g_object_unref(hold);
    umockdev_ioctl_client_complete(c, res, err);
    return TRUE;
}

void post(Node* n, UMockdevIoctlClient* c, bool write) {
    if (n->gone) {
        umockdev_ioctl_client_complete(c, -1, ENODEV);
        return;
    }
    Call call{static_cast<UMockdevIoctlClient*>(g_object_ref(c)), write, {}};
    if (write) {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
        call.data.assign(reinterpret_cast<const char*>(arg->data), arg->data_len);
    }
    {
        std::lock_guard<std::mutex> lk(n->inbox->m);
        n->inbox->calls.emplace_back(n, std::move(call));
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t rc = ::write(n->inbox->wake, &one, sizeof one);
}

gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer ctx) {
    post(static_cast<Node*>(ctx), c, false);
    return TRUE;
}

gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer ctx) {
    post(static_cast<Node*>(ctx), c, true);
    return TRUE;
}

struct Dev {
    Loop l;
    Inbox inbox;
    std::vector<std::unique_ptr<Node>> nodes; // every node ever made: handlers outlive them
    Node* cur = nullptr;                      // the board's device while it is there
    std::deque<std::string> in_reports;       // waiting for the pacer
    Pacer in_pace;
    std::deque<std::string> ready;               // readable now: one pty byte each
    std::deque<UMockdevIoctlClient*> held;       // reads waiting for a report
    std::map<int, UMockdevIoctlClient*> writing; // writes waiting for their job
    int next_call = 1;
    bool greeted = false;
    Clock::time_point drain_until = kNever;
    std::deque<std::pair<Node*, Clock::time_point>> dropping; // gone, entries not yet
};

// The kernel's view of one appearance: the hid device and its hidraw node, on the board's
// USB device's interface 0.
std::string record(const Node& n, unsigned seq) {
    char ids[64];
    snprintf(ids, sizeof ids, "0003:%08X:%08X", n.chip->vendor_id, n.chip->product_id);
    const std::string raw = n.devnode.substr(5); // hidrawN
    const std::string minor = raw.substr(6);
    const std::string dev = n.syspath.substr(4); // without /sys
    return "P: " + dev + "\n" + "E: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=" + ids +
           "\nE: HID_NAME=" + n.name +
           "\nE: HID_PHYS=larkspur-board/input0\nE: HID_UNIQ=" + n.chip->name + "-" +
           std::to_string(seq) +
           "\nH: report_descriptor=" + testbed_hex(n.descriptor.data(), n.descriptor.size()) +
           "\n\n" + "P: " + dev + "/hidraw/" + raw + "\nN: " + raw +
           "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + n.devnode + "\nE: MAJOR=241\nE: MINOR=" + minor +
           "\nA: dev=241:" + minor + "\n";
}

// The USB device a HID board's interface hangs on: there while the board is, whichever
// program's HID device it carries.
bool plug_usb_parent(const Chip& chip, const std::string& port) {
    char attrs[256];
    snprintf(attrs, sizeof attrs,
             "E: ID_VENDOR_ID=%04x\nE: ID_MODEL_ID=%04x\n"
             "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=0100\\n\n"
             "A: speed=12\\n\nA: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n",
             chip.vendor_id, chip.product_id, chip.vendor_id, chip.product_id);
    const std::string usb = testbed_usb_syspath(port).substr(4);
    std::string record = testbed_usb_record(port, testbed_next_devnum(), attrs) + "\nP: " + usb +
                         "/" + port + ":1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n" +
                         "A: bInterfaceNumber=00\\n\nA: bInterfaceClass=03\\n\n";
    std::string err;
    if (!testbed_add(record, err)) {
        log_error("cannot add the USB device on port %s: %s", port.c_str(), err.c_str());
        return false;
    }
    return true;
}

Node* appear(Dev& d, const Chip& chip, const std::string& port, bool beside) {
    unsigned seq = testbed_next_hidraw() + 1;
    auto n = std::make_unique<Node>();
    n->inbox = &d.inbox;
    n->chip = &chip;
    n->beside = beside;
    n->descriptor[kCountAt] = uint8_t(d.l.b->opt->hid_declared_payload);
    n->devnode = "/dev/hidraw" + std::to_string(seq - 1);
    char hid[64];
    snprintf(hid, sizeof hid, "0003:%04X:%04X.%04X", chip.vendor_id, chip.product_id, seq);
    n->syspath = testbed_usb_syspath(port) + "/" + port + ":1.0/" + hid;
    n->name = std::string("larkspur-board ") + chip.name;
    std::string err;
    if (!testbed_attach(n->devnode, G_CALLBACK(on_ioctl), G_CALLBACK(on_read), G_CALLBACK(on_write),
                        n.get(), err) ||
        !testbed_add(record(*n, seq), err)) {
        log_error("cannot add %s: %s", n->devnode.c_str(), err.c_str());
        return nullptr;
    }
    n->master = testbed_pty_master(n->devnode);
    n->slave = ::open(testbed_pty_slave(n->devnode).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (n->master < 0 || n->slave < 0) {
        log_error("cannot reach the pseudo-terminal of %s", n->devnode.c_str());
        return nullptr;
    }
    log_line("READY %s (%s %04x:%04x) on port %s", n->devnode.c_str(), chip.name, chip.vendor_id,
             chip.product_id, port.c_str());
    d.nodes.push_back(std::move(n));
    return d.nodes.back().get();
}

void hand_over(UMockdevIoctlClient* c, const std::string& report) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    size_t n = std::min(size_t(arg->data_len), report.size());
    std::memcpy(arg->data, report.data(), n);
    complete(c, long(n), 0);
}

// A report the host may read now: to a read that waits, else queued behind a pty byte.
void offer(Dev& d, std::string report) {
    if (!d.held.empty()) {
        hand_over(d.held.front(), report);
        d.held.pop_front();
        return;
    }
    d.ready.push_back(std::move(report));
    [[maybe_unused]] ssize_t rc = ::write(d.cur->master, "R", 1);
}

// Takes one readiness byte out of the node again; it may still be on its way.
void take_token(Node& n) {
    pollfd p{n.slave, POLLIN, 0};
    char t;
    if (poll(&p, 1, 100) == 1) {
        [[maybe_unused]] ssize_t rc = ::read(n.slave, &t, 1);
    }
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

// The device leaves: what the host waits for fails, and its node goes.
void vanish(Dev& d) {
    Node* n = d.cur;
    if (!n)
        return;
    n->gone = true;
    for (UMockdevIoctlClient* c : d.held)
        complete(c, -1, ENODEV);
    for (auto& [id, c] : d.writing)
        complete(c, -1, ENODEV);
    d.held.clear();
    d.writing.clear();
    d.l.jobs.clear();
    d.in_reports.clear();
    // A host that polls the node wakes, reads and learns that it is gone.
    if (d.ready.empty()) [[maybe_unused]]
        ssize_t rc = ::write(n->master, "G", 1);
    d.ready.clear();
    // Child first: the parent's removal would leave the child's class link and node behind.
    testbed_announce_removal(n->syspath + "/hidraw/" + n->devnode.substr(5));
    testbed_announce_removal(n->syspath);
    d.dropping.push_back({n, Clock::now() + kDropAfter});
    d.cur = nullptr;
}

// A gone device's entries go a while after its removal was announced: until then the host's
// descriptors still reach its handler, which tells them of the end (umockdev's default
// handler, which answers them afterwards, knows nothing of it).
void drop_due(Dev& d, Clock::time_point now) {
    while (!d.dropping.empty() && d.dropping.front().second <= now) {
        const Node& n = *d.dropping.front().first;
        testbed_drop(n.syspath + "/hidraw/" + n.devnode.substr(5));
        testbed_drop(n.syspath);
        d.dropping.pop_front();
    }
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

void run_report(Dev& d, const std::string& report) {
    Loop& l = d.l;
    Board& b = *l.b;
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
}

void run_job(Dev& d, const Job& job) {
    auto it = d.writing.find(job.id);
    if (it == d.writing.end())
        return; // the device went meanwhile
    UMockdevIoctlClient* c = it->second;
    d.writing.erase(it);
    run_report(d, job.msg);
    // The write is done once the device has taken the report: a paced device holds the host.
    complete(c, long(job.msg.size()), d.cur ? 0 : ENODEV);
}

void take_calls(Dev& d) {
    uint64_t count;
    [[maybe_unused]] ssize_t rc = ::read(d.inbox.wake, &count, sizeof count);
    std::vector<std::pair<Node*, Call>> calls;
    {
        std::lock_guard<std::mutex> lk(d.inbox.m);
        calls.swap(d.inbox.calls);
    }
    for (auto& [node, call] : calls) {
        if (node != d.cur && !node->beside) {
            complete(call.client, -1, ENODEV);
        } else if (node->beside) {
            // Another board's boot ROM: it listens to nobody here.
            if (call.write)
                log_line("REJECT report on the %s device beside: it takes nothing",
                         node->chip->name);
            complete(call.client, call.write ? long(call.data.size()) : -1,
                     call.write ? 0 : EAGAIN);
        } else if (call.write) {
            int id = d.next_call++;
            d.writing[id] = call.client;
            Job job{id, std::move(call.data), std::max(Clock::now(), d.l.last_due)};
            d.l.last_due = job.due;
            d.l.jobs.push_back(std::move(job));
        } else if (!d.ready.empty()) {
            take_token(*node);
            hand_over(call.client, d.ready.front());
            d.ready.pop_front();
        } else {
            d.held.push_back(call.client);
        }
    }
}

} // namespace

int run_hid(Board& b, const std::string&, int stopfd) {
    const Options& opt = *b.opt;
    Dev d;
    Loop& l = d.l;
    l.b = &b;
    l.stopfd = stopfd;
    d.inbox.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.inbox.wake < 0) {
        log_error("cannot make an eventfd");
        return 1;
    }
    l.own = {d.inbox.wake, POLLIN, 0};
    double per_s = opt.hid_interval_us ? 1e6 / opt.hid_interval_us : 0;
    l.job_pace = make_frame_pacer(per_s);
    d.in_pace = make_frame_pacer(per_s);
    for (size_t i = 0; i < opt.beside.size(); ++i) {
        const Chip& other = *find_chip(opt.beside[i]);
        if (!plug_usb_parent(other, opt.beside_ports[i]) ||
            !appear(d, other, opt.beside_ports[i], true))
            return 1;
    }
    if (!plug_usb_parent(*b.chip, opt.port) || !(d.cur = appear(d, *b.chip, opt.port, false)))
        return 1;
    b.where = opt.port;

    l.console = Console::Hid;
    l.prepare = [&](Clock::time_point now) {
        if (b.talking && l.present && d.in_reports.size() < 8) {
            program_refill(b, 4 * kPayload);
            while (!b.out.empty() && d.in_reports.size() < 8) {
                size_t n = std::min(b.out.size(), kPayload);
                queue_report(d, 2, b.out.data(), n);
                b.out.erase(0, n);
            }
        }
        while (d.cur && !d.in_reports.empty() && d.ready.size() < kQueued &&
               pacer_budget(d.in_pace, now) > 0) {
            offer(d, std::move(d.in_reports.front()));
            d.in_reports.pop_front();
            pacer_spend(d.in_pace, 1, now);
        }
        Clock::time_point wake = kNever;
        // A host that reads makes room, and its read wakes the loop.
        if (!d.in_reports.empty() && d.ready.size() < kQueued)
            wake = pacer_ready_at(d.in_pace, now);
        if (b.talking && program_has_output(b) && l.present && d.in_reports.size() < 8)
            wake = now;
        if (d.drain_until != kNever)
            wake = std::min(wake, d.drain_until);
        drop_due(d, now);
        if (!d.dropping.empty())
            wake = std::min(wake, d.dropping.front().second);
        return wake;
    };
    l.work = [&](Clock::time_point) {
        if (l.own.revents & POLLIN)
            take_calls(d);
    };
    l.on_job = [&](const Job& job) { run_job(d, job); };
    l.leave = [&] {
        d.drain_until = kNever;
        vanish(d);
    };
    l.arrive = [&] {
        log_line("BACK");
        d.greeted = false;
        return (d.cur = appear(d, *b.chip, opt.port, false)) != nullptr;
    };
    // The departure waits, a while at most, for the host to read the boot ROM's last words.
    l.holding = [&] {
        if (l.depart_at == kNever || (d.in_reports.empty() && d.ready.empty()))
            return false;
        if (d.drain_until == kNever)
            d.drain_until = l.depart_at + kDrainWait;
        return Clock::now() < d.drain_until;
    };
    run_loop(l);
    vanish(d);
    drop_due(d, kNever);
    return 0;
}

} // namespace board
