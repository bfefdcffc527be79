// Handle table, last error, events, threads, waits and the generic file entry points.
#include "platform/posix/handles.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace posix {
namespace {

// Handles still open at exit are left to the process end, as on Windows: the table is
// never destroyed, so no object's destructor runs after the statics it uses are gone.
std::mutex& g_table_lock = *new std::mutex;
std::map<uintptr_t, HandleRef>& g_table = *new std::map<uintptr_t, HandleRef>;
uintptr_t g_next_handle = 0x100;

} // namespace

HANDLE handle_add(const HandleOps* ops, std::shared_ptr<void> obj) {
    std::lock_guard<std::mutex> lk(g_table_lock);
    uintptr_t h = g_next_handle;
    g_next_handle += 4;
    g_table[h] = HandleRef{ops, std::move(obj)};
    return reinterpret_cast<HANDLE>(h);
}

HandleRef handle_ref(HANDLE h) {
    std::lock_guard<std::mutex> lk(g_table_lock);
    auto it = g_table.find(reinterpret_cast<uintptr_t>(h));
    if (it == g_table.end())
        return {};
    return it->second;
}

bool handle_remove(HANDLE h) {
    HandleRef r;
    {
        std::lock_guard<std::mutex> lk(g_table_lock);
        auto it = g_table.find(reinterpret_cast<uintptr_t>(h));
        if (it == g_table.end())
            return false;
        r = std::move(it->second);
        g_table.erase(it);
    }
    if (r.ops->on_close)
        r.ops->on_close(r.obj.get());
    return true;
}

std::string device_dir() {
    std::string dir;
    if (const char* d = std::getenv("LARKSPUR_DEVICES"); d && *d)
        dir = d;
    else if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x)
        dir = std::string(x) + "/larkspur-devices";
    else
        dir = "/tmp/larkspur-devices-" + std::to_string(static_cast<unsigned>(getuid()));
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back(); // "link/" would be the directory it leads to
    // Whoever else made or may write the directory could put a terminal of theirs where a
    // board should be: the image and the keys would go to them.
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        return dir; // nothing there yet
    const char* why = S_ISLNK(st.st_mode)                  ? "it is a symbolic link"
                      : st.st_uid != ::geteuid()           ? "it belongs to another user"
                      : (st.st_mode & (S_IWGRP | S_IWOTH)) ? "group or others may write to it"
                                                           : nullptr;
    if (!why)
        return dir;
    static std::once_flag said;
    std::call_once(said, [&] {
        std::fprintf(stderr, "larkspur: the device directory %s is not used: %s\n", dir.c_str(),
                     why);
    });
    return {};
}

// ---- events -------------------------------------------------------------------------

namespace {

struct Event {
    std::mutex m;
    std::condition_variable cv;
    bool manual = false;
    bool signaled = false;
    // Auto-reset: a signal that finds waiters releases one of them at once, as Windows
    // does, so that two signals in a row release two waiters and are not merged.
    int waiting = 0;
    int released = 0;
};

DWORD wait_on(std::mutex& m, std::condition_variable& cv, DWORD ms, auto&& ready) {
    std::unique_lock<std::mutex> lk(m);
    if (ms == INFINITE) {
        cv.wait(lk, ready);
    } else if (!cv.wait_for(lk, std::chrono::milliseconds(ms), ready)) {
        return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
}

DWORD event_wait(void* obj, DWORD ms) {
    auto* e = static_cast<Event*>(obj);
    if (e->manual)
        return wait_on(e->m, e->cv, ms, [e] { return e->signaled; });
    std::unique_lock<std::mutex> lk(e->m);
    if (e->signaled) {
        e->signaled = false;
        return WAIT_OBJECT_0;
    }
    ++e->waiting;
    auto ready = [e] { return e->released > 0; };
    bool got = true;
    if (ms == INFINITE)
        e->cv.wait(lk, ready);
    else
        got = e->cv.wait_for(lk, std::chrono::milliseconds(ms), ready);
    --e->waiting;
    if (!got)
        return WAIT_TIMEOUT;
    --e->released;
    return WAIT_OBJECT_0;
}

const HandleOps kEventOps = {.wait = event_wait};

HANDLE create_event(BOOL manual, BOOL initial) {
    auto e = std::make_shared<Event>();
    e->manual = manual != FALSE;
    e->signaled = initial != FALSE;
    return handle_add(&kEventOps, std::move(e));
}

bool event_change(HANDLE h, bool signaled) {
    auto e = handle_get<Event>(h, &kEventOps);
    if (!e)
        return false;
    {
        std::lock_guard<std::mutex> lk(e->m);
        if (signaled && !e->manual && e->waiting > e->released)
            ++e->released;
        else
            e->signaled = signaled;
    }
    if (signaled) {
        if (e->manual)
            e->cv.notify_all();
        else
            e->cv.notify_one();
    }
    return true;
}

// ---- threads ------------------------------------------------------------------------

struct Thread {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    unsigned(__stdcall* start)(void*) = nullptr;
    void* arg = nullptr;
    std::shared_ptr<Thread> self; // keeps the record alive while the thread runs
};

DWORD thread_wait(void* obj, DWORD ms) {
    auto* t = static_cast<Thread*>(obj);
    return wait_on(t->m, t->cv, ms, [t] { return t->done; });
}

const HandleOps kThreadOps = {.wait = thread_wait};

void* thread_main(void* p) {
    auto* t = static_cast<Thread*>(p);
    t->start(t->arg);
    std::shared_ptr<Thread> keep = std::move(t->self);
    {
        std::lock_guard<std::mutex> lk(keep->m);
        keep->done = true;
    }
    keep->cv.notify_all();
    return nullptr;
}

// Windows rounds small stacks up to its allocation granularity; sanitizer builds need far
// more than the 4 KiB the driver layer asks for, so requests below this are raised to it.
constexpr size_t kMinThreadStack = 1u << 20;

thread_local DWORD t_last_error = 0;

} // namespace

bool event_signal(HANDLE h) {
    return event_change(h, true);
}

} // namespace posix

