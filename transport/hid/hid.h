// HID transport: finds a falcon board's HID interface by vendor and product ID, opens it
// for overlapped I/O and carries byte streams in its input and output reports.
#pragma once

#include "platform/winapi.h"
#include "platform/shared.h"

// The one open HID device; invalid handles and null buffers while nothing is open.
extern HANDLE hid_handle;
extern HANDLE hid_write_event;
extern HANDLE hid_read_event;
extern HIDP_CAPS hid_caps;
extern PSP_DEVICE_INTERFACE_DETAIL_DATA_W hid_interface_detail;
extern BYTE* hid_in_report;  // InputReportByteLength bytes
extern BYTE* hid_out_report; // OutputReportByteLength bytes; byte 0 is the report ID

// 1 when an interface with both IDs was found and its capabilities read. On success
// *detail is a malloc'd record the caller frees; otherwise it is null.
int hid_find_device(USHORT vendor_id, USHORT product_id, HIDP_CAPS* caps,
                    PSP_DEVICE_INTERFACE_DETAIL_DATA_W* detail);
// 1 when the device is found and open; whatever was open before is closed first.
int hid_open(USHORT vendor_id, USHORT product_id);
// 1 when every output report was confirmed; *written counts the confirmed bytes.
int hid_write(const void* buf, DWORD count, DWORD* written);
// 1 when an input report arrived within 1000 ms; copies at most InputReportByteLength - 1
// payload bytes of it into buf.
int hid_read(void* buf, DWORD count);
// As hid_read, but waits at most wait_ms and leaves the read outstanding when no report
// came: the next call (or hid_read) picks it up, so no report is lost to a cancel. 1: a
// report arrived; -1: none yet; 0: the read failed.
int hid_read_slice(void* buf, DWORD count, DWORD wait_ms);
// The report ID that the following output reports carry.
void hid_set_report_id(BYTE id);
// Always 1; harmless when nothing is open.
int hid_close();
