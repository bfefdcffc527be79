// The virtual board's decoding of what the host sends: the boot ROM's command frames (a
// byte stream for egret and heron, output reports for the falcon chips), the image
// download and its check, and after the start the test program's keys. The input is two
// bytes choosing the chip and its fault options, then a list of steps:
//   0, u16 length, bytes   bytes from the serial line or bulk OUT pipe (egret, heron), or
//                          one output report (falcon)
//   1, u16 offset, byte    the chip's own test image of 1680 bytes, that byte flipped in
//                          it, sent as a download's data
//   2                      the test program's console comes up
//   3, byte                a key for the test program
#include "boardsim/board.h"
#include "boardsim/log.h"
#include "tests/fuzz/fuzz_util.h"

#include <vector>

using namespace board;

namespace {

// egret/heron take a byte stream; falcon takes the bytes in ID-2 reports of up to 64.
void send(Board& b, std::span<const uint8_t> bytes) {
    if (b.chip->gen != Gen::Falcon) {
        if (rom_stream(b, bytes) > bytes.size())
            std::abort();
        return;
    }
    for (size_t off = 0; off < bytes.size(); off += 64) {
        std::vector<uint8_t> report = {2};
        auto piece = bytes.subspan(off, std::min<size_t>(64, bytes.size() - off));
        report.insert(report.end(), piece.begin(), piece.end());
        rom_report(b, report);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!log_open("/dev/null"))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in{{data, size}};
    auto chips = all_chips();
    const Chip& chip = chips[in.byte() % chips.size()];
    const uint8_t faults = in.byte();
    Options opt;
    opt.target = chip.name;
    opt.transport = chip.gen == Gen::Falcon ? Transport::Hid : Transport::Uart;
    opt.gate_product = faults & 1;
    if (faults & 2)
        opt.wrong_ack.insert(Exchange::Gate);
    if (faults & 4)
        opt.silent.insert(Exchange::ImageGate);
    opt.reject_write = faults & 8 ? 2 : 0;
    if (faults & 16)
        opt.unplug_after_bytes = 100;
    opt.zero_in_output = faults & 32;
    opt.stream_bytes = faults & 64 ? 300 : 0;

    Board b;
    board_init(b, opt, chip);
    static std::vector<std::vector<uint8_t>> images;
    if (images.empty())
        for (const Chip& c : chips)
            images.push_back(make_image(c, kMinImageSize));
    while (!in.empty()) {
        switch (in.byte() % 4) {
        case 0: {
            auto bytes = in.take(in.u16());
            if (chip.gen != Gen::Falcon)
                send(b, bytes);
            else if (!bytes.empty())
                rom_report(b, bytes);
            break;
        }
        case 1: {
            std::vector<uint8_t> img = images[static_cast<size_t>(&chip - chips.data())];
            uint16_t at = in.u16();
            img[at % img.size()] ^= in.byte();
            send(b, img);
            break;
        }
        case 2:
            if (b.phase == Phase::Started)
                program_link_up(b);
            break;
        default:
            program_key(b, in.byte());
            break;
        }
        if (b.image.size() > b.image_len && b.phase == Phase::Image)
            std::abort();
        // What a transport does with the ROM's output: takes it away.
        b.answers.clear();
        program_refill(b, 4096);
        b.out.clear();
    }
    return 0;
}
