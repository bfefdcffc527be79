/* A test-only "\\.\WINDRVR6" for Wine: it carries each request of the Windows build to
 * the Linux bridge (tests/wine/bridge.cpp), which serves it with the stand-in driver, and
 * brings the results back into the caller's memory. It knows no record: what it does is
 * find the caller's record, hand its bytes over, read and write the caller's memory when
 * the bridge asks, and complete the request when the bridge is done.
 *
 * Only under Wine: the driver runs in winedevice.exe, a user process, so it may use
 * ReadProcessMemory/WriteProcessMemory (from kernelbase.dll: importing ntdll.dll or
 * kernel32.dll makes Wine load the image as a DLL). A request the bridge answers within a
 * few milliseconds completes in its dispatch; any other is kept pending and completed by the
 * reader thread, so a blocking one holds up no other request. */
#include <ddk/ntddk.h>

#include "wire.h"

__declspec(dllimport) int __stdcall ReadProcessMemory(HANDLE, const void*, void*, SIZE_T, SIZE_T*);
__declspec(dllimport) int __stdcall WriteProcessMemory(HANDLE, void*, const void*, SIZE_T, SIZE_T*);
__declspec(dllimport) ULONGLONG __stdcall GetTickCount64(void);
NTSTATUS NTAPI ZwOpenThread(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PCLIENT_ID);
NTSTATUS NTAPI ZwQueryInformationThread(HANDLE, THREADINFOCLASS, PVOID, ULONG, PULONG);

/* Built with -DUSB_TRACE, the driver tells what it does through DbgPrint (Wine's
 * warn+debugstr channel, in the output of the command that started the prefix's server). */
#ifdef USB_TRACE
#define TRACE(...) DbgPrint("larkspur-usb: " __VA_ARGS__)
#else
#define TRACE(...) ((void)0)
#endif

#define ACCESS_PROCESS_MEMORY 0x0438 /* query information, VM operation, read, write */
#define ACCESS_THREAD_QUERY 0x0040
#define POOL_TAG 'bsuL'
#define MAX_PENDING 64
#define GRACE_MS 5   /* a dispatch waits this long for the answer before it pends */
#define SETTLE_MS 20 /* a pended request is completed no sooner than this after */

typedef struct {
    NTSTATUS exit_status;
    PVOID teb;
    CLIENT_ID id;
    ULONG_PTR affinity;
    LONG priority, base_priority;
} thread_basics;

enum { SLOT_DISPATCHING = 1, SLOT_ANSWERED, SLOT_PENDING };

/* How a request ends: answered by the bridge (its status word and the record's changed
 * bytes), or not, when the link went down. */
typedef struct {
    PIRP irp;
    HANDLE process;
    ULONG record; /* the record's address in the caller */
    ULONG record_size;
    BOOLEAN answered;
    ULONG status;
    UCHAR* changes; /* pool memory */
    ULONG changes_size;
} outcome;

typedef struct {
    ULONG tag; /* 0: free */
    ULONG state;
    ULONG link;
    ULONGLONG pended_at; /* ms */
    LONG pended_in;      /* the dispatch that pended it */
    KEVENT settled;      /* for the dispatch that waits */
    outcome o;
} slot;

static UNICODE_STRING dev_name = RTL_CONSTANT_STRING(L"\\Device\\LarkspurUsb");
static UNICODE_STRING link_name = RTL_CONSTANT_STRING(L"\\??\\WINDRVR6");
static WCHAR to_bridge_path[300], to_driver_path[300];

/* The link to the bridge: opened at the first open of the device once the bridge is there,
 * gone when the bridge goes. `link` counts the links made, so that a dead link's requests
 * are told apart from a new one's. */
static KEVENT send_lock; /* the link and every write to it */
static HANDLE to_bridge; /* the link's end the driver writes; its reader has the other */
static ULONG link;
static BOOLEAN link_up;

static KEVENT table_lock;
static slot table[MAX_PENDING];
static ULONG next_tag = 1, next_file = 1;
static volatile LONG dispatches; /* counts the dispatch routines entered */

