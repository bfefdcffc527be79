// Driver connections: version check, event registration, the wait thread and the turning
// of pulled events into the transport's attach, detach and power callbacks.
#include "transport/usbdriver/usbdriver.h"

#include <cstdlib>
#include <cstring>

int32_t connection_count = 0;

namespace {

DriverCtx* invalid_connection() {
    return reinterpret_cast<DriverCtx*>(DRV_INVALID_CONNECTION);
}

bool handle_open(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

// The one-slot record of the pull, reply and unregister requests.
EventRec one_slot_rec(uint32_t handle) {
    EventRec rec{};
    rec.handle = handle;
    rec.one = 1;
    rec.match_count = 1;
    return rec;
}

// Null when exactly one of the table and the count is missing, or the size would not fit.
EventRec* make_register_rec(const MatchEntry* matchTable, uint32_t count, uint32_t mask,
                            uint32_t options) {
    if ((matchTable == nullptr) != (count == 0))
        return nullptr;
    if (count > (SIZE_MAX - sizeof(EventRec)) / sizeof(MatchEntry))
        return nullptr;
    auto* rec = static_cast<EventRec*>(std::calloc(1, event_rec_size(count)));
    if (!rec)
        return nullptr;
    rec->match_count = count;
    rec->one = 1;
    rec->mark = DRV_REGISTER_MARK;
    rec->action = mask;
    rec->options = options;
    if (count)
        std::memcpy(reinterpret_cast<uint8_t*>(rec) + EVENT_REC_MATCH_OFFSET, matchTable,
                    size_t(count) * sizeof(MatchEntry));
    return rec;
}

void free_device(DeviceCtx* device) {
    std::free(device->info);
    std::free(device);
}

void dispatch_attach(DriverCtx* ctx, EventRec* rec) {
    auto* device = static_cast<DeviceCtx*>(std::calloc(1, sizeof(DeviceCtx)));
    if (!device)
        return;
    device->driver = ctx;
    device->unique_id = rec->unique_id;
    if (DeviceListAdd(device) != DRV_OK) {
        std::free(device);
        return;
    }
    DeviceInfo* info = nullptr;
    DrvStatus s = DeviceGetInfo(device, &info);
    device->info = info;
    if (s != DRV_OK) {
        // Only this very record comes off the list: another connection may list a device
        // with the same unique ID.
        DeviceListTakeDevice(device);
        free_device(device);
        return;
    }
    if (ctx->attach(device, info, ctx->context) == 0) {
        DeviceListTakeDevice(device);
        free_device(device);
        return;
    }
    rec->options |= DRV_EVENT_ACCEPT;
}

} // namespace

// ---- wait thread --------------------------------------------------------------------

DrvStatus WaitStart(WaitThread** out, HANDLE handle, WaitRec* wait, HandlerFn handler,
                    void* context) {
    *out = nullptr;
    auto* wt = static_cast<WaitThread*>(std::calloc(1, sizeof(WaitThread)));
    if (!wt)
        return DRV_NO_RESOURCES;
    if (DrvStatus s = DriverIoctl(DRV_IOCTL_WAIT_ENABLE, handle, wait, sizeof(WaitRec), false);
        s != DRV_OK) {
        std::free(wt);
        return s;
    }
    wt->handle = handle;
    wt->handler = handler;
    wt->context = context;
    wt->wait = wait;
    if (ThreadStart(&wt->thread, WaitLoop, wt) != DRV_OK) {
        DriverIoctl(DRV_IOCTL_WAIT_DISABLE, handle, wait, sizeof(WaitRec), false);
        std::free(wt);
        return DRV_NO_RESOURCES;
    }
    *out = wt;
    return DRV_OK;
}

void WaitLoop(void* arg) {
    auto* wt = static_cast<WaitThread*>(arg);
    for (;;) {
        DriverIoctl(DRV_IOCTL_WAIT, nullptr, wt->wait, sizeof(WaitRec), true);
        uint32_t outcome = wt->wait->outcome;
        if (outcome == DRV_WAIT_END)
            return;
        if (outcome == DRV_WAIT_AGAIN)
            continue;
        wt->handler(wt->context);
    }
}

DrvStatus WaitStop(WaitThread* wt) {
    if (!wt)
        return DRV_NULL_ARG;
    DrvStatus s = DriverIoctl(DRV_IOCTL_WAIT_DISABLE, wt->handle, wt->wait, sizeof(WaitRec), false);
    ThreadJoin(wt->thread);
    std::free(wt);
    return s;
}

// ---- registration -------------------------------------------------------------------

DrvStatus EventRegister(EventReg** out, HANDLE handle, EventRec* rec, DispatchFn dispatch,
                        void* context) {
    *out = nullptr;
    auto* reg = static_cast<EventReg*>(std::calloc(1, sizeof(EventReg)));
    if (!reg)
        return DRV_NO_RESOURCES;
    reg->dispatch = dispatch;
    reg->handle = handle;
    reg->context = context;
    const auto size = static_cast<uint32_t>(event_rec_size(rec->match_count));
    DrvStatus s = DriverIoctl(DRV_IOCTL_EVENT_REGISTER, handle, rec, size, false);
    if (s == DRV_OK) {
        reg->wait.handle = rec->handle;
        s = WaitStart(&reg->thread, handle, &reg->wait, EventHandler, reg);
    }
    if (s != DRV_OK) {
        if (reg->wait.handle != 0)
            DriverIoctl(DRV_IOCTL_EVENT_UNREGISTER, handle, rec, size, false);
        std::free(reg);
        return s;
    }
    *out = reg;
    return DRV_OK;
}

DrvStatus EventUnregister(EventReg* reg) {
    if (!reg)
        return DRV_NULL_ARG;
    EventRec rec = one_slot_rec(reg->wait.handle);
    WaitStop(reg->thread);
    DrvStatus s = DriverIoctl(DRV_IOCTL_EVENT_UNREGISTER, reg->handle, &rec, sizeof rec, false);
    std::free(reg);
    return s;
}

void EventHandler(void* arg) {
    auto* reg = static_cast<EventReg*>(arg);
    EventRec rec = one_slot_rec(reg->wait.handle);
    DriverIoctl(DRV_IOCTL_EVENT_PULL, reg->handle, &rec, sizeof rec, false);
    if (rec.action != 0)
        reg->dispatch(&rec, reg->context);
    if (rec.options & DRV_EVENT_REPLY_WANTED)
        DriverIoctl(DRV_IOCTL_EVENT_REPLY, reg->handle, &rec, sizeof rec, false);
}

void EventDispatch(EventRec* rec, void* arg) {
    auto* ctx = static_cast<DriverCtx*>(arg);
    const uint32_t action = rec->action;
    if (action == DRV_ACTION_ATTACH) {
        dispatch_attach(ctx, rec);
    } else if (action == DRV_ACTION_DETACH) {
        DeviceCtx* device = nullptr;
        if (DeviceListTake(rec->unique_id, &device, ctx) != DRV_OK)
            return;
        if (ctx->detach)
            ctx->detach(device, ctx->context);
        free_device(device);
    } else if ((action & DRV_ACTION_POWER_MASK) && (action & (action - 1)) == 0) {
        DeviceCtx* device = nullptr;
        if (DeviceListFind(rec->unique_id, &device, ctx) != DRV_OK)
            return;
        if (ctx->power)
            ctx->power(device, action, ctx->context);
    }
}

// ---- connections --------------------------------------------------------------------

DrvStatus DriverOpen(DriverCtx** out, const MatchEntry* matchTable, uint32_t count,
                     const EventTable* eventTable, uint32_t options) {
    *out = invalid_connection();
    auto* ctx = static_cast<DriverCtx*>(std::calloc(1, sizeof(DriverCtx)));
    if (!ctx)
        return DRV_NO_RESOURCES;
    EventRec* rec = nullptr;
    auto fail = [&](DrvStatus s) {
        DriverClose(ctx);
        std::free(rec);
        return s;
    };

    if (connection_count++ == 0) {
        if (DrvStatus s = OsEventCreate(&device_list_lock); s != DRV_OK)
            return fail(s);
        if (DrvStatus s = OsEventSet(device_list_lock); s != DRV_OK)
            return fail(s);
    }
    ctx->handle = CreateFileA("\\\\.\\WINDRVR6", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (ctx->handle == INVALID_HANDLE_VALUE)
        return fail(DRV_SYSTEM_ERROR);

    VersionRec version{};
    if (DrvStatus s = DriverIoctl(DRV_IOCTL_VERSION, ctx->handle, &version, sizeof version, false);
        s != DRV_OK)
        return fail(s);
    if (version.version < DRV_MIN_VERSION)
        return fail(DRV_VERSION_TOO_OLD);

    if (eventTable) {
        ctx->attach = eventTable->attach;
        ctx->detach = eventTable->detach;
        ctx->power = eventTable->power;
        ctx->context = eventTable->context;
    }
    if (ctx->attach) {
        uint32_t mask = DRV_ACTION_ATTACH;
        if (ctx->detach)
            mask |= DRV_ACTION_DETACH;
        if (ctx->power)
            mask |= DRV_ACTION_POWER_MASK;
        rec = make_register_rec(matchTable, count, mask, options);
        if (!rec)
            return fail(DRV_NO_RESOURCES);
        if (DrvStatus s = EventRegister(&ctx->reg, ctx->handle, rec, EventDispatch, ctx);
            s != DRV_OK)
            return fail(s);
    }
    *out = ctx;
    std::free(rec);
    return DRV_OK;
}

void DriverClose(DriverCtx* ctx) {
    if (!ctx || ctx == invalid_connection())
        return;
    if (handle_open(ctx->handle)) {
        if (ctx->reg)
            EventUnregister(ctx->reg);
        CloseHandle(ctx->handle);
    }
    DeviceListDropConnection(ctx);
    std::free(ctx);
    if (--connection_count == 0) {
        OsEventClose(device_list_lock);
        device_list_lock = nullptr;
    }
}
