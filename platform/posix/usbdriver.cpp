// The stand-in USB kernel driver: one in-process driver instance behind every
// "\\.\WINDRVR6" handle, driving the machine's USB devices through libusb. It serves the
// requests of the USB driver layer on the records in the caller's memory and nothing else.
//
// Devices come from libusb's hot-plug callbacks, enumerating those already present: the
// table is filled when the first registration starts the library and follows every
// arrival from then on, whether a registration is open or not, so a device that came
// while nobody listened is offered to the next registration; and no thread of ours polls.
// The library runs while any driver handle is open (the caller's own per-request handles
// included), so no operation outlives it.
#include "platform/posix/usbdriver.h"

#include "platform/board_port.h"
#include "platform/posix/devnodes.h"
#include "platform/posix/handles.h"
#include "platform/posix/open_failure.h"
#include "platform/usbdriver_records.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
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

constexpr uint32_t kDefaultVersion = 1100;
// Unknown request, record too short, or an argument the device cannot take.
constexpr uint32_t kStatusBadRequest = 0x20000002;

struct Endpoint {
    uint8_t address;
    uint8_t attributes;
    uint16_t max_packet;
    uint8_t interval;
};

struct AltSetting {
    std::array<uint8_t, 9> descriptor; // the standard interface descriptor
    std::vector<Endpoint> endpoints;
};

struct Interface {
    std::vector<AltSetting> alts;
    size_t current = 0; // index into alts
    uint8_t number() const { return alts[0].descriptor[2]; }
};

// One device as libusb has it, shared by the table and the operations in flight: the
// handle is closed only when the last of them lets go, never under a transfer.
struct UsbDev {
    libusb_device* usb;
    std::mutex m; // opening, claiming, alternate settings
    libusb_device_handle* h = nullptr;
    std::bitset<256> claimed;
    explicit UsbDev(libusb_device* d) : usb(libusb_ref_device(d)) {}
    ~UsbDev() {
        if (h) {
            for (int i = 0; i < 256; ++i)
                if (claimed[i])
                    libusb_release_interface(h, i);
            libusb_close(h);
        }
        libusb_unref_device(usb);
    }
};

struct Device {
    uint32_t id = 0;
    std::shared_ptr<UsbDev> usb;
    std::array<uint8_t, 18> descriptor{};
    std::vector<Interface> interfaces;
    port_names port;             // where it hangs on the USB
    uint32_t holder = 0;         // registration that accepted it
    uint32_t offer = 0;          // registration whose reply is awaited
    std::set<uint32_t> told;     // registrations that got its attach event
    std::set<uint32_t> declined; // registrations that rejected it
    uint16_t vendor_id() const { return uint16_t(descriptor[8] | descriptor[9] << 8); }
    uint16_t product_id() const { return uint16_t(descriptor[10] | descriptor[11] << 8); }
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

struct Driver {
    std::mutex m;
    std::condition_variable cv; // any change of devices, events, replies
    std::map<uint32_t, Registration> regs;
    uint32_t next_reg = 1;
    std::map<uint32_t, Device> devices; // by unique device ID
    uint32_t next_device_id = 1;
    // Devices gone while libusb handled events: closed once it has returned.
    std::vector<std::shared_ptr<UsbDev>> released;
    int open_handles = 0;
    DriverTap tap = nullptr;
    void* tap_ctx = nullptr;

