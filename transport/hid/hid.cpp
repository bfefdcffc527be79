// HID transport over the HID class driver: device search by vendor and product ID, and
// overlapped report I/O with bounded waits.
#include "transport/hid/hid.h"

#include "platform/board_port.h"
#include "platform/screen.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

HANDLE hid_handle = INVALID_HANDLE_VALUE;
HANDLE hid_write_event = INVALID_HANDLE_VALUE;
HANDLE hid_read_event = INVALID_HANDLE_VALUE;
HIDP_CAPS hid_caps = {};
PSP_DEVICE_INTERFACE_DETAIL_DATA_W hid_interface_detail = nullptr;
BYTE* hid_in_report = nullptr;
BYTE* hid_out_report = nullptr;

namespace {

constexpr DWORD kWriteWaitMs = 100;
constexpr DWORD kReadWaitMs = 1000;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using DetailPtr = std::unique_ptr<SP_DEVICE_INTERFACE_DETAIL_DATA_W, FreeDeleter>;

// A device handle that closes itself.
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE h) : h_(h) {}
    ~ScopedHandle() {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE h_;
};

void close_handle(HANDLE& h) {
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
}

template <class T> void free_buffer(T*& p) {
    std::free(p);
    p = nullptr;
}

// CreateEventW reports failure as null, the rest of this file as the invalid handle.
HANDLE new_event() {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return e ? e : INVALID_HANDLE_VALUE;
}

// The interface detail record of one interface and its device node, or null when it cannot
// be had.
DetailPtr fetch_detail(HDEVINFO info, SP_DEVICE_INTERFACE_DATA& data, DEVINST* node) {
    DWORD length = 0;
    SetupDiGetDeviceInterfaceDetailW(info, &data, nullptr, 0, &length, nullptr);
    if (length < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return nullptr;
    DetailPtr detail(static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(std::malloc(length)));
    if (!detail)
        return nullptr;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA devinfo = {};
    devinfo.cbSize = sizeof(devinfo);
    if (!SetupDiGetDeviceInterfaceDetailW(info, &data, detail.get(), length, nullptr, &devinfo))
        return nullptr;
    *node = devinfo.DevInst;
    return detail;
}

// The location paths of the USB device a HID interface belongs to: the first node above the
// interface's that has any (the HID collection's parent, or a composite device's above it).
port_names usb_port(DEVINST node) {
    constexpr int kLevels = 4;
    for (int up = 0; up < kLevels; ++up) {
        if (CM_Get_Parent(&node, node, 0) != CR_SUCCESS)
            break;
        ULONG type = 0, length = 0;
        if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, &type, nullptr, &length,
                                              0) != CR_BUFFER_SMALL ||
            length < sizeof(WCHAR))
            continue;
        std::vector<WCHAR> multi(length / sizeof(WCHAR) + 1, 0);
        if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, &type, multi.data(),
                                              &length, 0) != CR_SUCCESS ||
            type != REG_MULTI_SZ)
            continue;
        port_names out;
        std::string name;
        for (WCHAR c : multi) {
            if (c) {
                name += c < 0x80 ? char(c) : '?';
            } else if (!name.empty()) {
                out.push_back(std::move(name));
                name.clear();
            } else {
                break;
            }
        }
        if (!out.empty())
            return out;
    }
    return {};
}

bool is_open() {
    return hid_handle != INVALID_HANDLE_VALUE && hid_write_event != INVALID_HANDLE_VALUE &&
           hid_read_event != INVALID_HANDLE_VALUE && hid_in_report && hid_out_report;
}

