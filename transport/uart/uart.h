// The serial-port route to a board: exclusive open at 115200 8N1, fixed timeouts, plain
// synchronous reads and writes on one process-wide handle.
#pragma once

#include "platform/winapi.h"

// The open port; 0 while closed (the transport switch clears it after uart_close), the
// invalid-handle value after a failed open.
extern HANDLE uart_handle;
// The device path: "\\.\" and the port name, with its terminating zero.
extern WCHAR name_buf[128];
extern COMMTIMEOUTS TimeOuts;
extern DCB dcb;

// Opens "\\.\<port>" (e.g. COM4) and configures it. 1 when open, 0 after printing the
// open-failure line.
int OpenUART(const char* port);
// Queues, timeouts, line settings, then both queues purged. Always 1: the port runs with
// what it has when a setting does not take.
int uart_configure(void);
// One synchronous write; nonzero when the call succeeded, even if the write timeout cut
// it short (then *written tells).
int uart_write(const void* buf, DWORD count, DWORD* written);
// One synchronous read; nonzero when the call succeeded. A read that times out succeeds
// and leaves the bytes not received as they were.
int uart_read(DWORD count, void* buf);
int uart_close(void);