    // The library: started and stopped under `life`, never under `m`, as its callbacks
    // take `m` while libusb holds its own locks.
    std::mutex life;
    libusb_context* ctx = nullptr;
    libusb_hotplug_callback_handle hotplug = 0;
    std::thread events;
    std::atomic<bool> stopping = false;
};

Driver& drv() {
    static Driver* d = new Driver;
    return *d;
}

struct DriverHandle {
    int unused = 0;
};

// ---- devices and registrations (driver lock held) -----------------------------------

bool matches(const Registration& reg, const Device& dev) {
    if (reg.matches.empty())
        return true;
    return std::any_of(reg.matches.begin(), reg.matches.end(), [&](const MatchEntry& e) {
        return (e.vendor_id == 0 || e.vendor_id == dev.vendor_id()) &&
               (e.product_id == 0 || e.product_id == dev.product_id());
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
        if (!(reg.mask & DRV_ACTION_ATTACH) || !matches(reg, dev) || !board_port_allowed(dev.port))
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

// Lowest port first, so that with several boards and none chosen the first one is taken.
void offer_all(Driver& d) {
    std::vector<Device*> order;
    for (auto& [id, dev] : d.devices)
        order.push_back(&dev);
    std::stable_sort(order.begin(), order.end(), [](const Device* a, const Device* b) {
        return port_before(a->port, b->port);
    });
    for (Device* dev : order)
        offer(d, *dev);
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
    d.released.push_back(std::move(it->second.usb));
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
}

// The run's board is the first device a registration accepts: from then on devices on other
// ports are offered to nobody. The others that would have matched tell of a choice made.
void bind_board(Driver& d, const Device& taken, const Registration& reg) {
    std::vector<port_names> others;
    for (const auto& [id, dev] : d.devices)
        if (&dev != &taken && !dev.holder && matches(reg, dev) && board_port_allowed(dev.port))
            others.push_back(dev.port);
    board_port_taken(taken.port, others);
}

Device* find_device(Driver& d, uint32_t id) {
    auto it = d.devices.find(id);
    return it == d.devices.end() ? nullptr : &it->second;
}

Registration* find_reg(Driver& d, uint32_t h) {
    auto it = d.regs.find(h);
    return it == d.regs.end() ? nullptr : &it->second;
}

// ---- libusb -------------------------------------------------------------------------

uint32_t status_of(int r) {
    switch (r) {
    case LIBUSB_SUCCESS:
        return DRV_OK;
    case LIBUSB_ERROR_TIMEOUT:
        return DRV_TIMEOUT;
    case LIBUSB_ERROR_NO_DEVICE:
        return DRV_NOT_FOUND;
    case LIBUSB_ERROR_NO_MEM:
        return DRV_NO_RESOURCES;
    case LIBUSB_ERROR_INVALID_PARAM:
    case LIBUSB_ERROR_NOT_FOUND:
        return kStatusBadRequest;
    default: // stall, overflow, I/O, access, busy
        return DRV_SYSTEM_ERROR;
    }
}

// The device's own descriptors: its device descriptor and its active configuration (the
// first one while it has none). False for a device with no interface to offer.
bool read_descriptors(libusb_device* usb, Device& dev) {
    libusb_device_descriptor dd;
    if (libusb_get_device_descriptor(usb, &dd) != LIBUSB_SUCCESS)
        return false;
    auto lo = [](uint16_t v) { return uint8_t(v); };
    auto hi = [](uint16_t v) { return uint8_t(v >> 8); };
    dev.descriptor = {dd.bLength,         dd.bDescriptorType, lo(dd.bcdUSB),
                      hi(dd.bcdUSB),      dd.bDeviceClass,    dd.bDeviceSubClass,
                      dd.bDeviceProtocol, dd.bMaxPacketSize0, lo(dd.idVendor),
                      hi(dd.idVendor),    lo(dd.idProduct),   hi(dd.idProduct),
                      lo(dd.bcdDevice),   hi(dd.bcdDevice),   dd.iManufacturer,
                      dd.iProduct,        dd.iSerialNumber,   dd.bNumConfigurations};
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(usb, &cfg) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(usb, 0, &cfg) != LIBUSB_SUCCESS)
        return false;
    for (int i = 0; i < cfg->bNumInterfaces; ++i) {
        const libusb_interface& in = cfg->interface[i];
        Interface out;
        for (int a = 0; a < in.num_altsetting; ++a) {
            const libusb_interface_descriptor& s = in.altsetting[a];
            AltSetting alt{{s.bLength, s.bDescriptorType, s.bInterfaceNumber, s.bAlternateSetting,
                            s.bNumEndpoints, s.bInterfaceClass, s.bInterfaceSubClass,
                            s.bInterfaceProtocol, s.iInterface},
                           {}};
            for (int e = 0; e < s.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = s.endpoint[e];
                alt.endpoints.push_back(
                    {ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize, ep.bInterval});
            }
            if (s.bAlternateSetting == 0)
                out.current = out.alts.size();
            out.alts.push_back(std::move(alt));
        }
        if (!out.alts.empty())
            dev.interfaces.push_back(std::move(out));
    }
    libusb_free_config_descriptor(cfg);
    return !dev.interfaces.empty();
}

void device_arrived(Driver& d, libusb_device* usb) {
    Device dev;
    if (!read_descriptors(usb, dev))
        return;
    dev.port = usb_port_at(libusb_get_bus_number(usb), libusb_get_device_address(usb));
    std::lock_guard<std::mutex> lk(d.m);
    for (auto& [id, known] : d.devices)
        if (known.usb->usb == usb)
            return; // announced twice: by the enumeration and by its event
    dev.usb = std::make_shared<UsbDev>(usb);
    dev.id = d.next_device_id++;
    offer(d, d.devices.emplace(dev.id, std::move(dev)).first->second);
}

void device_left(Driver& d, libusb_device* usb) {
    std::lock_guard<std::mutex> lk(d.m);
    for (auto& [id, dev] : d.devices) {
        if (dev.usb->usb == usb) {
            remove_device(d, id);
            return;
        }
    }
}

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* usb, libusb_hotplug_event event,
                           void* p) {
    Driver& d = *static_cast<Driver*>(p);
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)
        device_arrived(d, usb);
    else
        device_left(d, usb);
    return 0;
}

// Devices that left during libusb's event handling are closed here, after it: libusb
// allows no close inside its callback.
void close_released(Driver& d) {
    std::vector<std::shared_ptr<UsbDev>> gone;
    {
        std::lock_guard<std::mutex> lk(d.m);
        gone.swap(d.released);
    }
}

// Blocks in libusb until something happens: hot-plug, a completion, or the stop.
void event_main(Driver* d, libusb_context* ctx) {
    while (!d->stopping) {
        timeval tv{1, 0};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        close_released(*d);
    }
}

// Caller holds d.life. Without usbfs (no USB here) there is no device, and no error.
void usb_start(Driver& d) {
    libusb_context* ctx = nullptr;
    if (d.ctx || libusb_init(&ctx) != LIBUSB_SUCCESS)
        return;
    d.ctx = ctx;
    d.stopping = false;
    d.events = std::thread(event_main, &d, d.ctx);
    if (libusb_hotplug_register_callback(
            d.ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, &d, &d.hotplug) != LIBUSB_SUCCESS)
        d.hotplug = 0;
}

// Ends the library once no handle is open; its devices go without detach events, as no
// registration is left to hear them.
void usb_stop_if_unused(Driver& d) {
    std::lock_guard<std::mutex> life(d.life);
    std::vector<std::shared_ptr<UsbDev>> gone;
    {
        std::lock_guard<std::mutex> lk(d.m);
        if (d.open_handles > 0 || !d.ctx)
            return;
    }
    d.stopping = true;
    libusb_interrupt_event_handler(d.ctx);
    d.events.join();
    if (d.hotplug)
        libusb_hotplug_deregister_callback(d.ctx, d.hotplug);
    {
        std::lock_guard<std::mutex> lk(d.m);
        gone.swap(d.released);
        for (auto& [id, dev] : d.devices)
            gone.push_back(std::move(dev.usb));
        d.devices.clear();
    }
    gone.clear();
    libusb_exit(d.ctx);
    d.ctx = nullptr;
    d.hotplug = 0;
}

// A device there that cannot be had (no access to its node, or another process holds the
// interface): the user learns why on standard error.
void say_why(libusb_device* usb, int r) {
    const int err = r == LIBUSB_ERROR_ACCESS ? EACCES : r == LIBUSB_ERROR_BUSY ? EBUSY : 0;
    if (const char* reason = open_failure_reason(err)) {
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u",
                      unsigned(libusb_get_bus_number(usb)),
                      unsigned(libusb_get_device_address(usb)));
        report_open_failure(node, reason);
    }
}

