// User-mode layer over the USB kernel driver: the request primitive, the list of attached
// devices, the device operations, the connections with their event registration and wait
// thread, and the event and thread helpers the USB bulk transport uses too. The requests'
// records are in platform/usbdriver_records.h.
#pragma once

#include "platform/usbdriver_records.h"
#include "platform/winapi.h"

#include <cstddef>
#include <cstdint>

// ---- records that stay in memory ----------------------------------------------------

struct DeviceCtx;
struct DriverCtx;
struct EventReg;
struct WaitThread;

using AttachFn = uint32_t (*)(DeviceCtx* device, DeviceInfo* info, void* context);
using DetachFn = uint32_t (*)(DeviceCtx* device, void* context);
using PowerFn = uint32_t (*)(DeviceCtx* device, uint32_t action, void* context);
using DispatchFn = void (*)(EventRec* rec, void* context);
using HandlerFn = void (*)(void* context);
using ThreadFn = void (*)(void* arg);

struct EventTable {
    AttachFn attach;
    DetachFn detach;
    PowerFn power;
    void* context;
};

struct DriverCtx {
    HANDLE handle; // the connection handle
    AttachFn attach;
    DetachFn detach;
    PowerFn power;
    void* context;
    EventReg* reg; // null without a registration
};

struct DeviceCtx {
    DriverCtx* driver;
    DeviceInfo* info; // owned
    uint32_t unique_id;
};

struct DeviceListNode {
    DeviceListNode* next;
    DeviceCtx* device;
};

struct ThreadStartRec {
    ThreadFn fn;
    void* arg;
};

struct WaitThread {
    HANDLE handle;
    HandlerFn handler;
    void* context; // the EventReg
    WaitRec* wait;
    HANDLE thread;
};

struct EventReg {
    DispatchFn dispatch;
    HANDLE handle;
    void* context; // the DriverCtx
    WaitThread* thread;
    WaitRec wait;
};

#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(DriverCtx) == 24 && offsetof(DriverCtx, attach) == 4 &&
              offsetof(DriverCtx, detach) == 8 && offsetof(DriverCtx, power) == 12 &&
              offsetof(DriverCtx, context) == 16 && offsetof(DriverCtx, reg) == 20);
static_assert(sizeof(DeviceCtx) == 12 && offsetof(DeviceCtx, info) == 4 &&
              offsetof(DeviceCtx, unique_id) == 8);
static_assert(sizeof(DeviceListNode) == 8 && offsetof(DeviceListNode, device) == 4);
static_assert(sizeof(ThreadStartRec) == 8 && offsetof(ThreadStartRec, arg) == 4);
static_assert(sizeof(WaitThread) == 20 && offsetof(WaitThread, handler) == 4 &&
              offsetof(WaitThread, context) == 8 && offsetof(WaitThread, wait) == 12 &&
              offsetof(WaitThread, thread) == 16);
static_assert(sizeof(EventReg) == 64 && offsetof(EventReg, handle) == 4 &&
              offsetof(EventReg, context) == 8 && offsetof(EventReg, thread) == 12 &&
              offsetof(EventReg, wait) == 16);
#endif

// ---- the request primitive, the device list, the device operations -----------------

// Sends one request; with own set, on a handle opened for this request alone.
DrvStatus DriverIoctl(uint32_t code, HANDLE handle, void* rec, uint32_t size, bool own);

extern DeviceListNode* device_list;
extern HANDLE device_list_lock;

DrvStatus DeviceListAdd(DeviceCtx* device);
// Succeeds when the list holds this very DeviceCtx. While the lock is held it copies out
// what a device operation needs, so the operation never reads the DeviceCtx afterwards.
DrvStatus DeviceListCheck(DeviceCtx* device, uint32_t* unique_id = nullptr,
                          HANDLE* handle = nullptr);
// Lookups by unique device ID; with an owner given, only that connection's devices count.
DrvStatus DeviceListFind(uint32_t unique_id, DeviceCtx** out, DriverCtx* owner = nullptr);
DrvStatus DeviceListTake(uint32_t unique_id, DeviceCtx** out, DriverCtx* owner = nullptr);
// Unlinks this very DeviceCtx (not freed).
DrvStatus DeviceListTakeDevice(DeviceCtx* device);
DrvStatus DeviceListDropConnection(DriverCtx* connection);

DrvStatus DeviceGetInfo(DeviceCtx* device, DeviceInfo** out);
DrvStatus DeviceSetInterface(DeviceCtx* device, uint32_t interface_number,
                             uint32_t alternate_setting);
DrvStatus DeviceTransfer(DeviceCtx* device, uint32_t pipe, uint32_t direction, uint32_t options,
                         void* buffer, uint32_t size, uint32_t* dwBytesTransferred,
                         const uint8_t* SetupPacket, uint32_t timeout_ms);

DrvStatus OsEventCreate(HANDLE* out);
void OsEventClose(HANDLE event);
DrvStatus OsEventWait(HANDLE event, uint32_t seconds);
DrvStatus OsEventSet(HANDLE event);
DrvStatus ThreadStart(HANDLE* out, ThreadFn fn, void* arg);
void ThreadJoin(HANDLE thread);

// ---- connections and events ---------------------------------------------------------

constexpr uintptr_t DRV_INVALID_CONNECTION = 0xFFFFFFFF;

extern int32_t connection_count;

DrvStatus DriverOpen(DriverCtx** out, const MatchEntry* matchTable, uint32_t count,
                     const EventTable* eventTable, uint32_t options);
void DriverClose(DriverCtx* connection);

DrvStatus EventRegister(EventReg** out, HANDLE handle, EventRec* rec, DispatchFn dispatch,
                        void* context);
DrvStatus EventUnregister(EventReg* reg);
DrvStatus WaitStart(WaitThread** out, HANDLE handle, WaitRec* wait, HandlerFn handler,
                    void* context);
DrvStatus WaitStop(WaitThread* thread);
void WaitLoop(void* wait_thread);
void EventHandler(void* event_reg);
void EventDispatch(EventRec* rec, void* driver_ctx);
