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

#include <algorithm>
#include <array>
#include <vector>

namespace {

struct Slot {
    bool busy = false;
    OVERLAPPED ov{};
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
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
    while (!in.empty()) {
        const uint8_t step = in.byte() % 5;
        if (step == 0) {
            auto msg = in.take(in.u16());
            posix::hid_deliver(h, msg.data(), msg.size());
        } else if (step == 1 || step == 2) {
            const size_t n = step == 1 ? in_len + (in.byte() & 1) : out_len;
            auto s = std::ranges::find(slots, false, &Slot::busy);
            if (s == slots.end())
                continue;
            s->ov = {.hEvent = s->event};
            s->buf.assign(n, 0);
            if (step == 2)
                std::ranges::copy(in.take(out_len), s->buf.begin());
            const bool done = step == 1 ? ReadFile(h, s->buf.data(), DWORD(n), nullptr, &s->ov)
                                        : WriteFile(h, s->buf.data(), DWORD(n), nullptr, &s->ov);
            if (done && step == 1 && s->ov.InternalHigh != in_len)
                std::abort();
            s->busy = !done && GetLastError() == ERROR_IO_PENDING;
        } else if (step == 3) {
            CancelIo(h);
        } else if (Slot& s = slots[in.byte() % slots.size()]; s.busy) {
            DWORD n = 0;
            s.busy =
                !GetOverlappedResult(h, &s.ov, &n, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE;
            if (n > s.buf.size())
                std::abort();
        }
    }
    // Closing ends every request still in flight; only then may their records go.
    CloseHandle(h);
    for (Slot& s : slots) {
        if (s.busy && s.ov.Internal == ERROR_IO_PENDING)
            std::abort();
        CloseHandle(s.event);
    }
    return 0;
}
