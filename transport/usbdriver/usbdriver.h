// User-mode layer over the USB kernel driver: the request primitive, the records the
// driver reads and fills, the list of attached devices, the device operations, the
// connections with their event registration and wait thread, and the event and thread
// helpers the USB bulk transport uses too.
//
// Records are laid out for a 32-bit process, where addresses are 32 bits wide. In a
// 64-bit build the address fields are pointer-sized and the stand-in driver uses these
// same structures, so both sides agree.
#pragma once

#include "platform/winapi.h"

#include <cstddef>
#include <cstdint>

using DrvStatus = uint32_t;

constexpr DrvStatus DRV_OK = 0;
constexpr DrvStatus DRV_NULL_ARG = 0x20000001;
constexpr DrvStatus DRV_NO_RESOURCES = 0x20000005;
constexpr DrvStatus DRV_SYSTEM_ERROR = 0x20000007;
constexpr DrvStatus DRV_NOT_FOUND = 0x2000000F;
constexpr DrvStatus DRV_TIMEOUT = 0x20000015;
constexpr DrvStatus DRV_VERSION_TOO_OLD = 0x2000001C;
constexpr DrvStatus DRV_NO_HANDLE = 0xFFFFFFFF;

constexpr uint32_t DRV_MIN_VERSION = 600;

// Control codes: device type 0x9538, any access, transfer method neither.
constexpr uint32_t DRV_IOCTL_VERSION = 0x95382443;
constexpr uint32_t DRV_IOCTL_DEVICE_INFO = 0x95382603;
constexpr uint32_t DRV_IOCTL_SET_INTERFACE = 0x95382607;
constexpr uint32_t DRV_IOCTL_TRANSFER = 0x9538260F;
constexpr uint32_t DRV_IOCTL_EVENT_REGISTER = 0x9538261B;
constexpr uint32_t DRV_IOCTL_EVENT_UNREGISTER = 0x9538261F;
constexpr uint32_t DRV_IOCTL_EVENT_PULL = 0x95382623;
constexpr uint32_t DRV_IOCTL_EVENT_REPLY = 0x95382627;
constexpr uint32_t DRV_IOCTL_WAIT_ENABLE = 0x9538247B;
constexpr uint32_t DRV_IOCTL_WAIT_DISABLE = 0x9538247F;
constexpr uint32_t DRV_IOCTL_WAIT = 0x9538252F;

constexpr uint32_t DRV_ACTION_ATTACH = 1;
constexpr uint32_t DRV_ACTION_DETACH = 2;
constexpr uint32_t DRV_ACTION_POWER_MASK = 0x3FF0; // 16 .. 8192, one bit per power state

constexpr uint32_t DRV_EVENT_REPLY_WANTED = 1; // options bit 0 of a pulled event
constexpr uint32_t DRV_EVENT_ACCEPT = 2;       // options bit 1 of a reply

constexpr uint32_t DRV_WAIT_END = 1;   // waiting has been disabled
constexpr uint32_t DRV_WAIT_AGAIN = 2; // nothing to handle

constexpr uint32_t DRV_REGISTER_MARK = 0xFFFFFFFE;

// ---- records exchanged with the driver ---------------------------------------------

struct VersionRec {
    uint32_t version;
    char text[128];
};

struct ParamsInfo {
    uint32_t unique_id;
    void* buffer; // null in the size query
    uint32_t size;
    uint32_t reserved;
};

struct ParamsSetInterface {
    uint32_t unique_id;
    uint32_t interface_number;
    uint32_t alternate_setting;
    uint32_t reserved;
};

struct ParamsTransfer {
    uint32_t unique_id;
    uint32_t pipe;      // endpoint address
    uint32_t direction; // 1 IN, 0 OUT
    uint32_t options;
    void* buffer;
    uint32_t size;
    uint32_t dwBytesTransferred;
    uint8_t SetupPacket[8];
    uint32_t timeout_ms;
};

struct MatchEntry {
    uint16_t vendor_id;
    uint16_t product_id;
    uint8_t reserved[6];
};

