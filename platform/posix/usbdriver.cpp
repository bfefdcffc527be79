// The stand-in USB kernel driver: one in-process driver instance behind every
// "\\.\WINDRVR6" handle, connected to the virtual USB bus (the `usb` socket in the device
// directory). It serves the requests of the USB driver layer on the records in the
// caller's memory and nothing else.
#include "platform/posix/usbdriver.h"

#include "platform/posix/handles.h"
#include "platform/shared.h"
#include "platform/usbdriver_records.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace posix {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kDefaultVersion = 1100;
// Unknown request, record too short, or an argument the device cannot take.
constexpr uint32_t kStatusBadRequest = 0x20000002;
constexpr size_t kMaxBusData = 64 * 1024;
constexpr size_t kMaxQueuedIn = 16u << 20; // per endpoint; beyond it IN data is dropped
constexpr auto kSetInterfaceTimeout = std::chrono::seconds(5);
constexpr auto kReconnectPause = std::chrono::milliseconds(100);
constexpr int kPollMs = 100;

struct Endpoint {
    uint8_t address;
    uint8_t attributes;
    uint16_t max_packet;
};

struct InQueue {
    std::deque<std::vector<uint8_t>> chunks;
    size_t front_used = 0; // bytes of chunks.front() already taken
    size_t bytes = 0;
};

struct Device {
    uint32_t id = 0;
    uint32_t bus_number = 0;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint8_t interface_number = 0;
    uint8_t alternate_setting = 0;
    std::vector<Endpoint> endpoints;
    std::map<uint8_t, InQueue> in;
    uint32_t holder = 0;         // registration that accepted it
    uint32_t offer = 0;          // registration whose reply is awaited
    std::set<uint32_t> told;     // registrations that got its attach event
    std::set<uint32_t> declined; // registrations that rejected it
};

struct Event {
    uint32_t action;
    uint32_t unique_id;
    bool reply;
};

struct Registration {
    const void* owner = nullptr; // the handle object it was made on
    std::vector<MatchEntry> matches;
    uint32_t mask = 0;
    uint32_t options = 0;
    bool wait_enabled = false;
    std::deque<Event> events;
};

struct Pending {
    uint32_t device_id = 0;
    bool done = false;
    uint32_t status = 0;
    uint32_t accepted = 0;
};

struct BusConn {
    int fd;
    explicit BusConn(int f) : fd(f) {}
    ~BusConn() { ::close(fd); }
};

struct Driver {
    std::mutex m;
    std::condition_variable cv;     // any change of devices, events, replies
    std::condition_variable bus_cv; // registrations came or went
    std::map<uint32_t, Registration> regs;
    uint32_t next_reg = 1;
    std::map<uint32_t, Device> devices;  // by unique device ID
    std::map<uint32_t, uint32_t> by_bus; // bus device number -> unique device ID
    uint32_t next_device_id = 1;
    std::map<uint32_t, Pending> pending; // by sequence number
    uint32_t next_seq = 1;
    std::shared_ptr<BusConn> bus;
    std::string bus_path;           // where to look for the bus
    std::string bus_path_connected; // where the current connection goes
    bool bus_thread_started = false;
    int open_handles = 0;
    DriverTap tap = nullptr;
    void* tap_ctx = nullptr;
};

// Never destroyed: the bus thread may still run while the process exits.
Driver& drv() {
    static Driver* d = new Driver;
    return *d;
}

struct DriverHandle {
    int unused = 0;
};

// ---- little-endian helpers ----------------------------------------------------------

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// ---- devices and registrations (driver lock held) -----------------------------------

bool matches(const Registration& reg, const Device& dev) {
    if (reg.matches.empty())
        return true;
    return std::any_of(reg.matches.begin(), reg.matches.end(), [&](const MatchEntry& e) {
        return (e.vendor_id == 0 || e.vendor_id == dev.vendor_id) &&
               (e.product_id == 0 || e.product_id == dev.product_id);
    });
}