using namespace posix;

DWORD GetLastError(void) {
    return t_last_error;
}
void SetLastError(DWORD code) {
    t_last_error = code;
}

void Sleep(DWORD ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCSTR) {
    return create_event(manual, initial);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCWSTR) {
    return create_event(manual, initial);
}

BOOL SetEvent(HANDLE h) {
    if (!event_change(h, true)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    if (!event_change(h, false)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    HandleRef r = handle_ref(h);
    if (!r || !r.ops->wait) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return r.ops->wait(r.obj.get(), ms);
}

uintptr_t _beginthreadex(void*, unsigned stack_size, unsigned(__stdcall* start)(void*), void* arg,
                         unsigned, unsigned* thrdaddr) {
    auto t = std::make_shared<Thread>();
    t->start = start;
    t->arg = arg;
    t->self = t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    size_t want = stack_size < kMinThreadStack ? kMinThreadStack : stack_size;
    pthread_attr_setstacksize(&attr, want);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, thread_main, t.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        t->self.reset();
        errno = rc;
        return 0;
    }
    static std::atomic<unsigned> s_ids{1};
    if (thrdaddr)
        *thrdaddr = s_ids++;
    return reinterpret_cast<uintptr_t>(handle_add(&kThreadOps, std::move(t)));
}

BOOL CloseHandle(HANDLE h) {
    if (!handle_remove(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- files --------------------------------------------------------------------------

namespace {

bool starts_with_ci(const std::string& s, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(s[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

HANDLE open_path(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                 DWORD flags) {
    if (disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    static const char kDevicePrefix[] = "\\\\.\\";
    if (starts_with_ci(path, kDevicePrefix)) {
        std::string name = path.substr(sizeof kDevicePrefix - 1);
        if (starts_with_ci(name, "COM"))
            return serial_create(name, flags);
        if (starts_with_ci(name, "WINDRVR6") && name.size() == 8)
            return driver_create(access, share, flags);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return hid_create(path, access, share, flags);
}

} // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags, HANDLE) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return open_path(name, access, share, disposition, flags);
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD flags, HANDLE) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Device paths and socket paths here are ASCII; anything wider cannot name a device.
    std::string narrow;
    for (const wchar_t* p = name; *p; ++p) {
        if (*p <= 0 || *p > 0x7F) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        narrow.push_back(static_cast<char>(*p));
    }
    return open_path(narrow, access, share, disposition, flags);
}

BOOL ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD got, LPOVERLAPPED ov) {
    HandleRef r = handle_ref(h);
    if (!r || !r.ops->read) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return r.ops->read(r.obj.get(), buf, n, got, ov);
}

BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD put, LPOVERLAPPED ov) {
    HandleRef r = handle_ref(h);
    if (!r || !r.ops->write) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return r.ops->write(r.obj.get(), buf, n, put, ov);
}

BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                     LPDWORD returned, LPOVERLAPPED ov) {
    HandleRef r = handle_ref(h);
    if (!r || !r.ops->ioctl) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return r.ops->ioctl(r.obj.get(), code, in, in_size, out, out_size, returned, ov);
}

BOOL CancelIo(HANDLE h) {
    HandleRef r = handle_ref(h);
    if (!r || !r.ops->cancel_io) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return r.ops->cancel_io(r.obj.get());
}

BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait) {
    HandleRef r = handle_ref(h);
    if (!r || !r.ops->overlapped_result) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return r.ops->overlapped_result(r.obj.get(), ov, n, wait);
}