// Holds one match entry; each further entry adds 10 bytes (event_rec_size).
struct EventRec {
    uint32_t handle;
    uint32_t action;
    uint8_t reserved8[8];
    uint32_t mark; // DRV_REGISTER_MARK in a registration
    uint32_t reserved20;
    uint32_t options;
    uint8_t reserved28[8];
    uint32_t unique_id;
    uint8_t reserved40[8];
    uint32_t one; // always 1
    uint32_t match_count;
    MatchEntry matches[1];
};

constexpr size_t EVENT_REC_MATCH_OFFSET = 56;

// Size of an EventRec with room for count match entries (0 or 1: the one-entry record).
constexpr size_t event_rec_size(uint32_t count) {
    return (count > 1 ? (size_t(count) - 1) * sizeof(MatchEntry) : 0) + sizeof(EventRec);
}

struct WaitRec {
    uint32_t handle;
    uint8_t reserved[40];
    uint32_t outcome;
};

// ---- DeviceInfo: one block the driver fills; the addresses point inside it ----------

struct PipeRec {
    uint32_t pipe_number; // endpoint address
    uint32_t type;        // 2 bulk
    uint32_t max_packet;
    uint32_t interval;
    uint32_t direction; // 1 IN, 0 OUT
};

struct AltSettingRec {
    uint8_t descriptor[9]; // the standard interface descriptor
    uint8_t reserved[7];
    PipeRec* pipes; // descriptor[4] records
};

struct InterfaceRec {
    uint32_t alt_count;
    uint32_t reserved;
    AltSettingRec* alt; // the current alternate setting
};

struct DeviceInfo {
    uint8_t device_descriptor[18];
    uint8_t reserved[30];
    InterfaceRec* iface;
    uint32_t interface_count;
};

// The blocks DeviceGetInfo hands out are malloc'd: free them with std::free.

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
static_assert(sizeof(VersionRec) == 132);
static_assert(sizeof(ParamsInfo) == 16 && offsetof(ParamsInfo, buffer) == 4 &&
              offsetof(ParamsInfo, size) == 8 && offsetof(ParamsInfo, reserved) == 12);
static_assert(sizeof(ParamsSetInterface) == 16 &&
              offsetof(ParamsSetInterface, interface_number) == 4 &&
              offsetof(ParamsSetInterface, alternate_setting) == 8);
static_assert(sizeof(ParamsTransfer) == 40 && offsetof(ParamsTransfer, pipe) == 4 &&
              offsetof(ParamsTransfer, direction) == 8 && offsetof(ParamsTransfer, options) == 12 &&
              offsetof(ParamsTransfer, buffer) == 16 && offsetof(ParamsTransfer, size) == 20 &&
              offsetof(ParamsTransfer, dwBytesTransferred) == 24 &&
              offsetof(ParamsTransfer, SetupPacket) == 28 &&
              offsetof(ParamsTransfer, timeout_ms) == 36);
static_assert(offsetof(DeviceInfo, iface) == 48 && offsetof(InterfaceRec, alt) == 8 &&
              offsetof(AltSettingRec, pipes) == 16 && sizeof(PipeRec) == 20);
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
// These hold in every build: they have no address fields.
static_assert(sizeof(MatchEntry) == 10);
static_assert(sizeof(EventRec) == 68 && offsetof(EventRec, action) == 4 &&
              offsetof(EventRec, mark) == 16 && offsetof(EventRec, options) == 24 &&
              offsetof(EventRec, unique_id) == 36 && offsetof(EventRec, one) == 48 &&
              offsetof(EventRec, match_count) == 52 &&
              offsetof(EventRec, matches) == EVENT_REC_MATCH_OFFSET);
static_assert(event_rec_size(2) == 78);
static_assert(sizeof(WaitRec) == 48 && offsetof(WaitRec, outcome) == 44);
static_assert(offsetof(VersionRec, text) == 4);
static_assert(offsetof(AltSettingRec, reserved) == 9);

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