// Offers an unheld device to the registrations that have not heard of it yet, one that
// must reply at a time.
void offer(Driver& d, Device& dev) {
    if (dev.holder || dev.offer)
        return;
    for (auto& [h, reg] : d.regs) {
        if (dev.told.count(h) || dev.declined.count(h))
            continue;
        if (!(reg.mask & DRV_ACTION_ATTACH) || !matches(reg, dev))
            continue;
        const bool reply = (reg.options & DRV_EVENT_REPLY_WANTED) != 0;
        reg.events.push_back({DRV_ACTION_ATTACH, dev.id, reply});
        dev.told.insert(h);
        if (reply) {
            dev.offer = h;
            break;
        }
    }
    d.cv.notify_all();
}

void offer_all(Driver& d) {
    for (auto& [id, dev] : d.devices)
        offer(d, dev);
}

void remove_device(Driver& d, uint32_t id) {
    auto it = d.devices.find(id);
    if (it == d.devices.end())
        return;
    for (uint32_t h : it->second.told) {
        auto r = d.regs.find(h);
        if (r == d.regs.end())
            continue;
        auto& q = r->second.events;
        auto undelivered = std::find_if(q.begin(), q.end(), [&](const Event& e) {
            return e.action == DRV_ACTION_ATTACH && e.unique_id == id;
        });
        if (undelivered != q.end())
            q.erase(undelivered); // it never learns of a device that came and went
        else if (r->second.mask & DRV_ACTION_DETACH)
            q.push_back({DRV_ACTION_DETACH, id, false});
    }
    d.by_bus.erase(it->second.bus_number);
    d.devices.erase(it);
    d.cv.notify_all();
}

void remove_registration(Driver& d, uint32_t h) {
    if (!d.regs.erase(h))
        return;
    for (auto& [id, dev] : d.devices) {
        dev.told.erase(h);
        dev.declined.erase(h);
        if (dev.holder == h)
            dev.holder = 0;
        if (dev.offer == h)
            dev.offer = 0;
    }
    offer_all(d);
    d.cv.notify_all();
    d.bus_cv.notify_all();
}

Device* find_device(Driver& d, uint32_t id) {
    auto it = d.devices.find(id);
    return it == d.devices.end() ? nullptr : &it->second;
}

Registration* find_reg(Driver& d, uint32_t h) {
    auto it = d.regs.find(h);
    return it == d.regs.end() ? nullptr : &it->second;
}

// ---- the bus ------------------------------------------------------------------------

