// HID class stand-in: the hid-* sockets of the device directory are the HID interfaces,
// and each open handle is one SOCK_SEQPACKET connection to a virtual HID device with
// overlapped reads and writes served by a thread of its own.
#include "platform/posix/hid.h"

#include "platform/posix/handles.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

// Opaque to callers; here it is just the capabilities read from the device's hello.
struct _HIDP_PREPARSED_DATA {
    HIDP_CAPS caps;
};

namespace posix {
namespace {

constexpr GUID kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

constexpr DWORD kPending = ERROR_IO_PENDING;
constexpr auto kHelloWait = std::chrono::milliseconds(2000);
// Like the class driver's ring of input buffers: a host that stops reading loses the
// oldest reports, never memory.
constexpr size_t kMaxBufferedReports = 1024;
// Largest datagram the protocol allows: type byte and a report of up to 65535 bytes.
constexpr size_t kMaxMessage = 1 + 65535;
constexpr DWORD SPINT_ACTIVE_FLAG = 0x1;

bool is_hid_guid(const GUID* g) {
    return g && std::memcmp(g, &kHidGuid, sizeof(GUID)) == 0;
}

BOOL fail(DWORD err) {
    SetLastError(err);
    return FALSE;
}

// ---- device information sets --------------------------------------------------------

struct DevInfoSet {
    std::vector<std::string> paths; // socket paths, in name order
};

const HandleOps kDevInfoOps = {};

std::vector<std::string> list_hid_sockets() {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    const std::string dir = device_dir();
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code sec;
        if (name.rfind("hid-", 0) == 0 && it->is_socket(sec))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    for (auto& n : names)
        n = dir + "/" + n;
    return names;
}

// ---- preparsed data -----------------------------------------------------------------

std::mutex g_preparsed_lock;
std::set<PHIDP_PREPARSED_DATA> g_preparsed; // live records, so stale pointers are refused

// ---- open devices -------------------------------------------------------------------

// One overlapped request. A write that went out keeps its place
// in the queue after a cancel, with ov null, because its 'A' is still to come.
struct Request {
    Request(OVERLAPPED* o, HANDLE e, BYTE* b = nullptr) : ov(o), event(e), buf(b) {}
    OVERLAPPED* ov;
    HANDLE event;
    BYTE* buf;             // read: where the report goes
    std::vector<BYTE> msg; // write: 'O' + report, until it went out
    bool sent = false;
};

struct HidDevice {
    int fd = -1;
    int peer = -1; // the device's end, held only by a handle made without a device
    int wake_rd = -1;
    int wake_wr = -1;
    WORD vid = 0, pid = 0, in_len = 0, out_len = 0;

    std::mutex m;
    std::condition_variable done; // some request completed
    std::deque<std::vector<BYTE>> reports;
    std::deque<Request> reads;
    std::deque<Request> writes;
    bool gone = false;     // the device closed the connection
    bool closed = false;   // CloseHandle ran (or the object is being destroyed)
    bool stopping = false; // the I/O thread is to end
    std::thread io;