// Opens the device and claims the interface, once each. The handle stays valid while
// the caller holds `usb`.
int claim(UsbDev& usb, uint8_t interface_number, libusb_device_handle** h) {
    std::lock_guard<std::mutex> lk(usb.m);
    if (!usb.h) {
        if (int r = libusb_open(usb.usb, &usb.h); r != LIBUSB_SUCCESS) {
            usb.h = nullptr;
            say_why(usb.usb, r);
            return r;
        }
    }
    if (!usb.claimed[interface_number]) {
        if (int r = libusb_claim_interface(usb.h, interface_number); r != LIBUSB_SUCCESS) {
            say_why(usb.usb, r);
            return r;
        }
        usb.claimed.set(interface_number);
    }
    *h = usb.h;
    return LIBUSB_SUCCESS;
}

// One transfer, completed by the event thread. libusb's synchronous calls would do, but
// they end on a flag read without a lock, so no checker can see the transfer's release
// ordered after the event thread's last touch of it.
struct Completion {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
};

void LIBUSB_CALL transfer_done(libusb_transfer* t) {
    auto* c = static_cast<Completion*>(t->user_data);
    std::lock_guard<std::mutex> lk(c->m);
    c->done = true;
    c->cv.notify_all();
}

int transfer(libusb_device_handle* h, uint8_t type, uint8_t ep, unsigned char* buf, int size,
             int* done, unsigned timeout) {
    std::unique_ptr<libusb_transfer, decltype(&libusb_free_transfer)> t(libusb_alloc_transfer(0),
                                                                        libusb_free_transfer);
    if (!t)
        return LIBUSB_ERROR_NO_MEM;
    Completion c;
    if (type == LIBUSB_TRANSFER_TYPE_BULK)
        libusb_fill_bulk_transfer(t.get(), h, ep, buf, size, transfer_done, &c, timeout);
    else
        libusb_fill_interrupt_transfer(t.get(), h, ep, buf, size, transfer_done, &c, timeout);
    if (int r = libusb_submit_transfer(t.get()); r != LIBUSB_SUCCESS)
        return r;
    std::unique_lock<std::mutex> lk(c.m);
    // libusb ends it at its timeout; should that never come, it is cancelled, and the
    // buffer stays the transfer's until the cancel completes.
    if (!c.cv.wait_for(lk, std::chrono::milliseconds(timeout) + std::chrono::seconds(2),
                       [&] { return c.done; })) {
        lk.unlock();
        libusb_cancel_transfer(t.get());
        lk.lock();
        c.cv.wait(lk, [&] { return c.done; });
    }
    *done = t->actual_length;
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
    case LIBUSB_TRANSFER_CANCELLED:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    default: // stall, overflow, error: all one failure to the caller
        return LIBUSB_ERROR_IO;
    }
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

