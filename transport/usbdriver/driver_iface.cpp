// The request primitive, the device list and the device operations, and the event and
// thread helpers.
#include "transport/usbdriver/usbdriver.h"

#include <cstdlib>
#include <cstring>

DeviceListNode* device_list = nullptr;
HANDLE device_list_lock = nullptr;

namespace {

constexpr uint32_t kLockWaitSeconds = 30;

HANDLE open_driver() {
    return CreateFileA("\\\\.\\WINDRVR6", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

DrvStatus list_lock() {
    return OsEventWait(device_list_lock, kLockWaitSeconds);
}

DrvStatus list_unlock(DrvStatus status) {
    DrvStatus s = OsEventSet(device_list_lock);
    return s == DRV_SYSTEM_ERROR ? s : status;
}

// Unlinks the first node that pred accepts; its device, or null.
template <class Pred> DeviceCtx* unlink_first(Pred pred) {
    for (DeviceListNode** p = &device_list; *p; p = &(*p)->next) {
        if (pred((*p)->device)) {
            DeviceListNode* node = *p;
            DeviceCtx* device = node->device;
            *p = node->next;
            std::free(node);
            return device;
        }
    }
    return nullptr;
}

DeviceCtx* find_id(uint32_t unique_id, DriverCtx* owner) {
    for (DeviceListNode* n = device_list; n; n = n->next) {
        if (n->device->unique_id == unique_id && (!owner || n->device->driver == owner))
            return n->device;
    }
    return nullptr;
}

unsigned __stdcall thread_trampoline(void* p) {
    auto* rec = static_cast<ThreadStartRec*>(p);
    rec->fn(rec->arg);
    std::free(rec);
    return 0;
}

} // namespace

DrvStatus DriverIoctl(uint32_t code, HANDLE handle, void* rec, uint32_t size, bool own) {
    if (own)
        handle = open_driver();
    uint32_t status = DRV_NO_HANDLE;
    if (handle == INVALID_HANDLE_VALUE)
        return DRV_NO_HANDLE;
    // The handle is opened for overlapped I/O, so a request the driver keeps pending comes
    // back at once: without an OVERLAPPED of our own to wait on, its status word and the
    // record would be written later, into a frame that has gone. The wait sets the last
    // error, which a request leaves as it was.
    const DWORD last_error = GetLastError();
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const bool have_event = ov.hEvent != nullptr;
    if (have_event) {
        DWORD returned = 0;
        if (!DeviceIoControl(handle, code, rec, size, &status, sizeof status, &returned, &ov) &&
            GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(handle, &ov, &returned, TRUE);
        CloseHandle(ov.hEvent);
    }
    if (own)
        CloseHandle(handle);
    SetLastError(last_error);
    return have_event ? status : DRV_NO_RESOURCES;
}

// ---- device list --------------------------------------------------------------------

DrvStatus DeviceListAdd(DeviceCtx* device) {
    auto* node = static_cast<DeviceListNode*>(std::calloc(1, sizeof(DeviceListNode)));
    if (!node)
        return DRV_NO_RESOURCES;
    if (DrvStatus s = list_lock(); s != DRV_OK) {
        std::free(node);
        return s;
    }
    node->device = device;
    node->next = device_list;
    device_list = node;
    return list_unlock(DRV_OK);
}

DrvStatus DeviceListCheck(DeviceCtx* device, uint32_t* unique_id, HANDLE* handle) {
    if (DrvStatus s = list_lock(); s != DRV_OK)
        return s;
    DrvStatus status = DRV_NOT_FOUND;
    for (DeviceListNode* n = device_list; n; n = n->next) {
        if (n->device == device) {
            if (unique_id)
                *unique_id = device->unique_id;
            if (handle)
                *handle = device->driver->handle;
            status = DRV_OK;
            break;
        }
    }
    return list_unlock(status);
}

DrvStatus DeviceListFind(uint32_t unique_id, DeviceCtx** out, DriverCtx* owner) {
    *out = nullptr;
    if (DrvStatus s = list_lock(); s != DRV_OK)
        return s;
    *out = find_id(unique_id, owner);
    return list_unlock(*out ? DRV_OK : DRV_NOT_FOUND);
}

DrvStatus DeviceListTake(uint32_t unique_id, DeviceCtx** out, DriverCtx* owner) {
    *out = nullptr;
    if (DrvStatus s = list_lock(); s != DRV_OK)
        return s;
    *out = unlink_first(
        [&](DeviceCtx* d) { return d->unique_id == unique_id && (!owner || d->driver == owner); });
    return list_unlock(*out ? DRV_OK : DRV_NOT_FOUND);
}

DrvStatus DeviceListTakeDevice(DeviceCtx* device) {
    if (DrvStatus s = list_lock(); s != DRV_OK)
        return s;
    DeviceCtx* found = unlink_first([&](DeviceCtx* d) { return d == device; });
    return list_unlock(found ? DRV_OK : DRV_NOT_FOUND);
}

DrvStatus DeviceListDropConnection(DriverCtx* connection) {
    if (DrvStatus s = list_lock(); s != DRV_OK)
        return s;
    while (DeviceCtx* d = unlink_first([&](DeviceCtx* x) { return x->driver == connection; })) {
        std::free(d->info);
        std::free(d);
    }
    return list_unlock(DRV_OK);
}

// ---- device operations --------------------------------------------------------------

// The unique device ID and the connection handle are copied under the list lock: a
// detach on the wait thread may free the DeviceCtx as soon as the lock is released.
static DrvStatus device_ref(DeviceCtx* device, uint32_t* unique_id, HANDLE* handle) {
    if (!device || DeviceListCheck(device, unique_id, handle) != DRV_OK)
        return DRV_NOT_FOUND;
    return DRV_OK;
}

DrvStatus DeviceGetInfo(DeviceCtx* device, DeviceInfo** out) {
    *out = nullptr;
    uint32_t id = 0;
    HANDLE handle = nullptr;
    if (device_ref(device, &id, &handle) != DRV_OK)
        return DRV_NOT_FOUND;
    ParamsInfo params{};
    params.unique_id = id;
    if (DrvStatus s = DriverIoctl(DRV_IOCTL_DEVICE_INFO, handle, &params, sizeof params, false);
        s != DRV_OK)
        return s;
    void* buf = std::malloc(params.size);
    if (!buf)
        return DRV_NO_RESOURCES;
    *out = static_cast<DeviceInfo*>(buf);
    params.buffer = buf;
    return DriverIoctl(DRV_IOCTL_DEVICE_INFO, handle, &params, sizeof params, false);
}

DrvStatus DeviceSetInterface(DeviceCtx* device, uint32_t interface_number,
                             uint32_t alternate_setting) {
    ParamsSetInterface params{};
    HANDLE handle = nullptr;
    if (device_ref(device, &params.unique_id, &handle) != DRV_OK)
        return DRV_NOT_FOUND;
    params.interface_number = interface_number;
    params.alternate_setting = alternate_setting;
    return DriverIoctl(DRV_IOCTL_SET_INTERFACE, handle, &params, sizeof params, false);
}

DrvStatus DeviceTransfer(DeviceCtx* device, uint32_t pipe, uint32_t direction, uint32_t options,
                         void* buffer, uint32_t size, uint32_t* dwBytesTransferred,
                         const uint8_t* SetupPacket, uint32_t timeout_ms) {
    if (dwBytesTransferred)
        *dwBytesTransferred = 0;
    ParamsTransfer params{};
    if (device_ref(device, &params.unique_id, nullptr) != DRV_OK)
        return DRV_NOT_FOUND;
    params.pipe = pipe;
    params.direction = direction;
    params.options = options;
    params.buffer = buffer;
    params.size = size;
    if (SetupPacket)
        std::memcpy(params.SetupPacket, SetupPacket, sizeof params.SetupPacket);
    params.timeout_ms = timeout_ms;
    DrvStatus s = DriverIoctl(DRV_IOCTL_TRANSFER, nullptr, &params, sizeof params, true);
    if (dwBytesTransferred)
        *dwBytesTransferred = params.dwBytesTransferred;
    return s;
}

// ---- events and threads -------------------------------------------------------------

DrvStatus OsEventCreate(HANDLE* out) {
    *out = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return *out ? DRV_OK : DRV_NO_RESOURCES;
}

void OsEventClose(HANDLE event) {
    if (event)
        CloseHandle(event);
}

DrvStatus OsEventWait(HANDLE event, uint32_t seconds) {
    // Saturate rather than wrap: a long wait must not turn into a short or endless one.
    DWORD ms = seconds >= (INFINITE - 1) / 1000 ? INFINITE - 1 : seconds * 1000;
    switch (WaitForSingleObject(event, ms)) {
    case WAIT_OBJECT_0:
        return DRV_OK;
    case WAIT_TIMEOUT:
        return DRV_TIMEOUT;
    default:
        return DRV_SYSTEM_ERROR;
    }
}

DrvStatus OsEventSet(HANDLE event) {
    return SetEvent(event) ? DRV_OK : DRV_SYSTEM_ERROR;
}

DrvStatus ThreadStart(HANDLE* out, ThreadFn fn, void* arg) {
    *out = nullptr;
    auto* rec = static_cast<ThreadStartRec*>(std::malloc(sizeof(ThreadStartRec)));
    if (!rec)
        return DRV_NO_RESOURCES;
    rec->fn = fn;
    rec->arg = arg;
    unsigned id = 0;
    uintptr_t h = _beginthreadex(nullptr, 4096, thread_trampoline, rec, 0, &id);
    if (!h) {
        std::free(rec);
        return DRV_NO_RESOURCES;
    }
    *out = reinterpret_cast<HANDLE>(h);
    return DRV_OK;
}

void ThreadJoin(HANDLE thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