/* Locks are auto-reset events, set while free: with Wine's kernel mutexes the reader
 * thread once stayed blocked for good at a lock the dispatch had released. */
static void lock(KEVENT* m) {
    KeWaitForSingleObject(m, Executive, KernelMode, FALSE, NULL);
}

static void unlock(KEVENT* m) {
    KeSetEvent(m, IO_NO_INCREMENT, FALSE);
}

/* ---- the FIFOs ----------------------------------------------------------------------- */

static NTSTATUS open_fifo(HANDLE* h, const WCHAR* path, ACCESS_MASK access) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK iosb;
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwCreateFile(h, access | SYNCHRONIZE, &oa, &iosb, NULL, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
}

static NTSTATUS read_all(HANDLE h, void* buf, ULONG len) {
    IO_STATUS_BLOCK iosb;
    while (len) {
        NTSTATUS st = ZwReadFile(h, NULL, NULL, NULL, &iosb, buf, len, NULL, NULL);
        if (st)
            return st;
        if (!iosb.Information)
            return STATUS_END_OF_FILE;
        buf = (char*)buf + iosb.Information;
        len -= (ULONG)iosb.Information;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS write_all(HANDLE h, const void* buf, ULONG len) {
    IO_STATUS_BLOCK iosb;
    while (len) {
        NTSTATUS st = ZwWriteFile(h, NULL, NULL, NULL, &iosb, (void*)buf, len, NULL, NULL);
        if (st)
            return st;
        if (!iosb.Information)
            return STATUS_PIPE_BROKEN;
        buf = (const char*)buf + iosb.Information;
        len -= (ULONG)iosb.Information;
    }
    return STATUS_SUCCESS;
}

/* One message to the bridge, whole, on the link `on` (0: whichever is up). */
static NTSTATUS send(ULONG on, ULONG kind, ULONG tag, ULONG arg0, ULONG arg1, const void* data,
                     ULONG size) {
    struct wire_header h = {kind, tag, arg0, arg1, size};
    NTSTATUS st = STATUS_DEVICE_NOT_CONNECTED;
    lock(&send_lock);
    if (link_up && (!on || on == link)) {
        st = write_all(to_bridge, &h, sizeof h);
        if (!st && size)
            st = write_all(to_bridge, data, size);
    }
    unlock(&send_lock);
    return st;
}

/* ---- requests in flight ------------------------------------------------------------- */

static NTSTATUS finish(PIRP irp, NTSTATUS st, ULONG_PTR info) {
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

/* Puts the changed bytes into the caller's record and the status word into the output,
 * and completes the request. A request the bridge never answered ends with no output: the
 * caller's status word keeps the value it set, as with a driver that wrote none. */
static NTSTATUS complete_request(outcome* o) {
    TRACE("%llu complete %08lx answered %d status %08lx\n", GetTickCount64(), o->record,
          o->answered, o->status);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(o->irp);
    ULONG at = 0, run[2];
    SIZE_T done;
    NTSTATUS st = STATUS_DEVICE_NOT_CONNECTED;
    while (o->answered && o->changes_size - at >= sizeof run) {
        RtlCopyMemory(run, o->changes + at, sizeof run);
        at += sizeof run;
        if (run[1] > o->changes_size - at || run[0] > o->record_size ||
            run[1] > o->record_size - run[0])
            break;
        if (!WriteProcessMemory(o->process, (PVOID)(ULONG_PTR)(o->record + run[0]), o->changes + at,
                                run[1], &done))
            DbgPrint("larkspur-usb: writing the record at %08lx failed\n", o->record);
        at += run[1];
    }
    ZwClose(o->process);
    if (o->changes)
        ExFreePoolWithTag(o->changes, POOL_TAG);
    if (!o->answered)
        return finish(o->irp, st, 0);
    if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG) || !o->irp->UserBuffer)
        return finish(o->irp, STATUS_SUCCESS, 0);
    *(ULONG*)o->irp->UserBuffer = o->status;
    return finish(o->irp, STATUS_SUCCESS, sizeof(ULONG));
}

/* The caller's process behind a request in flight, for the bridge's memory requests. */
static HANDLE process_of(ULONG tag) {
    HANDLE h = NULL;
    ULONG i;
    lock(&table_lock);
    for (i = 0; i < MAX_PENDING && !h; i++)
        if (table[i].tag == tag)
            h = table[i].o.process;
    unlock(&table_lock);
    return h;
}

/* Records how a request ended. A dispatch still waiting completes it itself; a pended one
 * is completed here, though never before Wine has learnt that it is pending: Wine hears
 * that when the dispatch returns and reads the next request, so once a later dispatch has
 * begun, or else after a while. */
static void settle(ULONG tag, BOOLEAN answered, ULONG status, UCHAR* changes, ULONG size) {
    outcome o;
    ULONGLONG since = 0;
    LONG in = 0;
    BOOLEAN found = FALSE;
    ULONG i;
    lock(&table_lock);
    for (i = 0; i < MAX_PENDING; i++) {
        slot* s = &table[i];
        if (s->tag != tag || (s->state != SLOT_DISPATCHING && s->state != SLOT_PENDING))
            continue;
        s->o.answered = answered;
        s->o.status = status;
        s->o.changes = changes;
        s->o.changes_size = size;
        changes = NULL;
        if (s->state == SLOT_DISPATCHING) {
            s->state = SLOT_ANSWERED;
            KeSetEvent(&s->settled, IO_NO_INCREMENT, FALSE);
        } else {
            o = s->o;
            since = s->pended_at;
            in = s->pended_in;
            s->tag = 0;
            found = TRUE;
        }
        break;
    }
    unlock(&table_lock);
    if (changes)
        ExFreePoolWithTag(changes, POOL_TAG);
    if (!found)
        return;
    while (dispatches == in && GetTickCount64() < since + SETTLE_MS) {
        LARGE_INTEGER wait;
        wait.QuadPart = -10000; /* 1 ms */
        KeDelayExecutionThread(KernelMode, FALSE, &wait);
    }
    complete_request(&o);
}

static void fail_link(ULONG dead) {
    for (;;) {
        ULONG i, tag = 0;
        lock(&table_lock);
        for (i = 0; i < MAX_PENDING && !tag; i++)
            if (table[i].tag && table[i].link == dead &&
                (table[i].state == SLOT_DISPATCHING || table[i].state == SLOT_PENDING))
                tag = table[i].tag;
        unlock(&table_lock);
        if (!tag)
            return;
        settle(tag, FALSE, 0, NULL, 0);
    }
}

/* ---- the reader: everything the bridge sends ------------------------------------------ */

/* Takes the link `dead` out of use; its reader closes its handles when it ends. */
static void link_abandon(ULONG dead) {
    lock(&send_lock);
    if (link_up && link == dead) {
        to_bridge = NULL;
        link_up = FALSE;
    }
    unlock(&send_lock);
}

static void handle_message(ULONG on, const struct wire_header* h, UCHAR* data) {
    SIZE_T done = 0;
    TRACE("%llu message %lu for %lu: %08lx %lu, %lu bytes\n", GetTickCount64(), h->kind, h->tag,
          h->arg0, h->arg1, h->size);
    HANDLE process = h->kind == WIRE_DONE ? NULL : process_of(h->tag);
    if (h->kind == WIRE_READ) {
        BOOLEAN ok = process && h->arg1 <= WIRE_MAX_DATA &&
                     ReadProcessMemory(process, (PVOID)(ULONG_PTR)h->arg0, data, h->arg1, &done) &&
                     done == h->arg1;
        send(on, WIRE_MEMORY, h->tag, ok, 0, data, ok ? h->arg1 : 0);
    } else if (h->kind == WIRE_WRITE) {
        if (process &&
            !WriteProcessMemory(process, (PVOID)(ULONG_PTR)h->arg0, data, h->size, &done))
            DbgPrint("larkspur-usb: writing %lu bytes at %08lx failed\n", h->size, h->arg0);
    } else if (h->kind == WIRE_DONE) {
        UCHAR* changes = h->size ? ExAllocatePoolWithTag(NonPagedPool, h->size, POOL_TAG) : NULL;
        if (changes)
            RtlCopyMemory(changes, data, h->size);
        settle(h->tag, TRUE, h->arg0, changes, changes ? h->size : 0);
    }
}

typedef struct {
    ULONG on;
    HANDLE in, out;
} link_ends;

static VOID NTAPI reader(PVOID context) {
    link_ends* ends = context;
    ULONG on = ends->on;
    HANDLE in = ends->in, out = ends->out;
    UCHAR* data = ExAllocatePoolWithTag(NonPagedPool, WIRE_MAX_DATA, POOL_TAG);
    struct wire_header h;
    ExFreePoolWithTag(ends, POOL_TAG);
    while (data && !read_all(in, &h, sizeof h) && h.size <= WIRE_MAX_DATA &&
           (!h.size || !read_all(in, data, h.size)))
        handle_message(on, &h, data);
    if (data)
        ExFreePoolWithTag(data, POOL_TAG);
    TRACE("%llu link %lu down\n", GetTickCount64(), on);
    link_abandon(on);
    fail_link(on);
    ZwClose(out);
    ZwClose(in);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* Caller holds send_lock. */
static NTSTATUS link_open(void) {
    link_ends* ends;
    HANDLE thread;
    NTSTATUS st;
    if (link_up)
        return STATUS_SUCCESS;
    if (!to_bridge_path[0])
        return STATUS_NO_SUCH_DEVICE;
    ends = ExAllocatePoolWithTag(NonPagedPool, sizeof *ends, POOL_TAG);
    if (!ends)
        return STATUS_INSUFFICIENT_RESOURCES;
    st = open_fifo(&ends->out, to_bridge_path, FILE_GENERIC_WRITE);
    if (!st) {
        st = open_fifo(&ends->in, to_driver_path, FILE_GENERIC_READ);
        if (st)
            ZwClose(ends->out);
    }
    if (st) {
        ExFreePoolWithTag(ends, POOL_TAG);
        return st;
    }
    to_bridge = ends->out;
    ends->on = ++link;
    st = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, reader, ends);
    if (st) {
        ZwClose(ends->out);
        ZwClose(ends->in);
        ExFreePoolWithTag(ends, POOL_TAG);
        return st;
    }
    link_up = TRUE;
    ZwClose(thread);
    return STATUS_SUCCESS;
}

/* ---- the caller's record ------------------------------------------------------------- */

/* Wine hands the driver a copy of the input, never its address, yet the results go into
 * the caller's record. While the request is dispatched the caller's thread is inside
 * DeviceIoControl, whose arguments (code, record, size, output, output size) lie in that
 * order on its stack: the highest such run on the stack whose record matches the copy is
 * the live call, as older calls' leftovers lie below it. 0 when none is found. */
static ULONG find_record(HANDLE process, ULONG code, const void* copy, ULONG size, ULONG out_size) {
    CLIENT_ID cid = {PsGetCurrentProcessId(), PsGetCurrentThreadId()};
    OBJECT_ATTRIBUTES oa;
    HANDLE thread;
    thread_basics tb;
    ULONG64 teb64 = 0;
    ULONG_PTR teb;
    ULONG tib[3], top, low, found = 0;
    SIZE_T got;
    ULONG* stack;
    UCHAR* seen;
    const ULONG chunk = 8192;
    NTSTATUS st;

    InitializeObjectAttributes(&oa, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    if (ZwOpenThread(&thread, ACCESS_THREAD_QUERY, &oa, &cid))
        return 0;
    st = ZwQueryInformationThread(thread, ThreadBasicInformation, &tb, sizeof tb, NULL);
    ZwClose(thread);
    if (st)
        return 0;
    /* A 32-bit thread's own TEB follows the 64-bit one Wine gives it, which points there. */
    teb = (ULONG_PTR)tb.teb;
    if (ReadProcessMemory(process, tb.teb, &teb64, sizeof teb64, &got) &&
        teb64 == (ULONG64)teb + 0x2000)
        teb = (ULONG_PTR)teb64;
    if (!ReadProcessMemory(process, (PVOID)teb, tib, sizeof tib, &got) || tib[1] <= tib[2])
        return 0;
    stack = ExAllocatePoolWithTag(NonPagedPool, chunk + WIRE_MAX_RECORD, POOL_TAG);
    if (!stack)
        return 0;
    seen = (UCHAR*)stack + chunk;
    for (top = tib[1]; top > tib[2]; top = low + 16) {
        LONG i;
        low = top - tib[2] > chunk ? top - chunk : tib[2];
        if (!ReadProcessMemory(process, (PVOID)(ULONG_PTR)low, stack, top - low, &got))
            break;
        for (i = (LONG)((top - low) / 4) - 5; i >= 0; i--) {
            if (stack[i] != code || stack[i + 2] != size || stack[i + 4] != out_size)
                continue;
            if (ReadProcessMemory(process, (PVOID)(ULONG_PTR)stack[i + 1], seen, size, &got) &&
                RtlCompareMemory(seen, copy, size) == size) {
                found = stack[i + 1];
                break;
            }
        }
        if (found || low == tib[2])
            break;
    }
    ExFreePoolWithTag(stack, POOL_TAG);
    return found;
}

/* ---- dispatch ------------------------------------------------------------------------ */

static NTSTATUS NTAPI on_create(PDEVICE_OBJECT dev, PIRP irp) {
    InterlockedIncrement(&dispatches);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS st = STATUS_SUCCESS;
    ULONG id, on, attempt;
    (void)dev;
    /* A bridge that has just gone may not have been noticed yet: then once more, anew. */
    for (attempt = 0; attempt < 2; attempt++) {
        lock(&send_lock);
        st = link_open();
        TRACE("%llu open %lu: %08lx\n", GetTickCount64(), next_file, st);
        id = next_file++;
        on = link;
        unlock(&send_lock);
        if (st || !(st = send(on, WIRE_OPEN, id, 0, 0, NULL, 0)))
            break;
        link_abandon(on);
    }
    if (!st && file)
        file->FsContext = (PVOID)(ULONG_PTR)id;
    return finish(irp, st, 0);
}

static NTSTATUS NTAPI on_close(PDEVICE_OBJECT dev, PIRP irp) {
    InterlockedIncrement(&dispatches);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    (void)dev;
    if (file && file->FsContext)
        send(0, WIRE_CLOSE, (ULONG)(ULONG_PTR)file->FsContext, 0, 0, NULL, 0);
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI on_cleanup(PDEVICE_OBJECT dev, PIRP irp) {
    InterlockedIncrement(&dispatches);
    (void)dev;
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI on_ioctl(PDEVICE_OBJECT dev, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG size = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_size = sp->Parameters.DeviceIoControl.OutputBufferLength;
    const void* in = sp->Parameters.DeviceIoControl.Type3InputBuffer;
    ULONG file = sp->FileObject ? (ULONG)(ULONG_PTR)sp->FileObject->FsContext : 0;
    CLIENT_ID cid = {PsGetCurrentProcessId(), NULL};
    OBJECT_ATTRIBUTES oa;
    LARGE_INTEGER grace;
    outcome o = {0};
    slot* s = NULL;
    ULONG i, tag = 0, on;
    LONG in_dispatch = InterlockedIncrement(&dispatches);
    NTSTATUS st;
    (void)dev;

    if ((code & 3) != METHOD_NEITHER || !in || !size || size > WIRE_MAX_RECORD || !file)
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
    InitializeObjectAttributes(&oa, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    st = ZwOpenProcess(&o.process, ACCESS_PROCESS_MEMORY, &oa, &cid);
    if (st)
        return finish(irp, st, 0);
    o.record = find_record(o.process, code, in, size, out_size);
    if (!o.record) {
        DbgPrint("larkspur-usb: no record found for request %08lx\n", code);
        ZwClose(o.process);
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    o.irp = irp;
    o.record_size = size;
    lock(&send_lock);
    on = link;
    unlock(&send_lock);
    lock(&table_lock);
    for (i = 0; i < MAX_PENDING && !s; i++) {
        if (!table[i].tag) {
            s = &table[i];
            if (!next_tag)
                next_tag = 1;
            tag = s->tag = next_tag++;
            s->state = SLOT_DISPATCHING;
            s->link = on;
            s->o = o;
            KeClearEvent(&s->settled);
        }
    }
    unlock(&table_lock);
    if (!s) {
        ZwClose(o.process);
        return finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    TRACE("%llu request %lu on %lu: %08lx at %08lx\n", GetTickCount64(), tag, file, code, o.record);
    if (send(on, WIRE_REQUEST, tag, file, code, in, size))
        settle(tag, FALSE, 0, NULL, 0);

    grace.QuadPart = -(LONGLONG)GRACE_MS * 10000;
    KeWaitForSingleObject(&s->settled, Executive, KernelMode, FALSE, &grace);
    lock(&table_lock);
    if (s->state == SLOT_ANSWERED) {
        o = s->o;
        s->tag = 0;
        unlock(&table_lock);
        return complete_request(&o);
    }
    TRACE("%llu pending %lu\n", GetTickCount64(), tag);
    s->state = SLOT_PENDING;
    s->pended_at = GetTickCount64();
    s->pended_in = in_dispatch;
    IoMarkIrpPending(irp);
    unlock(&table_lock);
    return STATUS_PENDING;
}

/* ---- loading ------------------------------------------------------------------------- */

/* The service key's "Bridge" value: the bridge's folder, as Wine names it ("Z:\..."). */
static void read_config(PUNICODE_STRING key_path) {
    UNICODE_STRING value = RTL_CONSTANT_STRING(L"Bridge");
    OBJECT_ATTRIBUTES oa;
    HANDLE key;
    ULONG len, n, i;
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 512];
    } u;
    static const WCHAR prefix[] = L"\\??\\";
    static const WCHAR to_bridge_name[] = L"\\" WIRE_TO_BRIDGE_W;
    static const WCHAR to_driver_name[] = L"\\" WIRE_TO_DRIVER_W;

    InitializeObjectAttributes(&oa, key_path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (ZwOpenKey(&key, KEY_READ, &oa))
        return;
    if (!ZwQueryValueKey(key, &value, KeyValuePartialInformation, &u, sizeof u - 2, &len) &&
        u.info.Type == REG_SZ) {
        const WCHAR* dir = (const WCHAR*)u.info.Data;
        n = u.info.DataLength / sizeof(WCHAR);
        while (n && !dir[n - 1])
            n--;
        if (4 + n + 16 < sizeof to_bridge_path / sizeof(WCHAR)) {
            for (i = 0; i < 4; i++)
                to_bridge_path[i] = to_driver_path[i] = prefix[i];
            for (i = 0; i < n; i++)
                to_bridge_path[4 + i] = to_driver_path[4 + i] = dir[i];
            for (i = 0; i < sizeof to_bridge_name / sizeof(WCHAR); i++)
                to_bridge_path[4 + n + i] = to_bridge_name[i];
            for (i = 0; i < sizeof to_driver_name / sizeof(WCHAR); i++)
                to_driver_path[4 + n + i] = to_driver_name[i];
        }
    }
    ZwClose(key);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT drv, PUNICODE_STRING key_path) {
    PDEVICE_OBJECT dev;
    NTSTATUS st;
    ULONG i;

    read_config(key_path);
    KeInitializeEvent(&send_lock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&table_lock, SynchronizationEvent, TRUE);
    for (i = 0; i < MAX_PENDING; i++)
        KeInitializeEvent(&table[i].settled, NotificationEvent, FALSE);
    st = IoCreateDevice(drv, 0, &dev_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
    if (st)
        return st;
    st = IoCreateSymbolicLink(&link_name, &dev_name);
    if (st) {
        IoDeleteDevice(dev);
        return st;
    }
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    drv->MajorFunction[IRP_MJ_CREATE] = on_create;
    drv->MajorFunction[IRP_MJ_CLEANUP] = on_cleanup;
    drv->MajorFunction[IRP_MJ_CLOSE] = on_close;
    drv->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_ioctl;
    return STATUS_SUCCESS;
}
