// The requests of the USB kernel driver and the records it reads and fills: the interface
// between the driver layer above and the kernel driver (or its stand-in) below.
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
