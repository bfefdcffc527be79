#include "transport/uart/uart.h"

#include "platform/screen.h"

#include <cstdio>
#include <cstring>
#include <iterator>

HANDLE uart_handle = 0;
WCHAR name_buf[128];

// Milliseconds: a read of n bytes ends when all have come, after a 1000 ms gap between
// two bytes, or after 5000 + 500 n in all; a write of n bytes gets 2000 + 500 n.
COMMTIMEOUTS TimeOuts = {
    1000, // ReadIntervalTimeout
    500,  // ReadTotalTimeoutMultiplier
    5000, // ReadTotalTimeoutConstant
    500,  // WriteTotalTimeoutMultiplier
    2000, // WriteTotalTimeoutConstant
};

DCB dcb;

int OpenUART(const char* port) {
    static const char kPrefix[] = "\\\\.\\";
    if (!port)
        port = "";
    const size_t prefix_len = std::strlen(kPrefix);
    const size_t port_len = std::strlen(port);
    // A name that does not fit the path with its terminating zero is no port of ours.
    if (prefix_len + port_len + 1 > std::size(name_buf)) {
        uart_handle = INVALID_HANDLE_VALUE;
        msg_printf("%s:open %s failed.\n", "OpenUART", port);
        return 0;
    }
    // Widened byte by byte: wide formatting differs between the C runtimes.
    WCHAR* out = name_buf;
    for (const char* p = kPrefix; *p; ++p)
        *out++ = static_cast<WCHAR>(static_cast<unsigned char>(*p));
    for (const char* p = port; *p; ++p)
        *out++ = static_cast<WCHAR>(static_cast<unsigned char>(*p));
    *out = 0;

    uart_handle =
        CreateFileW(name_buf, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (uart_handle == INVALID_HANDLE_VALUE) {
        msg_printf("%s:open %s failed.\n", "OpenUART", port);
        return 0;
    }
    return uart_configure();
}

int uart_configure(void) {
    SetupComm(uart_handle, 4096, 4096);
    SetCommTimeouts(uart_handle, &TimeOuts);
    dcb.DCBlength = sizeof(DCB);
    GetCommState(uart_handle, &dcb);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(uart_handle, &dcb);
    PurgeComm(uart_handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    return 1;
}

int uart_write(const void* buf, DWORD count, DWORD* written) {
    DWORD put = 0;
    BOOL ok = WriteFile(uart_handle, buf, count, &put, nullptr);
    if (written)
        *written = put;
    return ok ? 1 : 0;
}

int uart_read(DWORD count, void* buf) {
    DWORD dwBytesRead = 0;
    return ReadFile(uart_handle, buf, count, &dwBytesRead, nullptr) ? 1 : 0;
}

int uart_close(void) {
    CloseHandle(uart_handle);
    return 1;
}
