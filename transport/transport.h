// One open/write/read/close surface over the serial port, USB bulk and USB HID, routed by
// target_id and use_usb.
#pragma once

#include <cstdint>

// Settings the USB bulk transport is opened and read with.
extern uint32_t usb_device_row;
extern uint32_t usb_attach_wait_s;
extern uint32_t usb_read_timeout_ms;

// Every USB bulk write is issued with this timeout.
constexpr int32_t USB_WRITE_TIMEOUT_MS = 50;
// USB bulk reads are cut into pieces of at most this size.
constexpr uint32_t USB_READ_PIECE = 1024;

void dev_set_usb_row(uint32_t row);
void dev_set_usb_waits(uint32_t attach_wait_s, uint32_t read_timeout_ms);
int dev_open_usb(int32_t verbosity);
int dev_close_usb();
int dev_open(const char* port_name);
int dev_write(const void* buf, uint32_t count, uint32_t* written);
int dev_read(void* buf, uint32_t count);
void dev_close();
