#include "transport/transport.h"

#include "platform/board_port.h"
#include "platform/screen.h"
#include "platform/shared.h"
#include "transport/hid/hid.h"
#include "transport/uart/uart.h"
#include "transport/usbbulk/usbbulk.h"

#include <cstdio>

uint32_t usb_device_row = 0;
uint32_t usb_attach_wait_s = 0;
uint32_t usb_read_timeout_ms = 0;

void dev_set_usb_row(uint32_t row) {
    usb_device_row = row;
}

void dev_set_usb_waits(uint32_t attach_wait_s, uint32_t read_timeout_ms) {
    usb_attach_wait_s = attach_wait_s;
    usb_read_timeout_ms = read_timeout_ms;
}

int dev_open_usb(int32_t verbosity) {
#ifdef _WIN32
    if (!board_choice_without_ports("the USB driver"))
        return 0;
#endif
    // Nothing could be taken: no need to wait for a board to attach.
    if (!board_choice_valid())
        return 0;
    usb_set_verbosity(verbosity);
    return OpenUSB(usb_device_row, static_cast<int32_t>(usb_attach_wait_s));
}

int dev_close_usb() {
    CloseUSB();
    return 1;
}

int dev_open(const char* port_name) {
    switch (current_route()) {
    case route::usb_bulk:
        return dev_open_usb(0);
    case route::serial:
        return OpenUART(port_name) ? 1 : 0;
    case route::hid:
        // Only a probed variant has a product ID; anything else opens nothing.
        return target_id >= TARGET_KESTREL && target_id <= TARGET_HOBBY
                   ? hid_open(FALCON_VENDOR_ID, current_target().product_id)
                   : 0;
    }
    return 0;
}

namespace {

int write_routed(const void* buf, uint32_t count, uint32_t* written, int32_t usb_timeout_ms) {
    if (current_route() == route::usb_bulk) {
        if (!usb_write(count, buf, usb_device_row, usb_timeout_ms))
            return 0;
        *written = count;
        return 1;
    }
    DWORD n = 0;
    bool serial = current_route() == route::serial;
    bool ok = serial ? uart_write(buf, count, &n) != 0 : hid_write(buf, count, &n) != 0;
    *written = n;
    if (!ok)
        msg_printf(serial ? "Write COM failed.\n" : "Write to HidFALCON failed.\n");
    return ok ? 1 : 0;
}

// Pieces of about this size show a serial download's progress several times a second.
constexpr uint32_t kImagePieceBytes = 2048;
// HID pieces in whole reports: 256 reports go in about a quarter of a second at one report
// per frame; fewer would cost frames between the pieces.
constexpr uint32_t kImagePieceReports = 256;

} // namespace

void dev_set_report_id(uint8_t id) {
    if (current_route() == route::hid)
        hid_set_report_id(id);
}

int dev_write(const void* buf, uint32_t count, uint32_t* written) {
    return write_routed(buf, count, written, USB_WRITE_TIMEOUT_MS);
}

int dev_write_image(const void* buf, uint32_t count, uint32_t* written) {
    return write_routed(buf, count, written, usb_image_timeout_ms(count));
}

uint32_t dev_image_piece() {
    switch (current_route()) {
    case route::usb_bulk:
        return 0;
    case route::serial:
        return kImagePieceBytes;
    case route::hid:
        return hid_caps.OutputReportByteLength > 1
                   ? (hid_caps.OutputReportByteLength - 1u) * kImagePieceReports
                   : 0;
    }
    return 0;
}

int dev_read(void* buf, uint32_t count) {
    switch (current_route()) {
    case route::usb_bulk: {
        auto* p = static_cast<uint8_t*>(buf);
        int result = 0;
        for (uint32_t pos = 0; pos < count; pos += USB_READ_PIECE) {
            uint32_t piece = count - pos < USB_READ_PIECE ? count - pos : USB_READ_PIECE;
            result =
                usb_read(piece, usb_device_row, p + pos, static_cast<int32_t>(usb_read_timeout_ms));
            if (!result)
                break;
        }
        return result;
    }
    case route::serial:
        if (count == 0)
            return 0;
        return uart_read(count, buf) ? 1 : 0;
    case route::hid:
        return hid_read(buf, count);
    }
    return 0;
}

void dev_close() {
    switch (current_route()) {
    case route::usb_bulk:
        dev_close_usb();
        break;
    case route::serial:
        if (uart_handle != 0 && uart_handle != INVALID_HANDLE_VALUE)
            uart_close();
        uart_handle = 0;
        break;
    case route::hid:
        hid_close();
        break;
    }
}