int connect_bus(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Drops the connection and every device on it.
void disconnect(Driver& d) {
    if (!d.bus)
        return;
    ::shutdown(d.bus->fd, SHUT_RDWR);
    d.bus.reset();
    d.bus_path_connected.clear();
    std::vector<uint32_t> ids;
    for (auto& [id, dev] : d.devices)
        ids.push_back(id);
    for (uint32_t id : ids)
        remove_device(d, id);
}

void on_attach(Driver& d, const uint8_t* p, size_t n) {
    // 'A', u32 number, u16 vendor, u16 product, u8 interface, u8 alternate, u8 count,
    // then 4 bytes per endpoint.
    if (n < 12 || n != 12 + size_t(p[11]) * 4)
        return;
    uint32_t number = get_le32(p + 1);
    if (auto old = d.by_bus.find(number); old != d.by_bus.end())
        remove_device(d, old->second); // a repeated attach replaces the device
    Device dev;
    dev.id = d.next_device_id++;
    if (d.next_device_id == 0)
        d.next_device_id = 1;
    dev.bus_number = number;
    dev.vendor_id = get16(p + 5);
    dev.product_id = get16(p + 7);
    dev.interface_number = p[9];
    dev.alternate_setting = p[10];
    for (size_t i = 0; i < p[11]; ++i) {
        const uint8_t* e = p + 12 + 4 * i;
        dev.endpoints.push_back({e[0], e[1], get16(e + 2)});
    }
    uint32_t id = dev.id;
    d.by_bus[number] = id;
    offer(d, d.devices.emplace(id, std::move(dev)).first->second);
}

void on_bus_message(Driver& d, const uint8_t* p, size_t n) {
    if (n == 0)
        return;
    switch (p[0]) {
    case 'A':
        on_attach(d, p, n);
        break;
    case 'D':
        if (n == 5) {
            if (auto it = d.by_bus.find(get_le32(p + 1)); it != d.by_bus.end())
                remove_device(d, it->second);
        }
        break;
    case 'I': {
        if (n < 6 || n - 6 > kMaxBusData)
            return;
        auto it = d.by_bus.find(get_le32(p + 1));
        if (it == d.by_bus.end())
            return;
        Device& dev = d.devices.at(it->second);
        const uint8_t ep = p[5];
        bool known = std::any_of(dev.endpoints.begin(), dev.endpoints.end(),
                                 [&](const Endpoint& e) { return e.address == ep; });
        if (!known || !(ep & 0x80) || n == 6)
            return;
        InQueue& q = dev.in[ep];
        if (q.bytes + (n - 6) > kMaxQueuedIn)
            return;
        q.chunks.emplace_back(p + 6, p + n);
        q.bytes += n - 6;
        d.cv.notify_all();
        break;
    }
    case 'R': {
        if (n != 13)
            return;
        auto it = d.pending.find(get_le32(p + 1));
        if (it == d.pending.end() || it->second.done)
            return;
        it->second.done = true;
        it->second.status = get_le32(p + 5);
        it->second.accepted = get_le32(p + 9);
        d.cv.notify_all();
        break;
    }
    default:
        break;
    }
}

// Keeps the bus connection while registrations exist: connects (again) when one is made
// and retries while the bus is absent, so a bus started later is found.
void bus_main() {
    Driver& d = drv();
    std::vector<uint8_t> buf(kMaxBusData + 64);
    std::unique_lock<std::mutex> lk(d.m);
    for (;;) {
        if (d.regs.empty()) {
            disconnect(d);
            d.bus_cv.wait(lk, [&] { return !d.regs.empty(); });
            continue;
        }
        if (d.bus && d.bus_path_connected != d.bus_path)
            disconnect(d);
        if (!d.bus) {
            std::string path = d.bus_path;
            lk.unlock();
            int fd = connect_bus(path);
            lk.lock();
            if (fd < 0) {
                d.bus_cv.wait_for(lk, kReconnectPause);
                continue;
            }
            d.bus = std::make_shared<BusConn>(fd);
            d.bus_path_connected = path;
            continue;
        }
        std::shared_ptr<BusConn> conn = d.bus;
        lk.unlock();
        pollfd pfd{conn->fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, kPollMs);
        ssize_t got = -1;
        bool closed = false;
        bool truncated = false;
        if (r > 0 && (pfd.revents & POLLIN)) {
            iovec iov{buf.data(), buf.size()};
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            got = ::recvmsg(conn->fd, &msg, MSG_DONTWAIT);
            truncated = (msg.msg_flags & MSG_TRUNC) != 0;
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                closed = true;
            } else if (got == 0) {
                // An empty message and the end of the connection look alike.
                pollfd again{conn->fd, POLLRDHUP, 0};
                closed = ::poll(&again, 1, 0) > 0 && (again.revents & (POLLHUP | POLLRDHUP));
            }
        } else if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            closed = true;
        }
        lk.lock();
        if (conn != d.bus)
            continue;
        if (closed)
            disconnect(d);
        else if (got > 0 && !truncated)
            on_bus_message(d, buf.data(), static_cast<size_t>(got));
    }
}

// Sends one message, bounded by the deadline.
bool bus_send(const std::shared_ptr<BusConn>& conn, const std::vector<uint8_t>& msg,
              Clock::time_point deadline) {
    for (;;) {
        ssize_t r = ::send(conn->fd, msg.data(), msg.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r == static_cast<ssize_t>(msg.size()))
            return true;
        if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd pfd{conn->fd, POLLOUT, 0};
        ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), kPollMs)));
    }
}

uint32_t new_seq(Driver& d) {
    uint32_t seq = d.next_seq++;
    if (d.next_seq == 0)
        d.next_seq = 1;
    return seq;
}

struct Reply {
    uint32_t status;
    uint32_t accepted;
};