    ~HidDevice();
};

void complete(HidDevice& d, Request& r, DWORD status, DWORD n) {
    if (r.ov) {
        r.ov->InternalHigh = n;
        r.ov->Internal = status;
        if (r.event && r.event != INVALID_HANDLE_VALUE)
            event_signal(r.event);
        r.ov = nullptr;
    }
    d.done.notify_all();
}

void fail_all(HidDevice& d, DWORD status) {
    for (auto& r : d.reads)
        complete(d, r, status, 0);
    for (auto& r : d.writes)
        complete(d, r, status, 0);
    d.reads.clear();
    d.writes.clear();
}

void mark_gone(HidDevice& d) {
    d.gone = true;
    d.reports.clear();
    fail_all(d, ERROR_DEVICE_NOT_CONNECTED);
}

void kick(HidDevice& d) {
    const char b = 1;
    if (d.wake_wr >= 0) {
        [[maybe_unused]] ssize_t rc = ::write(d.wake_wr, &b, 1);
    }
}

// Sends what is queued and not yet out, oldest first. Caller holds d.m.
void flush_writes(HidDevice& d) {
    for (auto& r : d.writes) {
        if (r.sent)
            continue;
        ssize_t rc = ::send(d.fd, r.msg.data(), r.msg.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (rc < 0) {
            mark_gone(d);
            return;
        }
        r.sent = true;
        r.msg = {};
    }
}

bool has_unsent(const HidDevice& d) {
    return std::any_of(d.writes.begin(), d.writes.end(), [](const Request& r) { return !r.sent; });
}

void on_message(HidDevice& d, const BYTE* p, size_t n) {
    std::lock_guard<std::mutex> lk(d.m);
    if (d.gone || n == 0)
        return;
    if (p[0] == 'I' && d.in_len > 0 && n == 1u + d.in_len) {
        if (!d.reads.empty()) {
            Request& r = d.reads.front();
            std::memcpy(r.buf, p + 1, d.in_len);
            complete(d, r, 0, d.in_len);
            d.reads.pop_front();
            return;
        }
        if (d.reports.size() == kMaxBufferedReports)
            d.reports.pop_front();
        d.reports.emplace_back(p + 1, p + n);
    } else if (p[0] == 'A' && n == 1) {
        if (d.writes.empty() || !d.writes.front().sent)
            return; // nothing is waiting for it
        complete(d, d.writes.front(), 0, d.out_len);
        d.writes.pop_front();
    }
    // Anything else is malformed or unknown and has no effect.
}

void io_loop(HidDevice* d) {
    std::vector<BYTE> buf(kMaxMessage + 1);
    for (;;) {
        bool want_out = false;
        bool gone = false;
        {
            std::lock_guard<std::mutex> lk(d->m);
            if (d->stopping)
                return;
            want_out = has_unsent(*d);
            gone = d->gone;
        }
        pollfd pf[2] = {{d->wake_rd, POLLIN, 0},
                        {gone ? -1 : d->fd, short(POLLIN | (want_out ? POLLOUT : 0)), 0}};
        if (::poll(pf, 2, -1) < 0)
            continue; // EINTR
        if (pf[0].revents) {
            char drain[64];
            while (::read(d->wake_rd, drain, sizeof drain) > 0) {
            }
            continue;
        }
        if (pf[1].revents & POLLOUT) {
            std::lock_guard<std::mutex> lk(d->m);
            flush_writes(*d);
        }
        if (!(pf[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        iovec iov = {buf.data(), buf.size()};
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        ssize_t n = ::recvmsg(d->fd, &mh, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0) {
            // An empty datagram reads like the end of the connection; both end the device.
            std::lock_guard<std::mutex> lk(d->m);
            mark_gone(*d);
            continue;
        }
        if (mh.msg_flags & MSG_TRUNC)
            continue;
        on_message(*d, buf.data(), static_cast<size_t>(n));
    }
}

// Ends the I/O thread and the connection. With complete_pending, requests still in
// flight end as aborted; at process exit their OVERLAPPED records may be gone, so the
// destructor leaves them alone.
void shutdown(HidDevice& d, bool complete_pending) {
    {
        std::lock_guard<std::mutex> lk(d.m);
        d.stopping = true;
        d.closed = true;
        if (complete_pending)
            fail_all(d, ERROR_OPERATION_ABORTED);
    }
    if (d.io.joinable()) {
        kick(d);
        d.io.join();
    }
    std::lock_guard<std::mutex> lk(d.m);
    for (int* fd : {&d.fd, &d.peer, &d.wake_rd, &d.wake_wr}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

HidDevice::~HidDevice() {
    shutdown(*this, false);
}

// A request that failed before it started. For an overlapped caller the record and the
// event say so too, so a caller that only waits on the event still learns of it.
BOOL fail_now(HidDevice& d, OVERLAPPED* ov, DWORD err) {
    if (ov) {
        Request r(ov, ov->hEvent);
        complete(d, r, err, 0);
    }
    return fail(err);
}

void start_request(OVERLAPPED* ov) {
    ov->Internal = kPending;
    ov->InternalHigh = 0;
    if (ov->hEvent && ov->hEvent != INVALID_HANDLE_VALUE)
        ResetEvent(ov->hEvent);
}

// Every request is overlapped: the part code opens HID devices with FILE_FLAG_OVERLAPPED.
BOOL op_read(void* obj, void* buf, DWORD n, DWORD* got, OVERLAPPED* ov) {
    auto& d = *static_cast<HidDevice*>(obj);
    std::unique_lock<std::mutex> lk(d.m);
    if (got)
        *got = 0;
    if (d.closed)
        return fail(ERROR_INVALID_HANDLE);
    if (!buf || d.in_len == 0 || n < d.in_len || !ov)
        return fail(ERROR_INVALID_PARAMETER);
    if (d.gone)
        return fail_now(d, ov, ERROR_DEVICE_NOT_CONNECTED);
    auto* dst = static_cast<BYTE*>(buf);
    start_request(ov);
    if (!d.reports.empty()) {
        std::memcpy(dst, d.reports.front().data(), d.in_len);
        d.reports.pop_front();
        if (got)
            *got = d.in_len;
        Request r(ov, ov->hEvent);
        complete(d, r, 0, d.in_len);
        return TRUE;
    }
    d.reads.emplace_back(ov, ov->hEvent, dst);
    return fail(ERROR_IO_PENDING);
}

BOOL op_write(void* obj, const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov) {
    auto& d = *static_cast<HidDevice*>(obj);
    std::unique_lock<std::mutex> lk(d.m);
    if (put)
        *put = 0;
    if (d.closed)
        return fail(ERROR_INVALID_HANDLE);
    if (!buf || d.out_len == 0 || n != d.out_len || !ov)
        return fail(ERROR_INVALID_PARAMETER);
    if (d.gone)
        return fail_now(d, ov, ERROR_DEVICE_NOT_CONNECTED);
    start_request(ov);
    Request r(ov, ov->hEvent);
    const auto* src = static_cast<const BYTE*>(buf);
    r.msg.reserve(1 + n);
    r.msg.push_back('O');
    r.msg.insert(r.msg.end(), src, src + n);
    d.writes.push_back(std::move(r));
    flush_writes(d);
    if (d.gone) {
        // The send found the connection closed; mark_gone completed the request.
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (has_unsent(d))
        kick(d); // the I/O thread takes over once the socket has room
    return fail(ERROR_IO_PENDING);
}

BOOL op_cancel(void* obj) {
    auto& d = *static_cast<HidDevice*>(obj);
    std::lock_guard<std::mutex> lk(d.m);
    for (auto& r : d.reads)
        complete(d, r, ERROR_OPERATION_ABORTED, 0);
    d.reads.clear();
    for (auto it = d.writes.begin(); it != d.writes.end();) {
        complete(d, *it, ERROR_OPERATION_ABORTED, 0);
        it = it->sent ? it + 1 : d.writes.erase(it);
    }
    return TRUE;
}

BOOL op_result(void* obj, OVERLAPPED* ov, DWORD* n, BOOL wait) {
    auto& d = *static_cast<HidDevice*>(obj);
    if (!ov)
        return fail(ERROR_INVALID_PARAMETER);
    std::unique_lock<std::mutex> lk(d.m);
    if (wait)
        d.done.wait(lk, [&] { return ov->Internal != kPending; });
    if (ov->Internal == kPending)
        return fail(ERROR_IO_INCOMPLETE);
    if (n)
        *n = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal != 0)
        return fail(static_cast<DWORD>(ov->Internal));
    return TRUE;
}

void op_close(void* obj) {
    shutdown(*static_cast<HidDevice*>(obj), true);
}

const HandleOps kHidOps = {.read = op_read,
                           .write = op_write,
                           .cancel_io = op_cancel,
                           .overlapped_result = op_result,
                           .on_close = op_close};

uint16_t le16(const BYTE* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

DWORD connect_error(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

int ms_left(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The device's hello: 'H', vid, pid, input and output report length.
bool take_hello(const BYTE* msg, size_t n, HidDevice& d) {
    if (n != 9 || msg[0] != 'H')
        return false;
    d.vid = le16(msg + 1);
    d.pid = le16(msg + 3);
    d.in_len = le16(msg + 5);
    d.out_len = le16(msg + 7);
    return true;
}

// Connects and takes the device's hello ('H', vid, pid, input and output length), all
// within one bounded wait: a device that neither accepts nor speaks cannot hang the
// caller. Returns 0 or the error to report.
DWORD connect_device(int fd, const sockaddr_un& addr, HidDevice& d) {
    const auto deadline = std::chrono::steady_clock::now() + kHelloWait;
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EAGAIN && errno != EINTR)
            return connect_error(errno);
        if (ms_left(deadline) == 0)
            return ERROR_GEN_FAILURE;
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // its backlog is full
    }
    pollfd pf = {fd, POLLIN, 0};
    int rc;
    while ((rc = ::poll(&pf, 1, ms_left(deadline))) < 0 && errno == EINTR) {
    }
    if (rc <= 0)
        return ERROR_GEN_FAILURE;
    BYTE msg[16];
    iovec iov = {msg, sizeof msg};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t n = ::recvmsg(fd, &mh, MSG_DONTWAIT);
    if (n < 0 || (mh.msg_flags & MSG_TRUNC) || !take_hello(msg, static_cast<size_t>(n), d))
        return ERROR_GEN_FAILURE;
    return 0;
}

std::shared_ptr<HidDevice> device_of(HANDLE h) {
    auto d = handle_get<HidDevice>(h, &kHidOps);
    if (!d)
        SetLastError(ERROR_INVALID_HANDLE);
    return d;
}

} // namespace

HANDLE hid_create(const std::string& path, DWORD, DWORD, DWORD) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    auto d = std::make_shared<HidDevice>();
    d->fd = fd; // from here on the device record owns it
    if (DWORD err = connect_device(fd, addr, *d)) {
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    d->wake_rd = wake[0];
    d->wake_wr = wake[1];
    try {
        d->io = std::thread(io_loop, d.get());
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle_add(&kHidOps, std::move(d));
}

HANDLE hid_create_unconnected(const uint8_t* hello, size_t n, DWORD) {
    auto d = std::make_shared<HidDevice>();
    if (!take_hello(hello, n, *d)) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    d->fd = sv[0];
    d->peer = sv[1];
    return handle_add(&kHidOps, std::move(d));
}

void hid_deliver(HANDLE h, const uint8_t* msg, size_t n) {
    if (auto d = handle_get<HidDevice>(h, &kHidOps))
        on_message(*d, msg, n);
}

} // namespace posix

using namespace posix;

void HidD_GetHidGuid(LPGUID guid) {
    if (guid)
        *guid = kHidGuid;
}

HDEVINFO SetupDiGetClassDevsW(const GUID* class_guid, LPCWSTR, void*, DWORD flags) {
    if (!(flags & DIGCF_DEVICEINTERFACE) || (flags & DIGCF_ALLCLASSES) ||
        !is_hid_guid(class_guid)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DevInfoSet>();
    set->paths = list_hid_sockets();
    return handle_add(&kDevInfoOps, std::move(set));
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set_h, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    auto set = handle_get<DevInfoSet>(set_h, &kDevInfoOps);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    if (!guid || !data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    if (!is_hid_guid(guid) || index >= set->paths.size())
        return fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = kHidGuid;
    data->Flags = SPINT_ACTIVE_FLAG;
    data->Reserved = static_cast<ULONG_PTR>(index) + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set_h, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                      LPDWORD required, PSP_DEVINFO_DATA) {
    auto set = handle_get<DevInfoSet>(set_h, &kDevInfoOps);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->paths.size())
        return fail(ERROR_INVALID_PARAMETER);
    const std::string& path = set->paths[data->Reserved - 1];
    constexpr size_t kFixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const size_t need = kFixed + (path.size() + 1) * sizeof(WCHAR);
    if (required)
        *required = static_cast<DWORD>(need);
    if (!detail)
        return fail(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
    // Windows says ERROR_INVALID_USER_BUFFER for both of these.
    if (size < kFixed + sizeof(WCHAR) ||
        detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return fail(ERROR_INVALID_PARAMETER);
    if (size < need)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    WCHAR* out = detail->DevicePath;
    for (char c : path)
        *out++ = static_cast<WCHAR>(static_cast<unsigned char>(c));
    *out = 0;
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set_h) {
    if (!handle_get<DevInfoSet>(set_h, &kDevInfoOps) || !handle_remove(set_h))
        return fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

BOOLEAN HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attrs) {
    auto d = device_of(h);
    if (!d)
        return FALSE;
    if (!attrs)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lk(d->m);
    if (d->gone || d->closed)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    attrs->Size = sizeof(HIDD_ATTRIBUTES);
    attrs->VendorID = d->vid;
    attrs->ProductID = d->pid;
    attrs->VersionNumber = 0;
    return TRUE;
}

BOOLEAN HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* out) {
    auto d = device_of(h);
    if (!d)
        return FALSE;
    if (!out)
        return fail(ERROR_INVALID_PARAMETER);
    auto* pp = new _HIDP_PREPARSED_DATA{};
    {
        std::lock_guard<std::mutex> lk(d->m);
        if (d->gone || d->closed) {
            delete pp;
            return fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        pp->caps.UsagePage = 0xFF00; // vendor defined
        pp->caps.Usage = 0x01;
        pp->caps.InputReportByteLength = d->in_len;
        pp->caps.OutputReportByteLength = d->out_len;
        pp->caps.NumberLinkCollectionNodes = 1;
    }
    std::lock_guard<std::mutex> lk(g_preparsed_lock);
    g_preparsed.insert(pp);
    *out = pp;
    return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA pp) {
    {
        std::lock_guard<std::mutex> lk(g_preparsed_lock);
        if (g_preparsed.erase(pp) == 0)
            return FALSE;
    }
    delete pp;
    return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA pp, PHIDP_CAPS caps) {
    std::lock_guard<std::mutex> lk(g_preparsed_lock);
    if (!caps || !g_preparsed.count(pp))
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *caps = pp->caps;
    return HIDP_STATUS_SUCCESS;
}