// DeviceInfo, then one InterfaceRec per interface, then each one's current alternate
// setting, then their pipes: one block, its addresses pointing inside it.
struct InfoLayout {
    size_t ifaces, alts, pipes, total;
};

InfoLayout info_layout(const Device& dev) {
    const size_t n = dev.interfaces.size();
    size_t pipes = 0;
    for (const Interface& i : dev.interfaces)
        pipes += i.alts[i.current].endpoints.size();
    InfoLayout l{};
    l.ifaces = align_up(sizeof(DeviceInfo));
    l.alts = align_up(l.ifaces + n * sizeof(InterfaceRec));
    l.pipes = align_up(l.alts + n * sizeof(AltSettingRec));
    l.total = l.pipes + pipes * sizeof(PipeRec);
    return l;
}

void fill_info(const Device& dev, uint8_t* buf, const InfoLayout& l) {
    std::memset(buf, 0, l.total);
    auto* info = reinterpret_cast<DeviceInfo*>(buf);
    auto* ifaces = reinterpret_cast<InterfaceRec*>(buf + l.ifaces);
    auto* alts = reinterpret_cast<AltSettingRec*>(buf + l.alts);
    auto* pipes = reinterpret_cast<PipeRec*>(buf + l.pipes);
    std::memcpy(info->device_descriptor, dev.descriptor.data(), dev.descriptor.size());
    info->iface = ifaces;
    info->interface_count = static_cast<uint32_t>(dev.interfaces.size());
    for (const Interface& i : dev.interfaces) {
        const AltSetting& a = i.alts[i.current];
        ifaces->alt_count = static_cast<uint32_t>(i.alts.size());
        ifaces->alt = alts;
        std::memcpy(alts->descriptor, a.descriptor.data(), a.descriptor.size());
        alts->descriptor[4] = static_cast<uint8_t>(a.endpoints.size());
        alts->pipes = pipes;
        for (const Endpoint& e : a.endpoints)
            *pipes++ = PipeRec{e.address, e.attributes & 3u, e.max_packet, e.interval,
                               (e.address & 0x80) ? 1u : 0u};
        ++ifaces;
        ++alts;
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
    std::shared_ptr<UsbDev> usb;
    size_t iface = 0, alt = 0;
    {
        std::lock_guard<std::mutex> lk(d.m);
        Device* dev = find_device(d, p->unique_id);
        if (!dev)
            return DRV_NOT_FOUND;
        auto& ifs = dev->interfaces;
        auto i = std::find_if(ifs.begin(), ifs.end(), [&](const Interface& x) {
            return x.number() == p->interface_number;
        });
        if (i == ifs.end())
            return kStatusBadRequest;
        auto a = std::find_if(i->alts.begin(), i->alts.end(), [&](const AltSetting& x) {
            return x.descriptor[3] == p->alternate_setting;
        });
        if (a == i->alts.end())
            return kStatusBadRequest;
        usb = dev->usb;
        iface = size_t(i - ifs.begin());
        alt = size_t(a - i->alts.begin());
    }
    libusb_device_handle* h = nullptr;
    int r = claim(*usb, uint8_t(p->interface_number), &h);
    if (r == LIBUSB_SUCCESS) {
        std::lock_guard<std::mutex> lk(usb->m);
        r = libusb_set_interface_alt_setting(h, int(p->interface_number),
                                             int(p->alternate_setting));
    }
    if (r != LIBUSB_SUCCESS)
        return status_of(r);
    std::lock_guard<std::mutex> lk(d.m);
    if (Device* again = find_device(d, p->unique_id))
        again->interfaces[iface].current = alt;
    return DRV_OK;
}

uint32_t serve_transfer(Driver& d, void* in, DWORD size) {
    auto* p = record<ParamsTransfer>(in, size);
    if (!p)
        return kStatusBadRequest;
    p->dwBytesTransferred = 0;
    std::shared_ptr<UsbDev> usb;
    uint8_t iface = 0, type = 0;
    {
        std::lock_guard<std::mutex> lk(d.m);
        Device* dev = find_device(d, p->unique_id);
        if (!dev)
            return DRV_NOT_FOUND;
        bool known = false;
        for (const Interface& i : dev->interfaces) {
            for (const Endpoint& e : i.alts[i.current].endpoints) {
                if (e.address == p->pipe) {
                    known = true;
                    iface = i.number();
                    type = e.attributes & 3;
                }
            }
        }
        const bool is_in = (p->pipe & 0x80) != 0;
        if (!known || is_in != (p->direction == 1) || p->direction > 1 ||
            (type != LIBUSB_TRANSFER_TYPE_BULK && type != LIBUSB_TRANSFER_TYPE_INTERRUPT) ||
            (!p->buffer && p->size) || p->size > INT_MAX)
            return kStatusBadRequest;
        usb = dev->usb;
    }
    libusb_device_handle* h = nullptr;
    if (int r = claim(*usb, iface, &h); r != LIBUSB_SUCCESS)
        return status_of(r);
    // A zero timeout is libusb's "no limit": here it is the shortest wait instead.
    const unsigned timeout = std::max<uint32_t>(p->timeout_ms, 1);
    auto* buf = static_cast<unsigned char*>(p->buffer);
    const uint8_t ep = static_cast<uint8_t>(p->pipe);
    int done = 0;
    int r = transfer(h, type, ep, buf, int(p->size), &done, timeout);
    p->dwBytesTransferred = static_cast<uint32_t>(std::max(done, 0));
    return status_of(r);
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
    {
        std::lock_guard<std::mutex> life(d.life);
        usb_start(d);
    }
    std::lock_guard<std::mutex> lk(d.m);
    uint32_t h = d.next_reg++;
    d.regs.emplace(h, std::move(reg));
    rec->handle = h;
    offer_all(d);
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
                bind_board(d, *dev, *reg);
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
    {
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
    usb_stop_if_unused(d);
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