// Waits for the request on os. Whatever the outcome, the request is over when this
// returns: one that did not complete in time is cancelled and waited for, so os and the
// report buffer can be reused or freed. True only for a request that succeeded.
bool await_request(OVERLAPPED& os, HANDLE event, DWORD ms) {
    DWORD n = 0;
    if (WaitForSingleObject(event, ms) == WAIT_OBJECT_0) {
        if (GetOverlappedResult(hid_handle, &os, &n, FALSE))
            return true;
        if (GetLastError() != ERROR_IO_INCOMPLETE)
            return false;
    }
    CancelIo(hid_handle);
    return GetOverlappedResult(hid_handle, &os, &n, TRUE) != FALSE;
}

bool started(BOOL rc) {
    return rc || GetLastError() == ERROR_IO_PENDING;
}

// The input report read in flight, if any. It may outlive one call of hid_read_slice.
OVERLAPPED read_os = {};
bool read_pending = false;

bool start_read() {
    if (read_pending)
        return true;
    std::memset(hid_in_report + 1, 0, hid_caps.InputReportByteLength - 1u);
    read_os = {};
    read_os.hEvent = hid_read_event;
    ResetEvent(hid_read_event);
    if (!started(
            ReadFile(hid_handle, hid_in_report, hid_caps.InputReportByteLength, nullptr, &read_os)))
        return false;
    read_pending = true;
    return true;
}

// 1: the read succeeded; 0: it failed; -1: still in flight after ms.
int collect_read(DWORD ms) {
    DWORD n = 0;
    if (WaitForSingleObject(hid_read_event, ms) != WAIT_OBJECT_0)
        return -1;
    if (GetOverlappedResult(hid_handle, &read_os, &n, FALSE)) {
        read_pending = false;
        return 1;
    }
    if (GetLastError() == ERROR_IO_INCOMPLETE)
        return -1;
    read_pending = false;
    return 0;
}

// Ends the read in flight; one that completed before the cancel took hold counts as done.
bool cancel_read() {
    if (!read_pending)
        return false;
    DWORD n = 0;
    CancelIo(hid_handle);
    read_pending = false;
    return GetOverlappedResult(hid_handle, &read_os, &n, TRUE) != FALSE;
}

// Where the device found last hangs, and where the others that matched beside it do.
port_names found_port;
std::vector<port_names> found_others;

} // namespace

