// The boot ROM in serial download mode, as the board sees it: frames in, words out.
#include "boardsim/board.h"
#include "boardsim/log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace board {
namespace {

constexpr uint32_t kGateDevelop = 0x56787856;
constexpr uint32_t kGateProduct = 0x12343412;
constexpr uint32_t kCmdAck = 0x128A8A12;
constexpr uint32_t kDone = 0x88888888;
constexpr uint32_t kGateTrailer = 0xF0F0F0F0; // falcon's second word after the GATE ack
constexpr uint32_t kMaxRead = 65536;

struct Frame {
    uint8_t code;
    uint32_t addr;
    uint8_t width;
    uint32_t length;
    uint32_t value;
    uint8_t tail;
};

enum Field : unsigned { kAddr = 1, kWidth = 2, kLength = 4, kValue = 8, kTail = 16 };

uint32_t gate_word(const Board& b) {
    return b.opt->gate_product ? kGateProduct : kGateDevelop;
}

void send_word(Board& b, uint32_t w) {
    log_line("ACK 0x%08x", w);
    Bytes u(4);
    put_le32(u.data(), w);
    b.answers.push_back(std::move(u));
}

// The word of one named exchange, as the fault options want it.
void answer(Board& b, Exchange ex, uint32_t right) {
    if (b.opt->silent.count(ex)) {
        log_line("NOACK %s (--silent)", exchange_name(ex));
        return;
    }
    if (b.opt->wrong_ack.count(ex)) {
        log_line("WRONG %s: 0x%08x instead of 0x%08x (--wrong-ack)", exchange_name(ex), ~right,
                 right);
        send_word(b, ~right);
        return;
    }
    send_word(b, right);
}

// Fields the command must leave zero; a frame that does not is refused.
bool zero_fields(const Frame& f, unsigned fields) {
    struct {
        Field field;
        const char* name;
        uint32_t value;
    } const all[] = {{kAddr, "address", f.addr},
                     {kWidth, "width", f.width},
                     {kLength, "length", f.length},
                     {kValue, "value", f.value},
                     {kTail, "tail", f.tail}};
    for (const auto& a : all) {
        if ((fields & a.field) && a.value != 0) {
            log_line("REJECT frame 0x%02x%02x: %s 0x%x must be zero", f.code, f.code, a.name,
                     a.value);
            return false;
        }
    }
    return true;
}

void save_image(const Board& b) {
    if (b.opt->save_image.empty())
        return;
    FILE* f = fopen(b.opt->save_image.c_str(), "wb");
    bool ok = f && fwrite(b.image.data(), 1, b.image.size(), f) == b.image.size();
    if (f)
        ok = fclose(f) == 0 && ok;
    if (ok)
        log_line("SAVED %zu bytes to %s", b.image.size(), b.opt->save_image.c_str());
    else
        log_line("cannot save the image to %s: %s", b.opt->save_image.c_str(), strerror(errno));
}

void image_done(Board& b) {
    log_line("IMAGE %zu 0x%08x", b.image.size(), b.chip->load);
    save_image(b);
    memory_load(b.mem, b.chip->load, b.image);
    b.have_image = true;
    b.phase = Phase::Rom;
    if (b.chip->gen == Gen::Falcon) {
        answer(b, Exchange::ImageGate, gate_word(b));
        answer(b, Exchange::ImageCmd, kDone);
    }
}

void unplug(Board& b) {
    log_line("UNPLUG");
    log_line("unplugged after %zu of %u image bytes (--unplug-after-bytes)", b.image.size(),
             b.image_len);
    save_image(b);
    b.phase = Phase::Unplugged;
    b.unplug = true;
}

// Image bytes from the wire; returns how many it took.
size_t take_image(Board& b, std::span<const uint8_t> bytes) {
    size_t n = std::min<size_t>(bytes.size(), b.image_len - b.image.size());
    if (auto limit = b.opt->unplug_after_bytes; limit && *limit > b.image.size())
        n = std::min<size_t>(n, *limit - b.image.size());
    b.image.insert(b.image.end(), bytes.begin(), bytes.begin() + long(n));
    if (b.opt->unplug_after_bytes && b.image.size() >= *b.opt->unplug_after_bytes)
        unplug(b);
    else if (b.image.size() == b.image_len)
        image_done(b);
    return n;
}

void run_dcd(Board& b) {
    const Chip& c = *b.chip;
    for (uint32_t e = 0; e < c.dcd_entries; ++e) {
        const uint8_t* q = b.image.data() + c.dcd_offset + e * c.dcd_entry_size;
        uint32_t addr, value;
        if (c.dcd_entry_size == 8) {
            addr = get_be32(q);
            value = get_be32(q + 4);
        } else {
            uint32_t width = get_le32(q);
            addr = get_le32(q + 4);
            value = get_le32(q + 8);
            if (width != 4) {
                log_line("REJECT DCD entry %u: width %u (only 4 is done), skipped", e, width);
                continue;
            }
        }
        if (!memory_write(b.mem, addr, value)) {
            log_line("REJECT DCD entry %u: the chip cannot write 0x%08x, skipped", e, addr);
            continue;
        }
        log_line("DCD 0x%08x 0x%08x", addr, value);
    }
}

void start_program(Board& b) {
    if (b.chip->gen == Gen::Older)
        run_dcd(b);
    log_line("JUMP 0x%08x", b.chip->load);
    b.phase = Phase::Started;
    b.start = true;
    b.started_at = Clock::now();
    b.check = check_image(*b.chip, b.image);
    if (!b.check.runs) {
        b.console = Console::None;
        log_line("CONSOLE none");
        log_line("REJECT the image holds no test program for %s (%s): nothing runs", b.chip->name,
                 b.check.why.c_str());
        return;
    }
    if (b.chip->gen == Gen::Falcon) {
        b.console = Console::Hid;
        log_line("CONSOLE hid");
        return;
    }
    // As the real test program does: the USB valid flag says where its console is.
    uint32_t flag = memory_read(b.mem, b.chip->flag_addr);
    b.console = flag == kUsbValidFlag ? Console::Usb : Console::Uart;
    log_line("USB valid flag at 0x%08x: 0x%08x", b.chip->flag_addr, flag);
    log_line("CONSOLE %s", b.console == Console::Usb ? "usb" : "uart");
    if (b.console == Console::Usb && b.opt->transport == Transport::Uart)
        log_line("the image carries the USB valid flag: the test program talks on USB, which "
                 "this serial board does not have, so nothing will be heard");
    if (b.console == Console::Uart && b.opt->transport == Transport::Usb)
        log_line("the image lacks the USB valid flag: the test program talks on the serial "
                 "port, which this USB board does not have, so nothing will be heard");
}

void do_read(Board& b, const Frame& f) {
    answer(b, Exchange::ReadGate, gate_word(b));
    Bytes data(f.length);
    for (uint32_t i = 0; i < f.length; ++i)
        data[i] = memory_read_byte(b.mem, f.addr + i);
    log_line("READ 0x%08x %u", f.addr, f.length);
    b.answers.push_back(std::move(data));
}

void do_write(Board& b, const Frame& f) {
    ++b.register_writes;
    answer(b, Exchange::WriteGate, gate_word(b));
    if (b.register_writes == b.opt->reject_write) {
        log_line("REJECT register write %llu to 0x%08x (--reject-write)",
                 static_cast<unsigned long long>(b.register_writes), f.addr);
        send_word(b, ~kCmdAck);
        return;
    }
    if (!memory_write(b.mem, f.addr, f.value)) {
        log_line("REJECT register write to 0x%08x: the chip cannot write there", f.addr);
        send_word(b, ~kCmdAck);
        return;
    }
    log_line("REG 0x%08x 0x%08x", f.addr, f.value);
    answer(b, Exchange::WriteCmd, kCmdAck);
}

void do_download(Board& b, const Frame& f) {
    const Chip& c = *b.chip;
    if (f.addr != c.load) {
        log_line("REJECT image download to 0x%08x: %s loads at 0x%08x", f.addr, c.name, c.load);
        return;
    }
    uint32_t least = c.gen == Gen::Older ? c.dcd_end() : 1;
    if (f.length < least || f.length > c.capacity()) {
        log_line("REJECT image download of %u bytes: %s takes %u to %u bytes", f.length, c.name,
                 least, c.capacity());
        return;
    }
    log_line("image download: %u bytes to 0x%08x, tail 0x%02x", f.length, f.addr, f.tail);
    b.image.clear();
    b.image_len = f.length;
    b.have_image = false;
    if (c.gen == Gen::Older)
        answer(b, Exchange::ImageGate, gate_word(b));
    b.phase = Phase::Image;
}

void rom_frame(Board& b, const uint8_t* p) {
    log_hex("FRAME", p, 16, false);
    if (p[0] != p[1]) {
        log_line("REJECT frame code bytes differ: 0x%02x 0x%02x", p[0], p[1]);
        return;
    }
    Frame f{p[0], get_be32(p + 2), p[6], get_be32(p + 7), get_be32(p + 11), p[15]};
    bool falcon = b.chip->gen == Gen::Falcon;
    switch (f.code) {
    case 0x01:
        if (f.width != 0x20) {
            log_line("REJECT memory read: width 0x%02x, not 0x20", f.width);
        } else if (f.length == 0 || f.length > kMaxRead) {
            log_line("REJECT memory read of %u bytes: 1 to %u are read", f.length, kMaxRead);
        } else if (zero_fields(f, kValue | kTail)) {
            do_read(b, f);
        }
        return;
    case 0x02:
        if (f.width != 0x20)
            log_line("REJECT register write: width 0x%02x, not 0x20", f.width);
        else if (zero_fields(f, kLength | kTail))
            do_write(b, f);
        return;
    case 0x03:
        if (falcon)
            break;
        if (zero_fields(f, kAddr | kWidth | kLength | kValue | kTail))
            answer(b, Exchange::Gate, gate_word(b));
        return;
    case 0x04:
        if (zero_fields(f, kWidth | kValue))
            do_download(b, f);
        return;
    case 0x05:
        if (!zero_fields(f, kAddr | kWidth | kLength | kValue | kTail))
            return;
        if (falcon) {
            answer(b, Exchange::Gate, gate_word(b));
            answer(b, Exchange::Gate2, kGateTrailer);
        } else if (!b.have_image) {
            log_line("REJECT execute: no image has been downloaded");
        } else {
            answer(b, Exchange::Jump, kDone);
            start_program(b);
        }
        return;
    case 0x0B:
        if (!falcon)
            break;
        if (f.addr != b.chip->load) {
            log_line("REJECT jump to 0x%08x: the image is at 0x%08x", f.addr, b.chip->load);
        } else if (!zero_fields(f, kWidth | kLength | kValue | kTail)) {
        } else if (!b.have_image) {
            log_line("REJECT jump: no image has been downloaded");
        } else {
            answer(b, Exchange::Jump, gate_word(b));
            start_program(b);
        }
        return;
    default:
        break;
    }
    log_line("REJECT unknown command 0x%02x%02x", f.code, f.code);
}

} // namespace

