#include "app/relay.h"

#include "platform/screen.h"
#include "platform/shared.h"
#include "platform/winapi.h"
#include "transport/hid/hid.h"
#include "transport/transport.h"
#include "transport/uart/uart.h"
#include "transport/usbbulk/usbbulk.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD SETTLE_BEFORE_CLOSE_MS = 1000;
constexpr DWORD SETTLE_AFTER_CLOSE_MS = 3000;
constexpr int USB_HANDSHAKE_READS = 50;
constexpr int HID_REOPEN_ATTEMPTS = 500;
constexpr DWORD HID_REOPEN_PAUSE_MS = 100;
constexpr uint8_t GREETING_BYTE = 0xA5;
constexpr int KEY_ESC = 27;
constexpr DWORD SERIAL_POLL_MS = 5;
constexpr size_t SERIAL_BUF_SIZE = 8192;
constexpr size_t HID_PAYLOAD_BUF = 256;
constexpr DWORD HID_FAILED_READ_PAUSE_MS = 100;
// The USB and HID relays wait for output in slices this long and look at the keyboard in
// between, so a key reaches the board within a slice. A HID read stays outstanding across
// slices; a USB read that ends empty has taken nothing.
constexpr DWORD RELAY_SLICE_MS = 10;

DWORD now_ms() {
    using namespace std::chrono;
    return static_cast<DWORD>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Drains the serial input queue to the console. Zero bytes are skipped, not taken as the
// end of a chunk, and nothing received is purged.
void relay_serial_input(char* lpInBuffer) {
    DWORD errors = 0;
    COMSTAT ComStat = {};
    ClearCommError(uart_handle, &errors, &ComStat);
    while (ComStat.cbInQue > 0) {
        DWORD want = ComStat.cbInQue < SERIAL_BUF_SIZE - 1
                         ? ComStat.cbInQue
                         : static_cast<DWORD>(SERIAL_BUF_SIZE - 1);
        std::memset(lpInBuffer, 0, SERIAL_BUF_SIZE);
        if (!uart_read(want, lpInBuffer))
            break;
        char text[SERIAL_BUF_SIZE];
        size_t n = 0;
        for (DWORD i = 0; i < want; ++i) {
            if (lpInBuffer[i] != '\0')
                text[n++] = lpInBuffer[i];
        }
        std::fwrite(text, 1, n, stdout);
        std::fflush(stdout);
        if (!ClearCommError(uart_handle, &errors, &ComStat))
            break;
    }
}

// Reopens the test program's USB device and trades the handshake word with it.
bool reconnect_usb(const char* target_name) {
    if (dev_open_usb(0) != 1) {
        msg_printf("Re-open the %s device failed.\n", target_name);
        return false;
    }
    msg_printf("Re-open the %s device.\n", target_name);
    uint8_t msg[4];
    put_le32(msg, HANDSHAKE_MAGIC);
    usb_write(4, msg, usb_device_row, USB_WRITE_TIMEOUT_MS);
    for (int i = 0; i < USB_HANDSHAKE_READS; ++i) {
        put_le32(msg, 0);
        dev_read(msg, 4);
        if (get_le32(msg) == HANDSHAKE_MAGIC)
            return true;
    }
    msg_printf("USB: Handshake with board timeout.\n");
    dev_close();
    return false;
}

bool reconnect_hid() {
    constexpr int attempts_a_second = 1000 / HID_REOPEN_PAUSE_MS;
    bool open = false;
    for (int i = 0; i < HID_REOPEN_ATTEMPTS && !open; ++i) {
        if (i >= attempts_a_second && i % attempts_a_second == 0)
            status_show("Waiting for the FALCON device: %d s left",
                        (HID_REOPEN_ATTEMPTS - i) / attempts_a_second);
        Sleep(HID_REOPEN_PAUSE_MS);
        open = hid_open(FALCON_VENDOR_ID, current_target().product_id) == 1;
    }
    if (!open) {
        msg_printf("Failed to reopen the FALCON device.\n");
        return false;
    }
    msg_printf("Re-open FALCON device.\n");
    hid_set_report_id(2);
    uint8_t greeting = GREETING_BYTE;
    DWORD bytesWritten = 0;
    hid_write(&greeting, 1, &bytesWritten);
    return true;
}

// A read on a device that has gone fails at once; without a pause the relay would spin.
void pace_failed_read(DWORD started_ms, DWORD wait_ms, DWORD pause_ms) {
    DWORD spent = now_ms() - started_ms;
    if (spent < wait_ms / 4)
        Sleep(pause_ms);
}

// A key goes out as one byte, over USB bulk as one 4-byte word.
void send_key(uint8_t key) {
    DWORD bytesWritten = 0;
    uint8_t msg[4];
    switch (current_route()) {
    case route::serial:
        uart_write(&key, 1, &bytesWritten);
        break;
    case route::usb_bulk:
        put_le32(msg, key);
        usb_write(4, msg, usb_device_row, USB_WRITE_TIMEOUT_MS);
        break;
    case route::hid:
        hid_write(&key, 1, &bytesWritten);
        break;
    }
}

// Waits a little for the test program's output and prints what came.
void relay_output(char* lpInBuffer, uint8_t* ucBuf, int payload_len) {
    DWORD started = now_ms();
    switch (current_route()) {
    case route::serial:
        if (uart_handle == 0)
            return;
        Sleep(SERIAL_POLL_MS);
        relay_serial_input(lpInBuffer);
        PurgeComm(uart_handle, PURGE_TXCLEAR);
        // No receive abort: reads here are never pending, so on Windows it aborts nothing,
        // but some serial layers (Wine's) flush the input for it and lose the board's output.
        PurgeComm(uart_handle, PURGE_TXABORT);
        break;
    case route::usb_bulk:
        if (usb_read(4, usb_device_row, ucBuf, static_cast<int32_t>(RELAY_SLICE_MS)) == 1)
            std::printf("%c", ucBuf[0]);
        else
            pace_failed_read(started, RELAY_SLICE_MS, usb_read_timeout_ms);
        break;
    case route::hid: {
        int rc = hid_read_slice(ucBuf, static_cast<DWORD>(payload_len), RELAY_SLICE_MS);
        if (rc == 1) {
            for (int i = 0; i < payload_len && ucBuf[i] != 0; ++i)
                std::printf("%c", ucBuf[i]);
        } else if (rc == 0) {
            pace_failed_read(started, RELAY_SLICE_MS, HID_FAILED_READ_PAUSE_MS);
        }
        break;
    }
    }
}

} // namespace

