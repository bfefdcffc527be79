// HID class stand-in over the kernel's hidraw devices, found through udev. An open handle
// is one open file of a hidraw node; its overlapped reads and writes are served by a
// thread of its own, started by the first request.
#include "platform/posix/devnodes.h"
#include "platform/posix/handles.h"
#include "platform/posix/hid_report.h"
#include "platform/posix/open_failure.h"
#include "platform/shared.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

// Opaque to callers; here it is just the capabilities taken from the report descriptor.
struct _HIDP_PREPARSED_DATA {
    HIDP_CAPS caps;
};

namespace posix {
namespace {

constexpr GUID kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

constexpr DWORD kPending = ERROR_IO_PENDING;
constexpr DWORD SPINT_ACTIVE_FLAG = 0x1;

bool is_hid_guid(const GUID* g) {
    return g && std::memcmp(g, &kHidGuid, sizeof(GUID)) == 0;
}

BOOL fail(DWORD err) {
    SetLastError(err);
    return FALSE;
}

// ---- udev ---------------------------------------------------------------------------

struct UdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <class T> using UdevPtr = std::unique_ptr<T, UdevUnref>;

struct HidrawNode {
    std::string devnode;
    std::string syspath;
    std::optional<HidId> id; // none when the parent's HID_ID is missing or malformed
};

// The hidraw devices udev knows, in its order. Nodes are matched by name, never by
// fstat: an emulated node is a pseudo-terminal underneath.
std::vector<HidrawNode> list_hidraw() {
    std::vector<HidrawNode> out;
    UdevPtr<udev> u(udev_new());
    UdevPtr<udev_enumerate> en(u ? udev_enumerate_new(u.get()) : nullptr);
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "hidraw") < 0 ||
        udev_enumerate_scan_devices(en.get()) < 0)
        return out;
    udev_list_entry* e;
    udev_list_entry_foreach(e, udev_enumerate_get_list_entry(en.get())) {
        UdevPtr<udev_device> dev(
            udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(e)));
        const char* node = dev ? udev_device_get_devnode(dev.get()) : nullptr;
        if (!node)
            continue;
        HidrawNode n{node, udev_device_get_syspath(dev.get()), std::nullopt};
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev.get(), "hid", nullptr);
        if (const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr)
            n.id = hid_parse_id(id);
        out.push_back(std::move(n));
    }
    return out;
}

// ---- device information sets --------------------------------------------------------

struct DevInfoSet {
    std::vector<std::string> paths;    // devnodes
    std::vector<std::string> syspaths; // of the same devices
};

const HandleOps kDevInfoOps = {};

// ---- preparsed data -----------------------------------------------------------------

std::mutex g_preparsed_lock;
std::set<PHIDP_PREPARSED_DATA> g_preparsed; // live records, so stale pointers are refused

// ---- open devices -------------------------------------------------------------------

struct Request {
    OVERLAPPED* ov;
    HANDLE event;
    BYTE* buf = nullptr;      // read: where the report goes
    std::vector<BYTE> report; // write: what goes to the node
};

struct HidDevice {
    int fd = -1;
    int wake_rd = -1;
    int wake_wr = -1;
    std::optional<HidId> id;
    std::optional<HidLayout> layout; // none when the descriptor could not be had or read

    std::mutex m;
    std::condition_variable done; // some request completed
    std::deque<Request> reads;
    std::deque<Request> writes;
    std::optional<Request> writing; // in the node's write() now
    std::vector<BYTE> got;          // one report as read from the node
    bool gone = false;              // the device went away
    bool closed = false;            // CloseHandle ran (or the object is being destroyed)
    bool stopping = false;          // the I/O thread is to end
    std::thread io;