// Sends a message that the bus answers with 'R' and waits for the answer. The message's
// bytes 1..4 are the sequence number, filled here.
Reply bus_request(Driver& d, std::unique_lock<std::mutex>& lk, uint32_t device_id,
                  std::vector<uint8_t>& msg, Clock::time_point deadline) {
    Device* dev = find_device(d, device_id);
    if (!dev || !d.bus)
        return {DRV_NOT_FOUND, 0};
    const uint32_t seq = new_seq(d);
    for (int i = 0; i < 4; ++i)
        msg[1 + i] = static_cast<uint8_t>(seq >> (8 * i));
    d.pending[seq].device_id = device_id;
    std::shared_ptr<BusConn> conn = d.bus;
    lk.unlock();
    bool sent = bus_send(conn, msg, deadline);
    lk.lock();
    Reply reply{DRV_OK, 0};
    if (!sent) {
        reply.status = Clock::now() >= deadline ? DRV_TIMEOUT : DRV_NOT_FOUND;
    } else {
        auto ready = [&] { return d.pending[seq].done || !find_device(d, device_id); };
        bool in_time = d.cv.wait_until(lk, deadline, ready);
        const Pending& p = d.pending[seq];
        if (p.done)
            reply = {p.status, p.accepted};
        else
            reply.status = in_time ? DRV_NOT_FOUND : DRV_TIMEOUT;
    }
    d.pending.erase(seq); // a late answer finds nothing
    return reply;
}

// ---- requests -----------------------------------------------------------------------

template <class T> T* record(void* in, DWORD size) {
    return in && size >= sizeof(T) ? static_cast<T*>(in) : nullptr;
}

uint32_t reported_version() {
    if (const char* v = std::getenv("LARKSPUR_DRIVER_VERSION"); v && *v) {
        char* end = nullptr;
        unsigned long n = std::strtoul(v, &end, 0);
        if (end && *end == '\0' && n <= 0xFFFFFFFFul)
            return static_cast<uint32_t>(n);
    }
    return kDefaultVersion;
}

uint32_t serve_version(void* in, DWORD size) {
    auto* rec = record<VersionRec>(in, size);
    if (!rec)
        return kStatusBadRequest;
    rec->version = reported_version();
    std::memset(rec->text, 0, sizeof rec->text);
    std::strncpy(rec->text, "Larkspur stand-in USB driver", sizeof rec->text - 1);
    return DRV_OK;
}

constexpr size_t align_up(size_t n) {
    return (n + alignof(void*) - 1) & ~(alignof(void*) - 1);
}

struct InfoLayout {
    size_t iface, alt, pipes, total;
};

InfoLayout info_layout(const Device& dev) {
    InfoLayout l{};
    l.iface = align_up(sizeof(DeviceInfo));
    l.alt = align_up(l.iface + sizeof(InterfaceRec));
    l.pipes = align_up(l.alt + sizeof(AltSettingRec));
    l.total = l.pipes + dev.endpoints.size() * sizeof(PipeRec);
    return l;
}

void fill_info(const Device& dev, uint8_t* buf, const InfoLayout& l) {
    std::memset(buf, 0, l.total);
    auto* info = reinterpret_cast<DeviceInfo*>(buf);
    uint8_t* dd = info->device_descriptor;
    dd[0] = 18;
    dd[1] = 1; // device descriptor
    dd[2] = 0x00;
    dd[3] = 0x02; // USB 2.0
    dd[7] = 64;
    dd[8] = static_cast<uint8_t>(dev.vendor_id);
    dd[9] = static_cast<uint8_t>(dev.vendor_id >> 8);
    dd[10] = static_cast<uint8_t>(dev.product_id);
    dd[11] = static_cast<uint8_t>(dev.product_id >> 8);
    dd[17] = 1; // configurations
    auto* iface = reinterpret_cast<InterfaceRec*>(buf + l.iface);
    auto* alt = reinterpret_cast<AltSettingRec*>(buf + l.alt);
    auto* pipes = reinterpret_cast<PipeRec*>(buf + l.pipes);
    info->iface = iface;
    info->interface_count = 1;
    iface->alt_count = 1;
    iface->alt = alt;
    const uint8_t desc[9] = {9,
                             4, // interface descriptor
                             dev.interface_number,
                             dev.alternate_setting,
                             static_cast<uint8_t>(dev.endpoints.size()),
                             0xFF,
                             0,
                             0,
                             0};
    std::memcpy(alt->descriptor, desc, sizeof desc);
    alt->pipes = pipes;
    for (size_t i = 0; i < dev.endpoints.size(); ++i) {
        const Endpoint& e = dev.endpoints[i];
        pipes[i] = PipeRec{e.address, uint32_t(e.attributes & 3u), e.max_packet, 0,
                           (e.address & 0x80) ? 1u : 0u};
    }
}

