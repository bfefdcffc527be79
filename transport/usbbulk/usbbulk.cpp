// USB bulk transport over the USB driver layer.
#include "transport/usbbulk/usbbulk.h"

#include "platform/screen.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

// Rows 0 to 11 are earlier board revisions that no target selects any more.
const std::array<usb_device_id, USB_DEVICE_ROWS> usb_device_table = {{
    {FALCON_VENDOR_ID, 0x0120},
    {FALCON_VENDOR_ID, 0x0121},
    {FALCON_VENDOR_ID, 0x0122},
    {FALCON_VENDOR_ID, 0x0123},
    {FALCON_VENDOR_ID, 0x0124},
    {FALCON_VENDOR_ID, 0x0125},
    {FALCON_VENDOR_ID, 0x0126},
    {FALCON_VENDOR_ID, 0x0127},
    {FALCON_VENDOR_ID, 0x0128},
    {FALCON_VENDOR_ID, 0x0129},
    {FALCON_VENDOR_ID, 0x012A},
    {FALCON_VENDOR_ID, 0x012B},
    {FALCON_VENDOR_ID, HERON_PRODUCT_ID},
    {FALCON_VENDOR_ID, EGRET_PRODUCT_ID},
}};

DriverCtx* usb_connection = nullptr;
usb_link_rec usb_link = {};
uint16_t usb_vendor_id = 0;
uint16_t usb_product_id = 0;
int usb_opened = 0;
int32_t usb_verbosity = 0;

namespace {

constexpr uint32_t kDefaultWaitSeconds = 30;
constexpr uint32_t kDefaultTimeoutMs = 30000;

// The claimed device and the claim status are written on the wait thread while the
// caller's thread may be reading them; the accesses are atomic so that a racing detach
// is well defined.
DeviceCtx* link_device() {
    return std::atomic_ref<DeviceCtx*>(usb_link.device).load(std::memory_order_acquire);
}
void set_link_device(DeviceCtx* device) {
    std::atomic_ref<DeviceCtx*>(usb_link.device).store(device, std::memory_order_release);
}
uint32_t link_claim_status() {
    return std::atomic_ref<uint32_t>(usb_link.claim_status).load(std::memory_order_acquire);
}
void set_link_claim_status(uint32_t status) {
    std::atomic_ref<uint32_t>(usb_link.claim_status).store(status, std::memory_order_release);
}

const AltSettingRec* current_alt(const DeviceInfo* info) {
    if (!info || !info->iface)
        return nullptr;
    return info->iface->alt;
}

bool has_pipe(const DeviceInfo* info, uint32_t pipe) {
    const AltSettingRec* alt = current_alt(info);
    if (!alt || !alt->pipes)
        return false;
    for (uint32_t i = 0; i < alt->descriptor[4]; ++i) {
        if (alt->pipes[i].pipe_number == pipe)
            return true;
    }
    return false;
}

// The attach wait in slices of a second, so that a console shows the seconds left once
// the first has gone; the total and the outcome are those of one wait.
DrvStatus wait_for_attach(uint32_t seconds) {
    DrvStatus got = DRV_TIMEOUT;
    for (uint32_t left = seconds; left > 0 && got == DRV_TIMEOUT; --left) {
        if (left < seconds)
            status_show("Waiting for the board on USB: %u s left", left);
        got = OsEventWait(usb_link.attach_event, 1);
    }
    return got;
}

void close_connection() {
    DriverClose(usb_connection);
    usb_connection = nullptr;
    OsEventClose(usb_link.attach_event);
    usb_link.attach_event = nullptr;
}

} // namespace

void usb_set_verbosity(int32_t level) {
    usb_verbosity = level;
}

uint32_t usb_on_attach(DeviceCtx* device, DeviceInfo* info, void* context) {
    auto* link = static_cast<usb_link_rec*>(context);
    const AltSettingRec* alt = current_alt(info);
    if (!alt || alt->descriptor[2] != link->interface_number || link_device())
        return 0;
    set_link_device(device);
    uint32_t status = DeviceSetInterface(device, link->interface_number, link->alternate_setting);
    set_link_claim_status(status);
    uint32_t result = 1;
    if (status != DRV_OK) {
        set_link_device(nullptr);
        result = 0;
    }
    OsEventSet(link->attach_event);
    return result;
}

uint32_t usb_on_detach(DeviceCtx*, void*) {
    set_link_device(nullptr);
    return 0;
}

int OpenUSB(uint32_t row, int32_t wait_s) {
    // A second open without a close would orphan the running wait thread.
    CloseUSB();
    if (row >= USB_DEVICE_ROWS)
        return 0;
    usb_link = {};
    usb_vendor_id = static_cast<uint16_t>(usb_device_table[row].vendor_id);
    usb_product_id = static_cast<uint16_t>(usb_device_table[row].product_id);
    if (OsEventCreate(&usb_link.attach_event) != DRV_OK)
        return 0;

    MatchEntry matchTable{};
    matchTable.vendor_id = usb_vendor_id;
    matchTable.product_id = usb_product_id;
    const EventTable eventTable = {usb_on_attach, usb_on_detach, nullptr, &usb_link};
    if (DriverOpen(&usb_connection, &matchTable, 1, &eventTable, 1) != DRV_OK) {
        usb_connection = nullptr; // DriverOpen left the invalid value; nothing is open
        close_connection();
        return 0;
    }
    uint32_t seconds = wait_s > 0 ? static_cast<uint32_t>(wait_s) : kDefaultWaitSeconds;
    if (wait_for_attach(seconds) != DRV_OK || link_claim_status() != DRV_OK) {
        close_connection();
        return 0;
    }
    usb_opened = 1;
    return 1;
}

void CloseUSB() {
    if (!usb_opened)
        return;
    close_connection();
    usb_opened = 0;
}

int usb_transfer(uint32_t direction, uint32_t pipe, void* buf, uint32_t len, int32_t timeout_ms) {
    DeviceCtx* device = link_device();
    DeviceInfo* info = nullptr;
    DrvStatus got = DeviceGetInfo(device, &info);
    std::unique_ptr<DeviceInfo, void (*)(void*)> pDevice(info, std::free);
    if (got != DRV_OK)
        return 0;
    if (pipe != 0 && !has_pipe(pDevice.get(), pipe)) {
        msg_printf("The pipe number 0x%x does not exist, please try again.\n", pipe);
        return 0;
    }
    uint32_t timeout = timeout_ms > 0 ? static_cast<uint32_t>(timeout_ms) : kDefaultTimeoutMs;
    uint32_t dwBytesTransferred = 0;
    uint8_t SetupPacket[8] = {};
    DrvStatus status = DeviceTransfer(device, pipe, direction, 0, buf, len, &dwBytesTransferred,
                                      SetupPacket, timeout);
    pDevice.reset();
    if (status != DRV_OK)
        return 0;
    if (usb_verbosity >= 2)
        msg_printf("Transferred %d bytes\n", static_cast<int>(dwBytesTransferred));
    return 1;
}

int usb_write(uint32_t len, const void* buf, uint32_t, int32_t timeout_ms) {
    // An OUT transfer only reads the buffer.
    return usb_transfer(0, usb_out_pipe, const_cast<void*>(buf), len, timeout_ms);
}

int usb_read(uint32_t len, uint32_t, void* buf, int32_t timeout_ms) {
    return usb_transfer(1, usb_in_pipe, buf, len, timeout_ms);
}