void board_init(Board& b, const Options& opt, const Chip& chip) {
    b.opt = &opt;
    b.chip = &chip;
    memory_init(b.mem, chip);
}

size_t rom_stream(Board& b, std::span<const uint8_t> bytes) {
    size_t i = 0;
    while (i < bytes.size() && (b.phase == Phase::Rom || b.phase == Phase::Image)) {
        if (b.phase == Phase::Image) {
            i += take_image(b, bytes.subspan(i));
            continue;
        }
        b.frame.push_back(bytes[i++]);
        if (b.frame.size() == 16) {
            Bytes f = std::move(b.frame);
            b.frame.clear();
            rom_frame(b, f.data());
        }
    }
    return i;
}

void rom_report(Board& b, std::span<const uint8_t> report) {
    if (report.size() < 2) {
        log_line("REJECT output report of %zu bytes", report.size());
        return;
    }
    uint8_t id = report[0];
    auto payload = report.subspan(1);
    if (b.phase == Phase::Image) {
        if (id != 2) {
            log_line("REJECT report ID %u during the image download: image data takes ID 2", id);
            return;
        }
        take_image(b, payload); // the last report's padding stays behind
        return;
    }
    if (b.phase != Phase::Rom)
        return;
    if (id == 2) {
        log_line("REJECT image data (report ID 2) without a download");
    } else if (id != 1) {
        log_line("REJECT report ID %u: frames take report ID 1", id);
    } else if (payload.size() < 16) {
        log_line("REJECT report of %zu payload bytes: a frame takes 16", payload.size());
    } else {
        rom_frame(b, payload.data());
    }
}

} // namespace board
