// The DDR test program that the boot ROM starts: it checks its own image and the DDR
// controller, reports on its console and answers keys.
#include "boardsim/board.h"
#include "boardsim/log.h"
#include "boardsim/script.h"

#include <cstdarg>
#include <cstdio>
#include <set>

namespace board {
namespace {

void say(Board& b, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void say(Board& b, const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    b.out += buf;
}

const char* console_name(Console c) {
    return c == Console::Uart  ? "uart"
           : c == Console::Usb ? "usb"
           : c == Console::Hid ? "hid"
                               : "none";
}

// The last line of a pass: PASS only when the controller holds exactly what the sample
// script sets.
void ddr_check(Board& b) {
    const Chip& c = *b.chip;
    auto want = final_values(parse_script(example_script(c.name)), c.ddr_ctl.first, c.ddr_ctl.last);
    std::set<uint32_t> addrs;
    for (const auto& [a, v] : want)
        addrs.insert(a);
    for (auto it = b.mem.regs.lower_bound(c.ddr_ctl.first);
         it != b.mem.regs.end() && it->first <= c.ddr_ctl.last; ++it)
        addrs.insert(it->first);
    for (uint32_t a : addrs) {
        auto w = want.find(a);
        auto h = b.mem.regs.find(a);
        if (w == want.end()) {
            say(b,
                "DDR test: FAIL, register 0x%08x is 0x%08x, the sample script does not set it\r\n",
                a, h->second);
            return;
        }
        if (h == b.mem.regs.end()) {
            say(b, "DDR test: FAIL, register 0x%08x was never written, expected 0x%08x\r\n", a,
                w->second);
            return;
        }
        if (h->second != w->second) {
            say(b, "DDR test: FAIL, register 0x%08x is 0x%08x, expected 0x%08x\r\n", a, h->second,
                w->second);
            return;
        }
    }
    if (want.empty()) {
        say(b, "DDR test: FAIL, the sample script sets no DDR controller register\r\n");
        return;
    }
    say(b, "DDR controller: %zu registers as the sample script sets them\r\n", want.size());
    say(b, "Memory test 0x%08x..0x%08x: OK\r\n", c.ddr_base, c.ddr_base + 0x0FFFFFFF);
    say(b, "DDR test: PASS\r\n");
}

void run_pass(Board& b) {
    ++b.passes;
    log_line("PASS %u", b.passes);
    say(b, "Larkspur DDR test, %s board, pass %u\r\n", b.chip->name, b.passes);
    say(b, "Image: %zu bytes at 0x%08x\r\n", b.image.size(), b.chip->load);
    say(b, "Console: %s\r\n", console_name(b.console));
    if (b.check.intact)
        say(b, "Image check: OK\r\n");
    else
        say(b, "Image check: FAILED (%s)\r\n", b.check.why.c_str());
    if (b.chip->scratch_addr && memory_read(b.mem, b.chip->scratch_addr) == kPlaceholderValue)
        say(b, "DCD: the image's placeholder entries ran, no DCD was placed\r\n");
    if (b.opt->zero_in_output) {
        // Reads "ZERO BYTE SKIPPED" where the host skips the zero, "ZERO BYTE" where it
        // stops there.
        say(b, "ZERO BYTE");
        b.out += '\0';
        say(b, " SKIPPED\r\n");
    }
    ddr_check(b);
    if (b.opt->stream_bytes) {
        say(b, "STREAM BEGIN %llu bytes\r\n", static_cast<unsigned long long>(b.opt->stream_bytes));
        b.stream_left = b.opt->stream_bytes;
        b.stream_pos = 0;
        b.stream_sum = 0;
    }
}

} // namespace

char stream_byte(uint64_t i, uint64_t n) {
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    uint64_t col = i % 66;
    if (col == 64 || (n >= 2 && i == n - 2))
        return '\r';
    if (col == 65 || (n >= 2 && i == n - 1))
        return '\n';
    return alphabet[(i / 66 + col) % 62];
}

uint32_t stream_sum_add(uint32_t sum, char c) {
    return sum * 31 + uint8_t(c);
}

void program_link_up(Board& b) {
    if (b.talking)
        return;
    b.talking = true;
    log_line("the test program's console is up");
    run_pass(b);
}

void program_key(Board& b, uint8_t key) {
    if (!b.talking)
        return;
    log_line("KEY 0x%02x", key);
    if (b.stream_left) {
        // A key's answer would land inside the pattern: it waits for the end line.
        b.keys_waiting.push_back(key);
        return;
    }
    say(b, "Key 0x%02x\r\n", key);
    if (key == 'r')
        run_pass(b);
}

void program_refill(Board& b, size_t want) {
    while (b.stream_left && b.out.size() < want) {
        size_t n = std::min<uint64_t>(b.stream_left, std::min<size_t>(want - b.out.size(), 4096));
        std::string chunk(n, '\0');
        for (size_t i = 0; i < n; ++i) {
            chunk[i] = stream_byte(b.stream_pos + i, b.opt->stream_bytes);
            b.stream_sum = stream_sum_add(b.stream_sum, chunk[i]);
        }
        b.out += chunk;
        b.stream_pos += n;
        b.stream_left -= n;
        if (!b.stream_left) {
            say(b, "STREAM END %llu 0x%08x\r\n", static_cast<unsigned long long>(b.stream_pos),
                b.stream_sum);
            while (!b.keys_waiting.empty() && !b.stream_left) {
                uint8_t k = b.keys_waiting.front();
                b.keys_waiting.pop_front();
                say(b, "Key 0x%02x\r\n", k);
                if (k == 'r')
                    run_pass(b);
            }
        }
    }
}

} // namespace board