int console_relay(const char* target_name, image_buffer image_buf) {
    Sleep(SETTLE_BEFORE_CLOSE_MS);
    if (use_usb)
        dev_close();
    Sleep(SETTLE_AFTER_CLOSE_MS);

    route r = current_route();
    if (r == route::usb_bulk && !reconnect_usb(target_name))
        return -1;
    if (r == route::hid && !reconnect_hid())
        return -1;

    msg_printf("Running DDR test..., press \"ESC\" key to exit.\n");
    if (uart_handle != 0) {
        DWORD errors = 0;
        COMSTAT ComStat = {};
        ClearCommError(uart_handle, &errors, &ComStat);
    }
    int payload_len = 0;
    if (r == route::hid) {
        payload_len = hid_caps.InputReportByteLength - 1;
        if (payload_len > static_cast<int>(HID_PAYLOAD_BUF))
            payload_len = static_cast<int>(HID_PAYLOAD_BUF);
    }
    static char lpInBuffer[SERIAL_BUF_SIZE];
    uint8_t ucBuf[HID_PAYLOAD_BUF];

    for (;;) {
        if (_kbhit()) {
            uint8_t key = static_cast<uint8_t>(_getch() & 0xFF);
            if (key == KEY_ESC)
                break;
            send_key(key);
        }
        relay_output(lpInBuffer, ucBuf, payload_len);
    }
    dev_close();
    image_buf.reset();
    return 0;
}
