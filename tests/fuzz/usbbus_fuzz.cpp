// The stand-in USB kernel driver's handling of what the virtual USB bus sends, with the
// host's requests on the devices it announced in between. The input is a list of steps:
//   0, u16 length, bytes   one bus message
//   1, byte                pull every pending event; reply to attach offers (accept on bit 0)
//   2, byte                device information of the byte-th device heard of
//   3, byte, byte, u16     IN transfer: device, endpoint, size (1 ms timeout)
#include "platform/posix/usbdriver.h"
#include "platform/winapi.h"
#include "tests/fuzz/fuzz_util.h"
#include "transport/usbdriver/usbdriver.h"

#include <string>
#include <unistd.h>
#include <vector>

namespace {

HANDLE g_driver = INVALID_HANDLE_VALUE;
uint32_t g_regs[2];

uint32_t ioctl(uint32_t code, void* rec, uint32_t size) {
    uint32_t status = 0;
    DWORD got = 0;
    DeviceIoControl(g_driver, code, rec, size, &status, sizeof status, &got, nullptr);
    return status;
}

// A registration for every device (no match entries), with or without attach offers.
uint32_t register_all(uint32_t options) {
    EventRec rec{};
    rec.action = DRV_ACTION_ATTACH | DRV_ACTION_DETACH;
    rec.mark = DRV_REGISTER_MARK;
    rec.options = options;
    rec.one = 1;
    if (ioctl(DRV_IOCTL_EVENT_REGISTER, &rec, sizeof rec) != DRV_OK)
        std::abort();
    return rec.handle;
}

// Pulls every event; attach offers are accepted or declined by accept's bits.
void pull_events(uint8_t accept, std::vector<uint32_t>& heard) {
    for (uint32_t reg : g_regs) {
        for (int i = 0; i < 1024; ++i) {
            EventRec rec{};
            rec.handle = reg;
            if (ioctl(DRV_IOCTL_EVENT_PULL, &rec, sizeof rec) != DRV_OK)
                std::abort();
            if (rec.action == 0)
                break;
            if (rec.action == DRV_ACTION_ATTACH && heard.size() < 256)
                heard.push_back(rec.unique_id);
            if (rec.options & DRV_EVENT_REPLY_WANTED) {
                rec.options = (accept & 1) ? DRV_EVENT_ACCEPT : 0;
                accept = static_cast<uint8_t>(accept >> 1 | accept << 7);
                ioctl(DRV_IOCTL_EVENT_REPLY, &rec, sizeof rec);
            }
        }
    }
}

void device_info(uint32_t id) {
    ParamsInfo p{.unique_id = id};
    if (ioctl(DRV_IOCTL_DEVICE_INFO, &p, sizeof p) != DRV_OK)
        return;
    std::vector<void*> block((p.size + sizeof(void*) - 1) / sizeof(void*) + 1);
    p.buffer = block.data();
    if (ioctl(DRV_IOCTL_DEVICE_INFO, &p, sizeof p) != DRV_OK)
        std::abort(); // the size it asked for must do
    const AltSettingRec* alt = static_cast<const DeviceInfo*>(p.buffer)->iface->alt;
    // Every pipe record the descriptor counts lies inside the block.
    const auto* end = reinterpret_cast<const uint8_t*>(block.data()) + p.size;
    if (reinterpret_cast<const uint8_t*>(alt->pipes + alt->descriptor[4]) > end)
        std::abort();
}

void transfer_in(uint32_t id, uint8_t ep, uint16_t size) {
    std::vector<uint8_t> buf(size);
    ParamsTransfer p{.unique_id = id,
                     .pipe = ep,
                     .direction = 1,
                     .buffer = buf.data(),
                     .size = size,
                     .timeout_ms = 1};
    if (ioctl(DRV_IOCTL_TRANSFER, &p, sizeof p) == DRV_OK && p.dwBytesTransferred > size)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A device directory without a bus: the driver's bus thread finds nothing to connect to,
    // and the bus's messages come from here alone.
    static char dir[] = "/tmp/larkspur-fuzz-XXXXXX";
    if (!mkdtemp(dir))
        std::abort();
    std::atexit([] { rmdir(dir); });
    setenv("LARKSPUR_DEVICES", (std::string(dir) + "/none").c_str(), 1);
    g_driver = CreateFileA("\\\\.\\WINDRVR6", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (g_driver == INVALID_HANDLE_VALUE)
        std::abort();
    g_regs[0] = register_all(DRV_EVENT_REPLY_WANTED);
    g_regs[1] = register_all(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in{{data, size}};
    std::vector<uint32_t> heard;
    int transfers = 0;
    while (!in.empty()) {
        uint8_t step = in.byte() % 4;
        if (step == 0) {
            auto msg = in.take(in.u16());
            posix::driver_bus_message(msg.data(), msg.size());
        } else if (step == 1) {
            pull_events(in.byte(), heard);
        } else {
            uint8_t k = in.byte();
            uint8_t ep = step == 3 ? in.byte() : 0;
            uint16_t n = step == 3 ? in.u16() : 0;
            if (heard.empty())
                continue;
            if (step == 2)
                device_info(heard[k % heard.size()]);
            else if (transfers++ < 8)
                transfer_in(heard[k % heard.size()], ep, n);
        }
    }
    // The next input starts on an empty bus.
    posix::driver_bus_detach_all();
    pull_events(0, heard);
    return 0;
}
