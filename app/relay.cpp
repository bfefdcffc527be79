#include "app/relay.h"

#include "platform/shared.h"
#include "platform/winapi.h"
#include "transport/hid/hid.h"
#include "transport/hid/hid_ids.h"
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

bool is_usb_bulk() {
    return use_usb && (target_id == TARGET_EGRET || target_id == TARGET_HERON);
}

uint16_t falcon_product_id() {
    switch (target_id) {
    case TARGET_KESTREL:
        return KESTREL_PRODUCT_ID;
    case TARGET_MERLIN:
        return MERLIN_PRODUCT_ID;
    default:
        return HOBBY_PRODUCT_ID;
    }
}

void put_word(uint8_t* msg, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        msg[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_word(const uint8_t* msg) {
    return static_cast<uint32_t>(msg[0]) | static_cast<uint32_t>(msg[1]) << 8 |
           static_cast<uint32_t>(msg[2]) << 16 | static_cast<uint32_t>(msg[3]) << 24;
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

bool reconnect_usb(const char* target_name, uint8_t* msg) {
    if (dev_open_usb(0) != 1) {
        std::printf("Re-open the %s device failed.\n", target_name);
        return false;
    }
    std::printf("Re-open the %s device.\n", target_name);
    usb_write(4, msg, usb_device_row, USB_WRITE_TIMEOUT_MS);
    put_word(msg, 0);
    for (int i = 0; i < USB_HANDSHAKE_READS; ++i) {
        dev_read(msg, 4);
        if (get_word(msg) == HANDSHAKE_MAGIC)
            return true;
    }
    std::printf("USB: Handshake with board timeout.\n");
    dev_close();
    return false;
}

bool reconnect_hid() {
    bool open = false;
    for (int i = 0; i < HID_REOPEN_ATTEMPTS && !open; ++i) {
        Sleep(HID_REOPEN_PAUSE_MS);
        open = hid_open(FALCON_VENDOR_ID, falcon_product_id()) == 1;
    }
    if (!open) {
        std::printf("Failed to reopen the FALCON device.\n");
        return false;
    }
    std::printf("Re-open FALCON device.\n");
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

} // namespace

int console_relay(const char* target_name, image_buffer image_buf) {
    Sleep(SETTLE_BEFORE_CLOSE_MS);
    if (use_usb)
        dev_close();
    Sleep(SETTLE_AFTER_CLOSE_MS);

    DWORD bytesWritten = 0;
    uint8_t msg[16] = {};
    put_word(msg, HANDSHAKE_MAGIC);
    if (is_usb_bulk() && !reconnect_usb(target_name, msg))
        return -1;
    if (use_usb && !is_usb_bulk() && !reconnect_hid())
        return -1;

    std::printf("Running DDR test..., press \"ESC\" key to exit.\n");
    if (uart_handle != 0) {
        DWORD errors = 0;
        COMSTAT ComStat = {};
        ClearCommError(uart_handle, &errors, &ComStat);
    }
    int payload_len = 0;
    if (use_usb && !is_usb_bulk()) {
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
            if (!use_usb) {
                bytesWritten = 0;
                uart_write(&key, 1, &bytesWritten);
            } else if (is_usb_bulk()) {
                put_word(msg, key);
                usb_write(4, msg, usb_device_row, USB_WRITE_TIMEOUT_MS);
            } else {
                bytesWritten = 0;
                hid_write(&key, 1, &bytesWritten);
            }
        }
        if (!use_usb && uart_handle != 0) {
            Sleep(SERIAL_POLL_MS);
            relay_serial_input(lpInBuffer);
            PurgeComm(uart_handle, PURGE_TXCLEAR);
            PurgeComm(uart_handle, PURGE_TXABORT | PURGE_RXABORT);
        } else if (is_usb_bulk()) {
            DWORD started = now_ms();
            if (usb_read(4, usb_device_row, msg, static_cast<int32_t>(RELAY_SLICE_MS)) == 1)
                std::printf("%c", msg[0]);
            else
                pace_failed_read(started, RELAY_SLICE_MS, usb_read_timeout_ms);
        } else if (use_usb) {
            DWORD started = now_ms();
            int rc = hid_read_slice(ucBuf, static_cast<DWORD>(payload_len), RELAY_SLICE_MS);
            if (rc == 1) {
                for (int i = 0; i < payload_len && ucBuf[i] != 0; ++i)
                    std::printf("%c", ucBuf[i]);
            } else if (rc == 0) {
                pace_failed_read(started, RELAY_SLICE_MS, HID_FAILED_READ_PAUSE_MS);
            }
        }
    }
    dev_close();
    image_buf.reset();
    return 0;
}
