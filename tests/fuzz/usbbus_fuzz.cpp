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

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
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

uint32_t register_all(uint32_t options) {
    EventRec rec{};
    rec.action = DRV_ACTION_ATTACH | DRV_ACTION_DETACH;
    rec.mark = DRV_REGISTER_MARK;
    rec.options = options;
    rec.one = 1;
    rec.match_count = 0; // every device matches
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
    ParamsInfo p{};
    p.unique_id = id;
    if (ioctl(DRV_IOCTL_DEVICE_INFO, &p, sizeof p) != DRV_OK)
        return;
    std::vector<void*> block((p.size + sizeof(void*) - 1) / sizeof(void*) + 1);
    p.buffer = block.data();
    if (ioctl(DRV_IOCTL_DEVICE_INFO, &p, sizeof p) != DRV_OK)
        std::abort(); // the size it asked for must do
    const auto* info = static_cast<const DeviceInfo*>(p.buffer);
    const AltSettingRec* alt = info->iface->alt;
    // Every pipe record the descriptor counts lies inside the block.
    const auto* end = reinterpret_cast<const uint8_t*>(block.data()) + p.size;
    if (reinterpret_cast<const uint8_t*>(alt->pipes + alt->descriptor[4]) > end)
        std::abort();
}

void transfer_in(uint32_t id, uint8_t ep, uint16_t size) {
    std::vector<uint8_t> buf(size);
    ParamsTransfer p{};
    p.unique_id = id;
    p.pipe = ep;
    p.direction = 1;
    p.buffer = buf.data();
    p.size = size;
    p.timeout_ms = 1;
    uint32_t st = ioctl(DRV_IOCTL_TRANSFER, &p, sizeof p);
    if (st == DRV_OK && p.dwBytesTransferred > size)
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
    fuzz::Reader in({data, size});
    std::vector<uint32_t> heard;
    int transfers = 0;
    while (!in.empty()) {
        switch (in.byte() % 4) {
        case 0: {
            auto msg = in.take(in.u16());
            posix::driver_bus_message(msg.data(), msg.size());
            break;
        }
        case 1:
            pull_events(in.byte(), heard);
            break;
        case 2: {
            uint8_t k = in.byte();
            if (!heard.empty())
                device_info(heard[k % heard.size()]);
            break;
        }
        default: {
            uint8_t k = in.byte();
            uint8_t ep = in.byte();
            uint16_t n = in.u16();
            if (!heard.empty() && transfers++ < 8)
                transfer_in(heard[k % heard.size()], ep, n);
            break;
        }
        }
    }
    // The next input starts on an empty bus.
    posix::driver_bus_detach_all();
    pull_events(0, heard);
    return 0;
}
