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

using namespace board;

namespace {

// egret/heron take a byte stream; falcon takes the bytes in ID-2 reports of up to 64.
void send(Board& b, std::span<const uint8_t> bytes) {
    if (b.chip->gen != Gen::Falcon && rom_stream(b, bytes) > bytes.size())
        std::abort();
    for (size_t off = 0; b.chip->gen == Gen::Falcon && off < bytes.size(); off += 64) {
        std::vector<uint8_t> report = {2};
        auto piece = bytes.subspan(off, std::min<size_t>(64, bytes.size() - off));
        report.insert(report.end(), piece.begin(), piece.end());
        rom_report(b, report);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LogSink sink;
    [[maybe_unused]] static const bool quiet =
        (log_open(sink, "/dev/null") || (std::abort(), false)) && (log_use(&sink), true);
    fuzz::Reader in{{data, size}};
    auto chips = all_chips();
    const Chip& chip = chips[in.byte() % chips.size()];
    const uint8_t faults = in.byte();
    const Options opt{.target = chip.name,
                      .transport = chip.gen == Gen::Falcon ? Transport::Hid : Transport::Uart,
                      .gate_product = (faults & 1) != 0,
                      .wrong_ack = faults & 2 ? std::set{Exchange::Gate} : std::set<Exchange>{},
                      .silent = faults & 4 ? std::set{Exchange::ImageGate} : std::set<Exchange>{},
                      .reject_write = faults & 8 ? 2u : 0u,
                      .unplug_after_bytes =
                          faults & 16 ? std::optional<uint64_t>(100) : std::nullopt,
                      .stream_bytes = faults & 64 ? 300u : 0u,
                      .zero_in_output = (faults & 32) != 0};

    Board b;
    board_init(b, opt, chip);
    const std::vector<uint8_t> image = make_image(chip, kMinImageSize);
    while (!in.empty()) {
        const uint8_t step = in.byte() % 4;
        if (step == 0) {
            auto bytes = in.take(in.u16());
            if (chip.gen != Gen::Falcon)
                send(b, bytes);
            else if (!bytes.empty())
                rom_report(b, bytes);
        } else if (step == 1) {
            std::vector<uint8_t> img = image;
            const uint16_t at = in.u16();
            img[at % img.size()] ^= in.byte();
            send(b, img);
        } else if (step == 2) {
            if (b.phase == Phase::Started)
                program_link_up(b);
        } else {
            program_key(b, in.byte());
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
