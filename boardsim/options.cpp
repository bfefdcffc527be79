#include "boardsim/options.h"

#include "boardsim/chip.h"
#include "boardsim/image.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace board {
namespace {

constexpr std::array<std::pair<Exchange, const char*>, 8> kExchanges = {{
    {Exchange::Gate, "gate"},
    {Exchange::Gate2, "gate2"},
    {Exchange::WriteGate, "write-gate"},
    {Exchange::WriteCmd, "write-cmd"},
    {Exchange::ImageGate, "image-gate"},
    {Exchange::ImageCmd, "image-cmd"},
    {Exchange::Jump, "jump"},
    {Exchange::ReadGate, "read-gate"},
}};

bool parse_number(const std::string& s, uint64_t max, uint64_t& out) {
    if (s.empty() || s.size() > 20)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    errno = 0;
    unsigned long long v = strtoull(s.c_str(), nullptr, 10);
    if (errno != 0 || v > max)
        return false;
    out = v;
    return true;
}

} // namespace

const char* exchange_name(Exchange e) {
    for (const auto& [x, name] : kExchanges)
        if (x == e)
            return name;
    return "?";
}

const char* transport_name(Transport t) {
    return t == Transport::Uart ? "uart" : t == Transport::Usb ? "usb" : "hid";
}

std::string usage_text() {
    return "Usage: larkspur-board --target <egret|heron|kestrel|merlin|hobby> "
           "[--transport uart|usb|hid] [--com N] [options] [-- COMMAND...]\n"
           "       larkspur-board --write-images DIR [--image-size N]\n"
           "\n"
           "A virtual board for larkspur: its boot ROM in serial download mode, then the DDR\n"
           "test program. A serial board is a pseudo-terminal linked as comN in the device\n"
           "directory ($LARKSPUR_DEVICES, else $XDG_RUNTIME_DIR/larkspur-devices, else\n"
           "/tmp/larkspur-devices-<uid>; it must be your own, no symbolic link, and writable\n"
           "by you alone; one made here is 0700). A HID or USB board is a device of the\n"
           "kernel's, emulated in the board's own umockdev test bed: larkspur reaches it when it\n"
           "runs with the settings the board prints on standard output, or as COMMAND, which\n"
           "the board runs with them.\n"
           "It runs until SIGINT or SIGTERM, or until COMMAND ends (then with its exit value),\n"
           "and then removes its devices.\n"
           "One start serves one larkspur run, as a real board must be reset into serial\n"
           "download mode for each run: start it again for the next run.\n"
           "\n"
           "  --target T              egret, heron, kestrel, merlin or hobby\n"
           "  --transport X           uart (egret, heron; their default), usb (egret, heron),\n"
           "                          hid (kestrel, merlin, hobby; their default)\n"
           "  --com N                 serial port number: entry comN (default: the lowest\n"
           "                          N >= 1 without an entry)\n"
           "  --devices DIR           device directory (overrides the environment)\n"
           "  --log FILE              protocol log (default: standard error)\n"
           "  --log-times             begin each log line with the monotonic clock's time in\n"
           "                          seconds (CLOCK_MONOTONIC, microseconds)\n"
           "  --save-image FILE       write the image bytes as received\n"
           "  --gate product          answer GATE type PRODUCT instead of DEVELOP\n"
           "  --wrong-ack EXCHANGE    answer that exchange with a wrong word (the bitwise\n"
           "                          complement of the right one); may be repeated\n"
           "  --silent EXCHANGE       leave that exchange's word out; may be repeated\n"
           "                          EXCHANGE: gate, gate2 (falcon's second word),\n"
           "                          write-gate, write-cmd, image-gate, image-cmd (falcon's\n"
           "                          final 0x88888888), jump, read-gate (memory read)\n"
           "  --reject-write N        refuse the N-th register write (1-based) with a wrong\n"
           "                          CMD ack; the register is not written\n"
           "  --no-handshake          the test program never answers the USB handshake word\n"
           "                          (nor takes the HID greeting)\n"
           "  --reappear-after MS     time the board is gone between the start and the test\n"
           "                          program's device (USB, HID; default 300)\n"
           "  --never-reappear        the test program's device never appears\n"
           "  --unplug-after-bytes N  vanish once N image bytes have arrived\n"
           "  --unplug-during-relay MS  vanish MS after the test program started\n"
           "  --baud N                emulated serial line rate, both directions (default: as\n"
           "                          fast as the pty)\n"
           "  --hid-interval-us N     at most one HID report per N microseconds each way\n"
           "                          (default 0)\n"
           "  --hid-declared-payload N  the report descriptor declares N payload bytes each\n"
           "                          way (0..64, default 64); the boot ROM still speaks in\n"
           "                          64-byte reports\n"
           "  --usb-rate BYTES_PER_S  answer USB OUT data at that throughput (default\n"
           "                          unlimited)\n"
           "  --stream BYTES          after the DDR test log, stream BYTES of pattern text at\n"
           "                          the line rate, then a line with its length and checksum\n"
           "  --zero-in-output        put one zero byte in the middle of an output line\n"
           "  --beside T              another falcon board (kestrel, merlin, hobby) is there\n"
           "                          too, its boot ROM's device present but taking nothing;\n"
           "                          may be repeated\n"
           "  --write-images DIR      write larkspur-<target>.bin for all five targets, exit\n"
           "  --image-size N          size of the written images (default 8192, 1680..106496)\n"
           "  --help                  this text\n";
}