uint32_t serve_device_info(Driver& d, void* in, DWORD size) {
    auto* p = record<ParamsInfo>(in, size);
    if (!p)
        return kStatusBadRequest;
    std::lock_guard<std::mutex> lk(d.m);
    Device* dev = find_device(d, p->unique_id);
    if (!dev)
        return DRV_NOT_FOUND;
    InfoLayout l = info_layout(*dev);
    if (!p->buffer) {
        p->size = static_cast<uint32_t>(l.total);
        return DRV_OK;
    }
    if (p->size < l.total || reinterpret_cast<uintptr_t>(p->buffer) % alignof(void*) != 0)
        return kStatusBadRequest;
    fill_info(*dev, static_cast<uint8_t*>(p->buffer), l);
    return DRV_OK;
}

uint32_t serve_set_interface(Driver& d, void* in, DWORD size) {
    auto* p = record<ParamsSetInterface>(in, size);
    if (!p)
        return kStatusBadRequest;
    std::unique_lock<std::mutex> lk(d.m);
    Device* dev = find_device(d, p->unique_id);
    if (!dev)
        return DRV_NOT_FOUND;
    if (p->interface_number > 0xFF || p->alternate_setting > 0xFF)
        return kStatusBadRequest;
    std::vector<uint8_t> msg = {'S', 0, 0, 0, 0};
    put32(msg, dev->bus_number);
    msg.push_back(static_cast<uint8_t>(p->interface_number));
    msg.push_back(static_cast<uint8_t>(p->alternate_setting));
    Reply r = bus_request(d, lk, p->unique_id, msg, Clock::now() + kSetInterfaceTimeout);
    if (r.status == DRV_OK) {
        if (Device* again = find_device(d, p->unique_id))
            again->alternate_setting = static_cast<uint8_t>(p->alternate_setting);
    }
    return r.status;
}

uint32_t transfer_out(Driver& d, std::unique_lock<std::mutex>& lk, ParamsTransfer* p,
                      Clock::time_point deadline) {
    const auto* data = static_cast<const uint8_t*>(p->buffer);
    uint32_t done = 0;
    do {
        Device* dev = find_device(d, p->unique_id);
        if (!dev)
            return DRV_NOT_FOUND;
        const uint32_t chunk = std::min<uint32_t>(p->size - done, kMaxBusData);
        std::vector<uint8_t> msg = {'O', 0, 0, 0, 0};
        put32(msg, dev->bus_number);
        msg.push_back(static_cast<uint8_t>(p->pipe));
        if (chunk)
            msg.insert(msg.end(), data + done, data + done + chunk);
        Reply r = bus_request(d, lk, p->unique_id, msg, deadline);
        done += std::min(r.accepted, chunk);
        p->dwBytesTransferred = done;
        if (r.status != DRV_OK)
            return r.status;
        if (r.accepted < chunk)
            break; // the device took less: the transfer ends short
    } while (done < p->size);
    return DRV_OK;
}

uint32_t transfer_in(Driver& d, std::unique_lock<std::mutex>& lk, ParamsTransfer* p,
                     Clock::time_point deadline) {
    if (p->size == 0)
        return DRV_OK;
    const uint8_t ep = static_cast<uint8_t>(p->pipe);
    auto ready = [&] {
        Device* dev = find_device(d, p->unique_id);
        return !dev || dev->in[ep].bytes > 0;
    };
    d.cv.wait_until(lk, deadline, ready);
    Device* dev = find_device(d, p->unique_id);
    if (!dev)
        return DRV_NOT_FOUND;
    InQueue& q = dev->in[ep];
    if (q.bytes == 0)
        return DRV_TIMEOUT;
    auto* out = static_cast<uint8_t*>(p->buffer);
    uint32_t taken = 0;
    while (taken < p->size && !q.chunks.empty()) {
        std::vector<uint8_t>& front = q.chunks.front();
        size_t n = std::min<size_t>(p->size - taken, front.size() - q.front_used);
        std::memcpy(out + taken, front.data() + q.front_used, n);
        taken += static_cast<uint32_t>(n);
        q.front_used += n;
        q.bytes -= n;
        if (q.front_used == front.size()) {
            q.chunks.pop_front();
            q.front_used = 0;
        }
    }
    p->dwBytesTransferred = taken;
    return DRV_OK;
}

