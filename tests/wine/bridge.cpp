// The Linux half of the Wine test driver: serves the requests the driver carries over
// from the Windows build with the stand-in driver of the Linux build, each on a thread of
// its own, so a blocked wait or transfer holds up no other request.
//
// The requests keep the 32-bit caller's layout. Records without addresses go to the
// stand-in as they are; those with addresses are laid out anew both ways here, and the
// caller's buffers they point at are read and written through the driver.
//
//   larkspur-wine-bridge DIR   makes DIR/requests and DIR/replies, prints "ready", serves
#include "platform/usbdriver_records.h"
#include "platform/winapi.h"
#include "tests/wine/wire.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- the 32-bit records with addresses --------------------------------------------------

struct ParamsInfo32 {
    uint32_t unique_id;
    uint32_t buffer;
    uint32_t size;
    uint32_t reserved;
};

struct ParamsTransfer32 {
    uint32_t unique_id;
    uint32_t pipe;
    uint32_t direction;
    uint32_t options;
    uint32_t buffer;
    uint32_t size;
    uint32_t dwBytesTransferred;
    uint8_t SetupPacket[8];
    uint32_t timeout_ms;
};

struct DeviceInfo32 {
    uint8_t device_descriptor[18];
    uint8_t reserved[30];
    uint32_t iface;
    uint32_t interface_count;
};

struct InterfaceRec32 {
    uint32_t alt_count;
    uint32_t reserved;
    uint32_t alt;
};

struct AltSettingRec32 {
    uint8_t descriptor[9];
    uint8_t reserved[7];
    uint32_t pipes;
};

static_assert(sizeof(ParamsInfo32) == 16 && sizeof(ParamsTransfer32) == 40);
static_assert(offsetof(ParamsTransfer32, timeout_ms) == 36);
static_assert(offsetof(DeviceInfo32, iface) == 48 && sizeof(InterfaceRec32) == 12 &&
              offsetof(InterfaceRec32, alt) == 8 && offsetof(AltSettingRec32, pipes) == 16 &&
              sizeof(AltSettingRec32) == 20);

// The stand-in's DeviceInfo block in the 32-bit layout, as it would stand at `base` in the
// caller: the records in the same order, their addresses pointing inside it.
std::vector<uint8_t> info_for_caller(const DeviceInfo& info, uint32_t base) {
    const uint32_t n = info.interface_count;
    const size_t ifaces = sizeof(DeviceInfo32), alts = ifaces + n * sizeof(InterfaceRec32);
    size_t pipes = alts + n * sizeof(AltSettingRec32), total = pipes;
    for (uint32_t i = 0; i < n; ++i)
        total += info.iface[i].alt->descriptor[4] * sizeof(PipeRec);
    std::vector<uint8_t> out(total);
    auto at = [&](size_t off) { return out.data() + off; };
    DeviceInfo32 d{};
    std::memcpy(d.device_descriptor, info.device_descriptor, sizeof d.device_descriptor);
    std::memcpy(d.reserved, info.reserved, sizeof d.reserved);
    d.iface = base + uint32_t(ifaces);
    d.interface_count = n;
    std::memcpy(at(0), &d, sizeof d);
    for (uint32_t i = 0; i < n; ++i) {
        const InterfaceRec& in = info.iface[i];
        const uint32_t count = in.alt->descriptor[4];
        InterfaceRec32 r{in.alt_count, in.reserved,
                         base + uint32_t(alts + i * sizeof(AltSettingRec32))};
        std::memcpy(at(ifaces + i * sizeof r), &r, sizeof r);
        AltSettingRec32 a{};
        std::memcpy(a.descriptor, in.alt->descriptor, sizeof a.descriptor);
        std::memcpy(a.reserved, in.alt->reserved, sizeof a.reserved);
        a.pipes = base + uint32_t(pipes);
        std::memcpy(at(alts + i * sizeof a), &a, sizeof a);
        std::memcpy(at(pipes), in.alt->pipes, count * sizeof(PipeRec));
        pipes += count * sizeof(PipeRec);
    }
    return out;
}

// ---- the link to the driver ---------------------------------------------------------------