std::string parse_options(int argc, const char* const* argv, Options& o) {
    std::string transport;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            o.command.assign(argv + i + 1, argv + argc);
            if (o.command.empty())
                return "-- needs a command";
            break;
        }
        std::string value;
        bool has_value = false;
        if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        auto flag = [&]() {
            if (has_value)
                throw std::string(arg + " takes no value");
        };
        auto need = [&]() -> std::string {
            if (has_value)
                return value;
            if (i + 1 >= argc)
                throw std::string(arg + " needs a value");
            return argv[++i];
        };
        auto number = [&](uint64_t max) -> uint64_t {
            std::string v = need();
            uint64_t n = 0;
            if (!parse_number(v, max, n))
                throw std::string("bad number for " + arg + ": " + v);
            return n;
        };
        auto exchange = [&]() -> Exchange {
            std::string v = need();
            for (const auto& [x, name] : kExchanges)
                if (v == name)
                    return x;
            throw std::string("unknown exchange for " + arg + ": " + v);
        };
        try {
            if (arg == "--help" || arg == "-h") {
                flag();
                o.help = true;
            } else if (arg == "--target") {
                o.target = need();
            } else if (arg == "--transport") {
                transport = need();
            } else if (arg == "--com") {
                o.com = int(number(1000000));
                if (o.com < 1)
                    throw std::string("--com needs a number from 1");
            } else if (arg == "--devices") {
                o.devices = need();
            } else if (arg == "--log") {
                o.log_file = need();
            } else if (arg == "--log-times") {
                flag();
                o.log_times = true;
            } else if (arg == "--save-image") {
                o.save_image = need();
            } else if (arg == "--gate") {
                std::string v = need();
                if (v != "product")
                    throw std::string("--gate takes only: product");
                o.gate_product = true;
            } else if (arg == "--wrong-ack") {
                o.wrong_ack.insert(exchange());
            } else if (arg == "--silent") {
                o.silent.insert(exchange());
            } else if (arg == "--reject-write") {
                o.reject_write = number(UINT32_MAX);
                if (o.reject_write == 0)
                    throw std::string("--reject-write counts from 1");
            } else if (arg == "--no-handshake") {
                flag();
                o.no_handshake = true;
            } else if (arg == "--reappear-after") {
                o.reappear_after_ms = uint32_t(number(3600000));
            } else if (arg == "--never-reappear") {
                flag();
                o.never_reappear = true;
            } else if (arg == "--unplug-after-bytes") {
                o.unplug_after_bytes = number(UINT32_MAX);
                if (*o.unplug_after_bytes == 0)
                    throw std::string("--unplug-after-bytes needs at least 1");
            } else if (arg == "--unplug-during-relay") {
                o.unplug_during_relay_ms = uint32_t(number(3600000));
            } else if (arg == "--baud") {
                o.baud = uint32_t(number(100000000));
                if (o.baud < 10)
                    throw std::string("--baud needs at least 10");
            } else if (arg == "--hid-interval-us") {
                o.hid_interval_us = uint32_t(number(10000000));
            } else if (arg == "--hid-declared-payload") {
                o.hid_declared_payload = uint32_t(number(64));
            } else if (arg == "--usb-rate") {
                o.usb_rate = number(UINT32_MAX);
            } else if (arg == "--stream") {
                o.stream_bytes = number(uint64_t(1) << 40);
            } else if (arg == "--zero-in-output") {
                flag();
                o.zero_in_output = true;
            } else if (arg == "--beside") {
                o.beside.push_back(need());
            } else if (arg == "--write-images") {
                o.write_images_dir = need();
            } else if (arg == "--image-size") {
                o.image_size = uint32_t(number(UINT32_MAX));
                if (o.image_size < kMinImageSize || o.image_size > kMaxImageSize)
                    throw std::string("--image-size must lie in 1680..106496");
            } else {
                throw std::string("unknown option: " + arg);
            }
        } catch (const std::string& why) {
            return why;
        }
    }
    if (o.help)
        return {};
    if (!o.write_images_dir.empty()) {
        if (o.image_size == 0)
            o.image_size = kDefaultImageSize;
        return {};
    }
    if (o.image_size != 0)
        return "--image-size goes with --write-images";
    if (o.target.empty())
        return "--target is required";
    const Chip* chip = find_chip(o.target);
    if (!chip)
        return "unknown target: " + o.target;
    bool falcon = chip->gen == Gen::Falcon;
    if (transport.empty())
        o.transport = falcon ? Transport::Hid : Transport::Uart;
    else if (transport == "uart" && !falcon)
        o.transport = Transport::Uart;
    else if (transport == "usb" && !falcon)
        o.transport = Transport::Usb;
    else if (transport == "hid" && falcon)
        o.transport = Transport::Hid;
    else
        return "transport " + transport + " is not one of " + o.target + "'s";
    for (const std::string& other : o.beside) {
        const Chip* c = find_chip(other);
        if (!c || c->gen != Gen::Falcon || c == chip || o.transport != Transport::Hid)
            return "--beside takes a falcon board other than the target, beside a falcon board";
    }
    return {};
}

} // namespace board
