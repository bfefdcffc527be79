// Internal to the POSIX stand-in: the handle table every kind of kernel object lives in,
// and the entry points through which CreateFileA/W reach the device kinds.
#pragma once

#include "platform/winapi.h"

#include <memory>
#include <string>

namespace posix {

// What a kind of object can do. Operations a kind does not offer are null; the generic
// entry points then fail with ERROR_INVALID_HANDLE.
struct HandleOps {
    BOOL (*read)(void* obj, void* buf, DWORD n, DWORD* got, OVERLAPPED* ov) = nullptr;
    BOOL (*write)(void* obj, const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov) = nullptr;
    BOOL(*ioctl)
    (void* obj, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned,
     OVERLAPPED* ov) = nullptr;
    BOOL (*cancel_io)(void* obj) = nullptr;
    BOOL (*overlapped_result)(void* obj, OVERLAPPED* ov, DWORD* n, BOOL wait) = nullptr;
    DWORD (*wait)(void* obj, DWORD ms) = nullptr; // WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED
    void (*on_close)(void* obj) = nullptr;        // at CloseHandle, before the table lets go
};

struct HandleRef {
    const HandleOps* ops = nullptr;
    std::shared_ptr<void> obj;
    explicit operator bool() const { return ops != nullptr; }
};

// Handle values are never reused within a process, so a stale handle finds nothing.
HANDLE handle_add(const HandleOps* ops, std::shared_ptr<void> obj);
HandleRef handle_ref(HANDLE h);
// The object behind h when it is of the given kind, else null.
template <class T> std::shared_ptr<T> handle_get(HANDLE h, const HandleOps* ops) {
    HandleRef r = handle_ref(h);
    if (r.ops != ops)
        return nullptr;
    return std::static_pointer_cast<T>(r.obj);
}
bool handle_remove(HANDLE h);

// Signal an event handle from inside the stand-in (overlapped completion). False when
// the handle is no event.
bool event_signal(HANDLE h);

// The device directory: $LARKSPUR_DEVICES, else $XDG_RUNTIME_DIR/larkspur-devices,
// else /tmp/larkspur-devices-<uid>. Empty, after one line on standard error, when it is a
// symbolic link, another user's, or writable by group or others: no device is taken from it.
std::string device_dir();

// Device kinds behind CreateFile; each sets the last error and returns
// INVALID_HANDLE_VALUE on failure.
HANDLE serial_create(const std::string& port, DWORD flags);
HANDLE hid_create(const std::string& path, DWORD access, DWORD share, DWORD flags);
HANDLE driver_create(DWORD access, DWORD share, DWORD flags);

} // namespace posix