bool read_all(int fd, void* buf, size_t n) {
    for (auto* p = static_cast<uint8_t*>(buf); n;) {
        ssize_t k = read(fd, p, n);
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

struct Link {
    int from_driver = -1, to_driver = -1;
    std::mutex send_m; // one message at a time on to_driver
    std::mutex m;
    std::condition_variable cv;
    std::map<uint32_t, std::optional<std::vector<uint8_t>>> memory; // answers to reads, by request
    std::map<uint32_t, HANDLE> files;                               // stand-in handles, by file
};

void send(Link& l, uint32_t kind, uint32_t tag, uint32_t arg0, uint32_t arg1,
          const void* data = nullptr, uint32_t size = 0) {
    wire_header h{kind, tag, arg0, arg1, size};
    std::lock_guard<std::mutex> lk(l.send_m);
    iovec v[2] = {{&h, sizeof h}, {const_cast<void*>(data), size}};
    size_t left = sizeof h + size;
    int at = 0;
    while (left) {
        ssize_t k = writev(l.to_driver, v + at, 2 - at);
        if (k <= 0) {
            std::perror("larkspur-wine-bridge: writing to the driver");
            _exit(1);
        }
        left -= size_t(k);
        for (size_t done = size_t(k); done;) {
            size_t step = std::min(done, v[at].iov_len);
            v[at].iov_base = static_cast<uint8_t*>(v[at].iov_base) + step;
            v[at].iov_len -= step;
            done -= step;
            if (!v[at].iov_len && at < 1)
                ++at;
        }
    }
}

// The caller's bytes at addr; nothing when the driver could not read them.
std::optional<std::vector<uint8_t>> read_caller(Link& l, uint32_t tag, uint32_t addr,
                                                uint32_t size) {
    std::vector<uint8_t> out;
    out.reserve(size);
    for (uint32_t done = 0; done < size;) {
        const uint32_t n = std::min(size - done, WIRE_MAX_DATA);
        std::unique_lock<std::mutex> lk(l.m);
        l.memory.erase(tag);
        lk.unlock();
        send(l, WIRE_READ, tag, addr + done, n);
        lk.lock();
        l.cv.wait(lk, [&] { return l.memory.count(tag) != 0; });
        std::optional<std::vector<uint8_t>> got = std::move(l.memory[tag]);
        l.memory.erase(tag);
        if (!got || got->size() != n)
            return std::nullopt;
        out.insert(out.end(), got->begin(), got->end());
        done += n;
    }
    return out;
}

void write_caller(Link& l, uint32_t tag, uint32_t addr, const uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const auto n = uint32_t(std::min<size_t>(size - done, WIRE_MAX_DATA));
        send(l, WIRE_WRITE, tag, addr + uint32_t(done), 0, data + done, n);
        done += n;
    }
}

// ---- requests -----------------------------------------------------------------------------

uint32_t ask(HANDLE h, uint32_t code, void* rec, size_t size) {
    uint32_t status = DRV_NO_HANDLE;
    DWORD returned = 0;
    DeviceIoControl(h, code, rec, DWORD(size), &status, sizeof status, &returned, nullptr);
    return status;
}

uint32_t serve_device_info(Link& l, uint32_t tag, HANDLE h, ParamsInfo32& p) {
    ParamsInfo n{};
    n.unique_id = p.unique_id;
    n.reserved = p.reserved;
    if (uint32_t s = ask(h, DRV_IOCTL_DEVICE_INFO, &n, sizeof n); s != DRV_OK)
        return s;
    std::vector<uint64_t> block((n.size + 7) / 8); // aligned for the records inside
    n.buffer = block.data();
    if (uint32_t s = ask(h, DRV_IOCTL_DEVICE_INFO, &n, sizeof n); s != DRV_OK)
        return s;
    std::vector<uint8_t> mine =
        info_for_caller(*reinterpret_cast<DeviceInfo*>(block.data()), p.buffer);
    if (!p.buffer) {
        p.size = uint32_t(mine.size());
        return DRV_OK;
    }
    if (p.size < mine.size()) { // the stand-in's own answer to a buffer too small
        n.size = 0;
        return ask(h, DRV_IOCTL_DEVICE_INFO, &n, sizeof n);
    }
    write_caller(l, tag, p.buffer, mine.data(), mine.size());
    return DRV_OK;
}

uint32_t serve_transfer(Link& l, uint32_t tag, HANDLE h, ParamsTransfer32& p) {
    ParamsTransfer n{};
    n.unique_id = p.unique_id;
    n.pipe = p.pipe;
    n.direction = p.direction;
    n.options = p.options;
    n.size = p.size;
    std::memcpy(n.SetupPacket, p.SetupPacket, sizeof n.SetupPacket);
    n.timeout_ms = p.timeout_ms;
    // A buffer the caller does not have reaches the stand-in as none, which it refuses.
    std::vector<uint8_t> data;
    constexpr uint32_t kLargest = 64u << 20;
    if (p.buffer && p.size <= kLargest) {
        if (p.direction == 0) {
            if (auto got = read_caller(l, tag, p.buffer, p.size))
                data = std::move(*got);
        } else {
            data.resize(p.size);
        }
        if (data.size() == p.size)
            n.buffer = data.data();
    }
    const uint32_t s = ask(h, DRV_IOCTL_TRANSFER, &n, sizeof n);
    p.dwBytesTransferred = n.dwBytesTransferred;
    if (p.direction == 1 && n.buffer && n.dwBytesTransferred)
        write_caller(l, tag, p.buffer, data.data(),
                     std::min<size_t>(n.dwBytesTransferred, data.size()));
    return s;
}

template <class T> bool as(std::vector<uint8_t>& rec, T& out) {
    if (rec.size() < sizeof(T))
        return false;
    std::memcpy(&out, rec.data(), sizeof out);
    return true;
}

template <class T> void put(std::vector<uint8_t>& rec, const T& in) {
    std::memcpy(rec.data(), &in, sizeof in);
}

// The runs of bytes that differ between the record as it came and as it goes back.
std::vector<uint8_t> changes(const std::vector<uint8_t>& before,
                             const std::vector<uint8_t>& after) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < after.size();) {
        if (before[i] == after[i]) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < after.size() && before[end] != after[end])
            ++end;
        const uint32_t run[2] = {uint32_t(i), uint32_t(end - i)};
        const auto* head = reinterpret_cast<const uint8_t*>(run);
        out.insert(out.end(), head, head + sizeof run);
        out.insert(out.end(), after.begin() + long(i), after.begin() + long(end));
        i = end;
    }
    return out;
}