uint32_t serve_transfer(Driver& d, void* in, DWORD size) {
    auto* p = record<ParamsTransfer>(in, size);
    if (!p)
        return kStatusBadRequest;
    p->dwBytesTransferred = 0;
    // The driver layer always passes a timeout (0 or less becomes 30000 ms above it).
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(p->timeout_ms);
    std::unique_lock<std::mutex> lk(d.m);
    Device* dev = find_device(d, p->unique_id);
    if (!dev)
        return DRV_NOT_FOUND;
    const bool known =
        p->pipe <= 0xFF && std::any_of(dev->endpoints.begin(), dev->endpoints.end(),
                                       [&](const Endpoint& e) { return e.address == p->pipe; });
    const bool is_in = (p->pipe & 0x80) != 0;
    if (!known || p->direction > 1 || is_in != (p->direction == 1) || (!p->buffer && p->size))
        return kStatusBadRequest;
    return is_in ? transfer_in(d, lk, p, deadline) : transfer_out(d, lk, p, deadline);
}

void start_bus_thread(Driver& d) {
    if (d.bus_thread_started)
        return;
    std::thread(bus_main).detach();
    d.bus_thread_started = true;
}

uint32_t serve_register(Driver& d, const void* owner, void* in, DWORD size) {
    auto* rec = record<EventRec>(in, size);
    if (!rec)
        return kStatusBadRequest;
    const size_t count = rec->match_count;
    if (count > (size - EVENT_REC_MATCH_OFFSET) / sizeof(MatchEntry))
        return kStatusBadRequest;
    Registration reg;
    reg.owner = owner;
    reg.mask = rec->action;
    reg.options = rec->options;
    reg.matches.resize(count);
    if (count)
        std::memcpy(reg.matches.data(), static_cast<uint8_t*>(in) + EVENT_REC_MATCH_OFFSET,
                    count * sizeof(MatchEntry));
    std::string path = device_dir() + "/usb";
    std::lock_guard<std::mutex> lk(d.m);
    if (d.regs.empty())
        d.bus_path = path;
    uint32_t h = d.next_reg++;
    d.regs.emplace(h, std::move(reg));
    rec->handle = h;
    start_bus_thread(d);
    offer_all(d);
    d.bus_cv.notify_all();
    return DRV_OK;
}

uint32_t serve_event(Driver& d, uint32_t code, void* in, DWORD size) {
    auto* rec = record<EventRec>(in, size);
    if (!rec)
        return kStatusBadRequest;
    std::lock_guard<std::mutex> lk(d.m);
    Registration* reg = find_reg(d, rec->handle);
    if (!reg)
        return kStatusBadRequest;
    if (code == DRV_IOCTL_EVENT_UNREGISTER) {
        remove_registration(d, rec->handle);
    } else if (code == DRV_IOCTL_EVENT_PULL) {
        rec->action = 0;
        rec->options = 0;
        rec->unique_id = 0;
        if (!reg->events.empty()) {
            Event e = reg->events.front();
            reg->events.pop_front();
            rec->action = e.action;
            rec->unique_id = e.unique_id;
            rec->options = e.reply ? DRV_EVENT_REPLY_WANTED : 0;
        }
    } else { // reply
        Device* dev = find_device(d, rec->unique_id);
        if (rec->action == DRV_ACTION_ATTACH && dev && dev->offer == rec->handle) {
            dev->offer = 0;
            if (rec->options & DRV_EVENT_ACCEPT) {
                dev->holder = rec->handle;
            } else {
                dev->told.erase(rec->handle);
                dev->declined.insert(rec->handle);
                offer(d, *dev);
            }
        }
    }
    return DRV_OK;
}

