// The board's inside, apart from how it is wired: the boot ROM's serial download mode and
// the DDR test program that it starts. The transports (serial.cpp, usb.cpp, hid.cpp) feed
// it what arrives and carry away what it leaves in `answers` and `out`.
#pragma once

#include "boardsim/chip.h"
#include "boardsim/image.h"
#include "boardsim/options.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

namespace board {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// From the start until the boot ROM's USB or HID device leaves. A real board takes a
// moment too; without it the host could find the device gone before it has read the
// ROM's last word, which went out just before.
constexpr std::chrono::milliseconds kDepartureDelay{250};

enum class Phase {
    Rom,     // taking command frames
    Image,   // taking image bytes
    Started, // the test program runs (or would, when the image holds none)
    Unplugged,
};

enum class Console { None, Uart, Usb, Hid };

struct Board {
    const Options* opt = nullptr;
    const Chip* chip = nullptr;
    size_t index = 0;  // among the process's boards
    std::string where; // comN or the USB port, once its device is there
    Memory mem;
    Phase phase = Phase::Rom;

    Bytes frame;            // a command frame in the making (byte-stream transports)
    uint32_t image_len = 0; // announced by the download frame
    Bytes image;            // as received
    bool have_image = false;
    uint64_t register_writes = 0;

    // Output of the boot ROM in order: acknowledgement words and read-back data, each
    // element one unit for the transport's framing.
    std::deque<Bytes> answers;
    bool start = false;  // the ROM has just started the test program; the transport acts
    bool unplug = false; // --unplug-after-bytes has struck; the transport vanishes
    Clock::time_point started_at{};

    // The test program.
    Console console = Console::None;
    ImageCheck check;
    bool talking = false; // its console link is up
    std::string out;      // text waiting for the console link
    unsigned passes = 0;
    uint64_t stream_left = 0;
    uint64_t stream_pos = 0;
    uint32_t stream_sum = 0;
    std::deque<uint8_t> keys_waiting; // keys that came during a stream
};

void board_init(Board& b, const Options& opt, const Chip& chip);

// egret/heron: bytes from the serial line or the bulk OUT pipe while the ROM listens.
// Returns how many it took: it stops early when the program starts or the board unplugs.
size_t rom_stream(Board& b, std::span<const uint8_t> bytes);
// falcon: one whole output report, byte 0 the report ID.
void rom_report(Board& b, std::span<const uint8_t> report);

// The test program's console link is up (serial: at once; USB: handshake; HID: greeting).
void program_link_up(Board& b);
void program_key(Board& b, uint8_t key);
// Tops `out` up to at least `want` bytes while a stream is running.
void program_refill(Board& b, size_t want);
// The test program has something to say, now or from its stream.
inline bool program_has_output(const Board& b) {
    return !b.out.empty() || b.stream_left > 0;
}

// The pattern that --stream sends, n bytes long: byte i of it. Lines of 64 characters end
// with CR LF, and so does the last one, however short.
char stream_byte(uint64_t i, uint64_t n);
// The stream's checksum: sum = sum * 31 + byte, modulo 2^32, from 0.
uint32_t stream_sum_add(uint32_t sum, char c);

} // namespace board