void serve(Link& l, uint32_t tag, HANDLE h, uint32_t code, std::vector<uint8_t> rec) {
    const std::vector<uint8_t> before = rec;
    uint32_t status;
    ParamsInfo32 info;
    ParamsTransfer32 transfer;
    if (code == DRV_IOCTL_DEVICE_INFO && as(rec, info)) {
        status = serve_device_info(l, tag, h, info);
        put(rec, info);
    } else if (code == DRV_IOCTL_TRANSFER && as(rec, transfer)) {
        status = serve_transfer(l, tag, h, transfer);
        put(rec, transfer);
    } else { // no addresses inside: the same bytes in both layouts
        std::vector<uint64_t> aligned((rec.size() + 7) / 8);
        std::memcpy(aligned.data(), rec.data(), rec.size());
        status = ask(h, code, aligned.data(), rec.size());
        std::memcpy(rec.data(), aligned.data(), rec.size());
    }
    const std::vector<uint8_t> changed = changes(before, rec);
    send(l, WIRE_DONE, tag, status, 0, changed.data(), uint32_t(changed.size()));
}

int make_fifo(const std::string& path, int flags) {
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0)
        return -1;
    return open(path.c_str(), flags);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: larkspur-wine-bridge DIR\n");
        return 2;
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM); // it serves the process that started it, and ends with it
    Link l;
    const std::string dir = argv[1];
    // Both ends held open here, so neither open on the driver's side waits for the other.
    l.from_driver = make_fifo(dir + "/" WIRE_TO_BRIDGE, O_RDWR | O_CLOEXEC);
    l.to_driver = make_fifo(dir + "/" WIRE_TO_DRIVER, O_RDWR | O_CLOEXEC);
    if (l.from_driver < 0 || l.to_driver < 0) {
        std::perror("larkspur-wine-bridge: making the FIFOs");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<uint8_t> data;
    for (wire_header h; read_all(l.from_driver, &h, sizeof h);) {
        if (h.size > WIRE_MAX_DATA)
            break;
        data.resize(h.size);
        if (!read_all(l.from_driver, data.data(), h.size))
            break;
        std::unique_lock<std::mutex> lk(l.m);
        if (h.kind == WIRE_OPEN) {
            l.files[h.tag] =
                CreateFileA("\\\\.\\WINDRVR6", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        } else if (h.kind == WIRE_CLOSE) {
            if (auto it = l.files.find(h.tag); it != l.files.end()) {
                CloseHandle(it->second);
                l.files.erase(it);
            }
        } else if (h.kind == WIRE_REQUEST) {
            auto it = l.files.find(h.arg0);
            HANDLE file = it == l.files.end() ? INVALID_HANDLE_VALUE : it->second;
            std::thread(serve, std::ref(l), h.tag, file, h.arg1, data).detach();
        } else if (h.kind == WIRE_MEMORY) {
            l.memory[h.tag] = h.arg0 ? std::optional(data) : std::nullopt;
            l.cv.notify_all();
        }
    }
    // The requests still in flight end with the process, which is what they serve.
    std::fprintf(stderr, "larkspur-wine-bridge: the link to the driver broke\n");
    std::fflush(stderr);
    _exit(1);
}