    uint16_t in_len() const { return layout ? layout->input : 0; }
    uint16_t out_len() const { return layout ? layout->output : 0; }
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

// Ends every request in flight. A write already in the node's write() stays there; only
// its request ends now.
void fail_all(HidDevice& d, DWORD status) {
    for (auto* q : {&d.reads, &d.writes}) {
        for (auto& r : *q)
            complete(d, r, status, 0);
        q->clear();
    }
    if (d.writing)
        complete(d, *d.writing, status, 0);
}

void mark_gone(HidDevice& d) {
    d.gone = true;
    fail_all(d, ERROR_DEVICE_NOT_CONNECTED);
}

bool gone_error(int err) {
    return err == ENODEV || err == EIO || err == ENXIO || err == ESHUTDOWN || err == EPIPE ||
           err == ECONNRESET || err == ENOTCONN || err == EBADF;
}

void kick(HidDevice& d) {
    const char b = 1;
    if (d.wake_wr >= 0) {
        [[maybe_unused]] ssize_t rc = ::write(d.wake_wr, &b, 1);
    }
}

// Reads what the node has ready into the waiting reads, oldest first, one report each.
// Caller holds d.m: a report read is handed over before anything can cancel its read.
// The node is read only while a read is waiting, as the kernel queues input reports per
// open file and a handle nobody reads from must not take them; and only once poll says a
// report is there, since an emulated node's read() waits for one whatever the flags.
void serve_reads(HidDevice& d) {
    while (!d.gone && !d.reads.empty()) {
        pollfd pf = {d.fd, POLLIN, 0};
        if (::poll(&pf, 1, 0) <= 0)
            return;
        if (!(pf.revents & POLLIN)) {
            if (pf.revents & (POLLHUP | POLLERR | POLLNVAL))
                mark_gone(d);
            return;
        }
        const ssize_t n = ::read(d.fd, d.got.data(), d.got.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            mark_gone(d);
            return;
        }
        Request& r = d.reads.front();
        hid_input_view({d.got.data(), size_t(n)}, d.layout->numbered, {r.buf, d.in_len()});
        complete(d, r, 0, d.in_len());
        d.reads.pop_front();
    }
}

// Writes go out one at a time; reads wait for the node in poll, which also shows a
// device that went away. Writing blocks on a real kernel until the report went out.
void io_loop(HidDevice* d) {
    for (;;) {
        std::unique_lock<std::mutex> lk(d->m);
        if (d->stopping)
            return;
        if (!d->gone && !d->writes.empty()) {
            d->writing = std::move(d->writes.front());
            d->writes.pop_front();
            const std::vector<BYTE> report = std::move(d->writing->report);
            lk.unlock();
            ssize_t n;
            while ((n = ::write(d->fd, report.data(), report.size())) < 0 && errno == EINTR) {
            }
            const int err = errno;
            lk.lock();
            if (n < 0 && gone_error(err))
                mark_gone(*d);
            else if (d->writing)
                complete(*d, *d->writing, size_t(n) == report.size() ? 0 : ERROR_GEN_FAILURE,
                         n < 0 ? 0 : DWORD(d->out_len()));
            d->writing.reset();
            continue;
        }
        const bool want = !d->gone && !d->reads.empty();
        pollfd pf[2] = {{d->wake_rd, POLLIN, 0},
                        {d->gone ? -1 : d->fd, short(want ? POLLIN : 0), 0}};
        lk.unlock();
        if (::poll(pf, 2, -1) < 0)
            continue; // EINTR
        if (pf[0].revents) {
            char drain[64];
            while (::read(d->wake_rd, drain, sizeof drain) > 0) {
            }
        }
        lk.lock();
        if (pf[1].revents & POLLIN)
            serve_reads(*d);
        else if (pf[1].revents & (POLLHUP | POLLERR | POLLNVAL))
            mark_gone(*d);
    }
}

// Ends the I/O thread and closes the node. With complete_pending, requests still in
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
    for (int* fd : {&d.fd, &d.wake_rd, &d.wake_wr}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

HidDevice::~HidDevice() {
    shutdown(*this, false);
}

// Starts the I/O thread if it is not running. Caller holds d.m.
bool start_io(HidDevice& d) {
    if (d.io.joinable())
        return true;
    int wake[2];
    if (d.wake_rd < 0 && ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    if (d.wake_rd < 0) {
        d.wake_rd = wake[0];
        d.wake_wr = wake[1];
    }
    try {
        d.io = std::thread(io_loop, &d);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// A request that failed before it started. For an overlapped caller the record and the
// event say so too, so a caller that only waits on the event still learns of it.
BOOL fail_now(HidDevice& d, OVERLAPPED* ov, DWORD err) {
    if (ov) {
        Request r{ov, ov->hEvent, nullptr, {}};
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
    std::lock_guard<std::mutex> lk(d.m);
    if (got)
        *got = 0;
    if (d.closed)
        return fail(ERROR_INVALID_HANDLE);
    const DWORD len = d.in_len();
    if (!buf || len == 0 || n < len || !ov)
        return fail(ERROR_INVALID_PARAMETER);
    if (d.gone)
        return fail_now(d, ov, ERROR_DEVICE_NOT_CONNECTED);
    start_request(ov);
    d.reads.push_back({ov, ov->hEvent, static_cast<BYTE*>(buf), {}});
    // A report already queued completes the read at once, as the class driver's buffer does.
    serve_reads(d);
    if (ov->Internal != kPending) {
        if (got)
            *got = static_cast<DWORD>(ov->InternalHigh);
        return ov->Internal == 0 ? TRUE : fail(static_cast<DWORD>(ov->Internal));
    }
    if (!start_io(d)) {
        d.reads.pop_back();
        return fail_now(d, ov, ERROR_NOT_ENOUGH_MEMORY);
    }
    kick(d);
    return fail(ERROR_IO_PENDING);
}

// One output report of the caller's length, the report ID first. The node gets the
// report at the length its ID declares, as the Windows class driver sends it.
BOOL op_write(void* obj, const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov) {
    auto& d = *static_cast<HidDevice*>(obj);
    std::lock_guard<std::mutex> lk(d.m);
    if (put)
        *put = 0;
    if (d.closed)
        return fail(ERROR_INVALID_HANDLE);
    const auto* src = static_cast<const BYTE*>(buf);
    if (!src || d.out_len() == 0 || n != d.out_len() || !ov || d.layout->output_by_id[src[0]] == 0)
        return fail(ERROR_INVALID_PARAMETER);
    if (d.gone)
        return fail_now(d, ov, ERROR_DEVICE_NOT_CONNECTED);
    start_request(ov);
    if (!start_io(d))
        return fail_now(d, ov, ERROR_NOT_ENOUGH_MEMORY);
    d.writes.push_back({ov, ov->hEvent, nullptr, {src, src + d.layout->output_by_id[src[0]]}});
    kick(d);
    return fail(ERROR_IO_PENDING);
}

// A write already in the node's write() cannot be called back: its request ends as
// aborted now, whether or not the report still goes out.
BOOL op_cancel(void* obj) {
    auto& d = *static_cast<HidDevice*>(obj);
    std::lock_guard<std::mutex> lk(d.m);
    fail_all(d, ERROR_OPERATION_ABORTED);
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

DWORD open_error(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// From the node itself rather than the parent's sysfs attribute: the descriptor is then
// surely the opened device's, and a binary attribute needs no path of its own.
std::optional<HidLayout> read_layout(int fd) {
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) != 0 || size < 0 || size_t(size) > kMaxDescriptor)
        return std::nullopt;
    auto rd = std::make_unique<hidraw_report_descriptor>();
    rd->size = static_cast<__u32>(size);
    if (::ioctl(fd, HIDIOCGRDESC, rd.get()) != 0)
        return std::nullopt;
    return hid_parse_descriptor({rd->value, size_t(size)});
}

// A falcon board's boot ROM or test program: a node the search would have taken, had it
// opened. Other devices (a keyboard, a headset) are none of the user's concern here.
bool is_board(const std::optional<HidId>& id) {
    if (!id || id->vendor != FALCON_VENDOR_ID)
        return false;
    for (int t : {TARGET_KESTREL, TARGET_MERLIN, TARGET_HOBBY})
        if (id->product == target_table[t].product_id)
            return true;
    return false;
}

std::shared_ptr<HidDevice> device_of(HANDLE h) {
    auto d = handle_get<HidDevice>(h, &kHidOps);
    if (!d)
        SetLastError(ERROR_INVALID_HANDLE);
    return d;
}

} // namespace

// Only a node that udev lists as hidraw is a HID device; any other path names none.
HANDLE hid_create(const std::string& path, DWORD, DWORD, DWORD) {
    std::optional<HidrawNode> node;
    for (HidrawNode& n : list_hidraw()) {
        if (n.devnode == path)
            node = std::move(n);
    }
    if (!node) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        if (is_board(node->id))
            report_open_failure(path, open_failure_reason(err));
        SetLastError(open_error(err));
        return INVALID_HANDLE_VALUE;
    }
    auto d = std::make_shared<HidDevice>();
    d->fd = fd;
    d->id = node->id;
    d->layout = read_layout(fd);
    // A device without numbered reports sends no ID byte; the kernel cuts a longer report.
    if (d->layout)
        d->got.resize(std::max(d->layout->input - (d->layout->numbered ? 0 : 1), 1));
    return handle_add(&kHidOps, std::move(d));
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
    for (HidrawNode& n : list_hidraw()) {
        set->paths.push_back(std::move(n.devnode));
        set->syspaths.push_back(std::move(n.syspath));
    }
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
                                      LPDWORD required, PSP_DEVINFO_DATA info) {
    auto set = handle_get<DevInfoSet>(set_h, &kDevInfoOps);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->paths.size())
        return fail(ERROR_INVALID_PARAMETER);
    const std::string& path = set->paths[data->Reserved - 1];
    if (info) {
        if (info->cbSize != sizeof(SP_DEVINFO_DATA))
            return fail(ERROR_INVALID_PARAMETER);
        info->DevInst = devnode_of(set->syspaths[data->Reserved - 1]);
    }
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
    if (!d->id)
        return fail(ERROR_GEN_FAILURE);
    attrs->Size = sizeof(HIDD_ATTRIBUTES);
    attrs->VendorID = d->id->vendor;
    attrs->ProductID = d->id->product;
    attrs->VersionNumber = 0;
    return TRUE;
}

BOOLEAN HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* out) {
    auto d = device_of(h);
    if (!d)
        return FALSE;
    if (!out)
        return fail(ERROR_INVALID_PARAMETER);
    auto pp = std::make_unique<_HIDP_PREPARSED_DATA>();
    {
        std::lock_guard<std::mutex> lk(d->m);
        if (d->gone || d->closed)
            return fail(ERROR_DEVICE_NOT_CONNECTED);
        if (!d->layout)
            return fail(ERROR_GEN_FAILURE);
        pp->caps.UsagePage = d->layout->usage_page;
        pp->caps.Usage = d->layout->usage;
        pp->caps.InputReportByteLength = d->layout->input;
        pp->caps.OutputReportByteLength = d->layout->output;
        pp->caps.FeatureReportByteLength = d->layout->feature;
    }
    std::lock_guard<std::mutex> lk(g_preparsed_lock);
    *out = pp.get();
    g_preparsed.insert(pp.release());
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