uint32_t serve_wait(Driver& d, uint32_t code, void* in, DWORD size) {
    auto* rec = record<WaitRec>(in, size);
    if (!rec)
        return kStatusBadRequest;
    std::unique_lock<std::mutex> lk(d.m);
    if (code != DRV_IOCTL_WAIT) {
        Registration* reg = find_reg(d, rec->handle);
        if (!reg)
            return kStatusBadRequest;
        reg->wait_enabled = code == DRV_IOCTL_WAIT_ENABLE;
        d.cv.notify_all();
        return DRV_OK;
    }
    uint32_t outcome = 0;
    d.cv.wait(lk, [&] {
        Registration* reg = find_reg(d, rec->handle);
        if (!reg || !reg->wait_enabled) {
            outcome = DRV_WAIT_END;
            return true;
        }
        outcome = 0; // an event is pending
        return !reg->events.empty();
    });
    rec->outcome = outcome;
    return DRV_OK;
}

uint32_t serve(void* obj, uint32_t code, void* in, DWORD size) {
    Driver& d = drv();
    switch (code) {
    case DRV_IOCTL_VERSION:
        return serve_version(in, size);
    case DRV_IOCTL_DEVICE_INFO:
        return serve_device_info(d, in, size);
    case DRV_IOCTL_SET_INTERFACE:
        return serve_set_interface(d, in, size);
    case DRV_IOCTL_TRANSFER:
        return serve_transfer(d, in, size);
    case DRV_IOCTL_EVENT_REGISTER:
        return serve_register(d, obj, in, size);
    case DRV_IOCTL_EVENT_UNREGISTER:
    case DRV_IOCTL_EVENT_PULL:
    case DRV_IOCTL_EVENT_REPLY:
        return serve_event(d, code, in, size);
    case DRV_IOCTL_WAIT_ENABLE:
    case DRV_IOCTL_WAIT_DISABLE:
    case DRV_IOCTL_WAIT:
        return serve_wait(d, code, in, size);
    default:
        return kStatusBadRequest;
    }
}

BOOL driver_ioctl(void* obj, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                  DWORD* returned, OVERLAPPED*) {
    if (!out || out_size < sizeof(uint32_t)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    Driver& d = drv();
    DriverTap tap;
    void* tap_ctx;
    {
        std::lock_guard<std::mutex> lk(d.m);
        tap = d.tap;
        tap_ctx = d.tap_ctx;
    }
    uint32_t status = 0;
    if (!tap || !tap(tap_ctx, code, in, in_size, &status))
        status = serve(obj, code, in, in_size);
    std::memcpy(out, &status, sizeof status);
    if (returned)
        *returned = sizeof status;
    return TRUE;
}

// Registrations made on a handle end with it, and their waits with outcome 1.
void driver_on_close(void* obj) {
    Driver& d = drv();
    std::lock_guard<std::mutex> lk(d.m);
    std::vector<uint32_t> gone;
    for (auto& [h, reg] : d.regs) {
        if (reg.owner == obj)
            gone.push_back(h);
    }
    for (uint32_t h : gone)
        remove_registration(d, h);
    --d.open_handles;
}

const HandleOps kDriverOps = {.ioctl = driver_ioctl, .on_close = driver_on_close};

} // namespace

HANDLE driver_create(DWORD, DWORD, DWORD) {
    Driver& d = drv();
    {
        std::lock_guard<std::mutex> lk(d.m);
        ++d.open_handles;
    }
    return handle_add(&kDriverOps, std::make_shared<DriverHandle>());
}

void driver_set_tap(DriverTap tap, void* ctx) {
    Driver& d = drv();
    std::lock_guard<std::mutex> lk(d.m);
    d.tap = tap;
    d.tap_ctx = ctx;
}

void driver_bus_message(const uint8_t* msg, size_t n) {
    Driver& d = drv();
    std::lock_guard<std::mutex> lk(d.m);
    on_bus_message(d, msg, n);
}

void driver_bus_detach_all() {
    Driver& d = drv();
    std::lock_guard<std::mutex> lk(d.m);
    while (!d.devices.empty())
        remove_device(d, d.devices.begin()->first);
}

int driver_open_handles() {
    Driver& d = drv();
    std::lock_guard<std::mutex> lk(d.m);
    return d.open_handles;
}

int driver_registrations() {
    Driver& d = drv();
    std::lock_guard<std::mutex> lk(d.m);
    return static_cast<int>(d.regs.size());
}

} // namespace posix
