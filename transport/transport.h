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

// The image's bulk write carries the whole image at once, so its timeout grows with it:
// twice what a full-speed link of about 1 MB/s needs, on top of the usual 50 ms. A board
// that stops taking data still fails the download within that.
constexpr int32_t usb_image_timeout_ms(uint32_t size) {
    return USB_WRITE_TIMEOUT_MS + static_cast<int32_t>(size / 500);
}

void dev_set_usb_row(uint32_t row);
void dev_set_usb_waits(uint32_t attach_wait_s, uint32_t read_timeout_ms);
int dev_open_usb(int32_t verbosity);
int dev_close_usb();
int dev_open(const char* port_name);
int dev_write(const void* buf, uint32_t count, uint32_t* written);
int dev_read(void* buf, uint32_t count);
// The test image goes out in pieces of this many bytes, cut where the bytes on the wire
// stay the same as in one write (whole HID reports); 0: in one write.
uint32_t dev_image_piece();
// As dev_write, but a USB bulk write gets the image's timeout.
int dev_write_image(const void* buf, uint32_t count, uint32_t* written);
void dev_close();
// The report ID of the HID writes that follow; nothing on the other routes.
void dev_set_report_id(uint8_t id);
