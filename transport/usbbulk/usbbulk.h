// USB bulk transport to an egret or heron board in serial download mode: one bulk OUT and
// one bulk IN pipe of the board claimed on interface 0, through the USB driver layer.
#pragma once

#include "platform/shared.h"
#include "transport/usbdriver/usbdriver.h"

#include <array>
#include <cstdint>

struct usb_device_id {
    uint32_t vendor_id; // low 16 bits used
    uint32_t product_id;
};

constexpr uint32_t USB_DEVICE_ROWS = 14;

extern const std::array<usb_device_id, USB_DEVICE_ROWS> usb_device_table;
constexpr uint32_t usb_out_pipe = 0x01; // OUT endpoint 1
constexpr uint32_t usb_in_pipe = 0x82;  // IN endpoint 2

// Shared between the caller's thread and the driver layer's wait thread, without a lock:
// the attach callback stores the device and the claim status before it signals the event.
struct usb_link_rec {
    uint32_t interface_number;
    uint32_t alternate_setting;
    DeviceCtx* device; // the claimed device, or null
    HANDLE attach_event;
    uint32_t claim_status;
};

extern DriverCtx* usb_connection;
extern usb_link_rec usb_link;
extern uint16_t usb_vendor_id;
extern uint16_t usb_product_id;
extern int usb_opened;
extern int32_t usb_verbosity;

void usb_set_verbosity(int32_t level);
// 1 once the board of the row has attached and been claimed within the wait (0 or less:
// 30 s), else 0 with nothing left open.
int OpenUSB(uint32_t row, int32_t wait_s);
void CloseUSB();
// 1 when the driver reports success for the one transfer, else 0. The row is not used:
// transfers go to the claimed device. A timeout of 0 or less means 30000 ms.
int usb_write(uint32_t len, const void* buf, uint32_t row, int32_t timeout_ms);
int usb_read(uint32_t len, uint32_t row, void* buf, int32_t timeout_ms);
int usb_transfer(uint32_t direction, uint32_t pipe, void* buf, uint32_t len, int32_t timeout_ms);

uint32_t usb_on_attach(DeviceCtx* device, DeviceInfo* info, void* context);
uint32_t usb_on_detach(DeviceCtx* device, void* context);