int hid_find_device(USHORT vendor_id, USHORT product_id, HIDP_CAPS* caps,
                    PSP_DEVICE_INTERFACE_DETAIL_DATA_W* detail) {
    *detail = nullptr;
    found_port.clear();
    found_others.clear();
    if (!board_choice_valid())
        return 0;
    // Only a first search with no board chosen needs to know of every board there.
    const bool count_all = board_port_unbound();
    GUID HidGuid;
    HidD_GetHidGuid(&HidGuid);
    HDEVINFO info =
        SetupDiGetClassDevsW(&HidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (info == INVALID_HANDLE_VALUE)
        return 0;
    SP_DEVICE_INTERFACE_DATA DevData = {};
    DevData.cbSize = sizeof(DevData);
    int found = 0;
    for (DWORD index = 0; !found || count_all; ++index) {
        if (!SetupDiEnumDeviceInterfaces(info, nullptr, &HidGuid, index, &DevData))
            break;
        DEVINST node = 0;
        DetailPtr candidate = fetch_detail(info, DevData, &node);
        if (!candidate)
            continue;
        port_names port = usb_port(node);
        if (!board_port_allowed(port))
            continue;
        ScopedHandle dev(CreateFileW(candidate->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
        if (!dev)
            continue;
        HIDD_ATTRIBUTES DevAttributes = {};
        DevAttributes.Size = sizeof(DevAttributes);
        if (!HidD_GetAttributes(dev.get(), &DevAttributes))
            continue;
        if (DevAttributes.VendorID != vendor_id || DevAttributes.ProductID != product_id)
            continue;
        PHIDP_PREPARSED_DATA PreparsedData = nullptr;
        if (!HidD_GetPreparsedData(dev.get(), &PreparsedData))
            continue;
        const NTSTATUS status = HidP_GetCaps(PreparsedData, caps);
        HidD_FreePreparsedData(PreparsedData);
        if (status != HIDP_STATUS_SUCCESS)
            continue;
        if (found) {
            found_others.push_back(std::move(port));
            continue;
        }
        *detail = candidate.release();
        found_port = std::move(port);
        found = 1;
    }
    SetupDiDestroyDeviceInfoList(info);
    return found;
}

int hid_open(USHORT vendor_id, USHORT product_id) {
    hid_close();
    if (!hid_find_device(vendor_id, product_id, &hid_caps, &hid_interface_detail))
        return 0;
    // A report needs its ID byte and at least one payload byte.
    if (hid_caps.InputReportByteLength < 2 || hid_caps.OutputReportByteLength < 2) {
        hid_close();
        return 0;
    }
    hid_handle = CreateFileW(hid_interface_detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (hid_handle == INVALID_HANDLE_VALUE) {
        msg_printf("Failed to open the device for wr/rd.\n");
        hid_close();
        return 0;
    }
    hid_write_event = new_event();
    if (hid_write_event != INVALID_HANDLE_VALUE)
        hid_read_event = new_event();
    if (hid_read_event != INVALID_HANDLE_VALUE)
        hid_in_report = static_cast<BYTE*>(std::calloc(hid_caps.InputReportByteLength, 1));
    if (hid_in_report)
        hid_out_report = static_cast<BYTE*>(std::calloc(hid_caps.OutputReportByteLength, 1));
    if (!is_open()) {
        hid_close();
        return 0;
    }
    board_port_taken(found_port, found_others);
    return 1;
}

int hid_write(const void* buf, DWORD count, DWORD* written) {
    DWORD unused = 0;
    if (!written)
        written = &unused;
    *written = 0;
    if (!is_open())
        return 0;
    const DWORD length = hid_caps.OutputReportByteLength;
    const DWORD room = length - 1;
    const auto* src = static_cast<const BYTE*>(buf);
    OVERLAPPED os = {};
    os.hEvent = hid_write_event;
    for (DWORD done = 0; done < count;) {
        const DWORD piece = std::min(count - done, room);
        std::memset(hid_out_report + 1, 0, room);
        std::memcpy(hid_out_report + 1, src + done, piece);
        ResetEvent(hid_write_event);
        if (!started(WriteFile(hid_handle, hid_out_report, length, nullptr, &os)))
            return 0;
        if (!await_request(os, hid_write_event, kWriteWaitMs))
            return 0;
        done += piece;
        *written = done;
    }
    return 1;
}

namespace {

// Hands the payload of the report read to the caller, at most count bytes of it.
void take_payload(void* buf, DWORD count) {
    count = std::min<DWORD>(count, hid_caps.InputReportByteLength - 1u);
    if (count)
        std::memcpy(buf, hid_in_report + 1, count);
}

} // namespace

int hid_read_slice(void* buf, DWORD count, DWORD wait_ms) {
    if (!is_open() || !start_read())
        return 0;
    const int rc = collect_read(wait_ms);
    if (rc == 1)
        take_payload(buf, count);
    return rc;
}

int hid_read(void* buf, DWORD count) {
    int rc = hid_read_slice(buf, count, kReadWaitMs);
    if (rc >= 0)
        return rc;
    if (!cancel_read())
        return 0;
    take_payload(buf, count);
    return 1;
}

void hid_set_report_id(BYTE id) {
    if (hid_out_report)
        hid_out_report[0] = id;
}

int hid_close() {
    // The report buffer must outlive the read in flight.
    if (hid_handle != INVALID_HANDLE_VALUE)
        cancel_read();
    read_pending = false;
    close_handle(hid_handle);
    close_handle(hid_write_event);
    close_handle(hid_read_event);
    free_buffer(hid_in_report);
    free_buffer(hid_out_report);
    free_buffer(hid_interface_detail);
    return 1;
}
