// The HID stand-in's handling of what a virtual HID device sends: its hello, then input
// reports and acknowledgements, with the host's overlapped reads, writes and cancels in
// between. The input is the hello (a length byte and its bytes), then a list of steps:
//   0, u16 length, bytes   one datagram from the device
//   1, byte                overlapped read (the byte: one more byte of room than needed)
//   2                      overlapped write of one output report
//   3                      CancelIo
//   4, byte                GetOverlappedResult, without waiting, of that request
#include "platform/posix/hid.h"
#include "platform/winapi.h"
#include "tests/fuzz/fuzz_util.h"

#include <array>
#include <cstring>
#include <vector>

namespace {

struct Slot {
    bool busy = false;
    OVERLAPPED ov{};
    HANDLE event = INVALID_HANDLE_VALUE;
    std::vector<BYTE> buf; // exactly what the request was given
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in{{data, size}};
    auto hello = in.take(in.byte());
    HANDLE h = posix::hid_create_unconnected(hello.data(), hello.size(), FILE_FLAG_OVERLAPPED);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    // Report lengths as the device announced them, the report ID byte included.
    const uint16_t in_len = static_cast<uint16_t>(hello[5] | hello[6] << 8);
    const uint16_t out_len = static_cast<uint16_t>(hello[7] | hello[8] << 8);

    std::array<Slot, 8> slots;
    auto free_slot = [&]() -> Slot* {
        for (Slot& s : slots)
            if (!s.busy)
                return &s;
        return nullptr;
    };
    auto start = [&](Slot& s, size_t n) {
        if (s.event == INVALID_HANDLE_VALUE)
            s.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s.ov = OVERLAPPED{};
        s.ov.hEvent = s.event;
        s.buf.assign(n, 0);
        s.busy = true;
    };

    while (!in.empty()) {
        switch (in.byte() % 5) {
        case 0: {
            auto msg = in.take(in.u16());
            posix::hid_deliver(h, msg.data(), msg.size());
            break;
        }
        case 1: {
            size_t extra = in.byte() & 1;
            if (Slot* s = free_slot()) {
                start(*s, in_len + extra);
                if (ReadFile(h, s->buf.data(), static_cast<DWORD>(s->buf.size()), nullptr,
                             &s->ov)) {
                    if (s->ov.InternalHigh != in_len)
                        std::abort();
                    s->busy = false;
                } else if (GetLastError() != ERROR_IO_PENDING) {
                    s->busy = false;
                }
            }
            break;
        }
        case 2: {
            if (Slot* s = free_slot()) {
                start(*s, out_len);
                auto payload = in.take(out_len);
                if (!payload.empty())
                    std::memcpy(s->buf.data(), payload.data(), payload.size());
                if (WriteFile(h, s->buf.data(), static_cast<DWORD>(s->buf.size()), nullptr,
                              &s->ov) ||
                    GetLastError() != ERROR_IO_PENDING)
                    s->busy = false;
            }
            break;
        }
        case 3:
            CancelIo(h);
            break;
        default: {
            Slot& s = slots[in.byte() % slots.size()];
            if (!s.busy)
                break;
            DWORD n = 0;
            if (GetOverlappedResult(h, &s.ov, &n, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE) {
                if (n > s.buf.size())
                    std::abort();
                s.busy = false;
            }
            break;
        }
        }
    }
    // Closing ends every request still in flight; only then may their records go.
    CloseHandle(h);
    for (Slot& s : slots) {
        if (s.busy && s.ov.Internal == ERROR_IO_PENDING)
            std::abort();
        if (s.event != INVALID_HANDLE_VALUE)
            CloseHandle(s.event);
    }
    return 0;
}
