#include "boardsim/options.h"

#include "boardsim/chip.h"
#include "boardsim/image.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
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
           "[--transport uart|usb|hid] [--com N | --port P] [options]\n"
           "                      [--board --target ... [options]]... [-- COMMAND...]\n"
           "       larkspur-board --write-images DIR [--image-size N]\n"
           "\n"
           "Virtual boards for larkspur: each a boot ROM in serial download mode, then the DDR\n"
           "test program. A serial board is a pseudo-terminal linked as comN in the device\n"
           "directory ($LARKSPUR_DEVICES, else $XDG_RUNTIME_DIR/larkspur-devices, else\n"
           "/tmp/larkspur-devices-<uid>; it must be your own, no symbolic link, and writable\n"
           "by you alone; one made here is 0700). A HID or USB board is a device of the\n"
           "kernel's on a USB port of its own, emulated in one umockdev test bed for all the\n"
           "boards: larkspur reaches it when it runs with the settings printed on standard\n"
           "output, or as COMMAND, which runs with them.\n"
           "--board begins the next board's options; each board has its own target, faults,\n"
           "pace and log. Once every board's devices are there, standard output shows the\n"
           "settings (HID or USB boards, no COMMAND), then one line a board:\n"
           "  READY <target> <transport> <comN or USB port>\n"
           "It runs until SIGINT, SIGTERM or SIGHUP, or until COMMAND ends (then with its exit\n"
           "value; the signals go to COMMAND), and then removes its devices. Start-up errors go\n"
           "to standard error.\n"
           "One start serves one larkspur run, as a real board must be reset into serial\n"
           "download mode for each run: start it again for the next run.\n"
           "\n"
           "  --target T              egret, heron, kestrel, merlin or hobby\n"
           "  --transport X           uart (egret, heron; their default), usb (egret, heron),\n"
           "                          hid (kestrel, merlin, hobby; their default)\n"
           "  --com N                 serial port number: entry comN (default: the lowest\n"
           "                          N >= 1 without an entry)\n"
           "  --port P                USB port of a HID or USB board, on bus 1 (1-2, 1-3.1;\n"
           "                          default: the lowest free 1-N)\n"
           "  --devices DIR           device directory (overrides the environment; common)\n"
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

namespace {

// "1-3" or "1-3.2": a port on the board's one bus.
bool valid_port(const std::string& p) {
    if (p.rfind("1-", 0) != 0 || p.size() < 3 || p.size() > 32)
        return false;
    bool digit = false;
    for (size_t i = 2; i < p.size(); ++i) {
        if (p[i] == '.' && digit)
            digit = false;
        else if (p[i] >= '0' && p[i] <= '9')
            digit = true;
        else
            return false;
    }
    return digit;
}

std::string parse_board(int argc, const char* const* argv, Options& o) {
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
            } else if (arg == "--port") {
                o.port = need();
                if (!valid_port(o.port))
                    throw std::string("--port takes a USB port on bus 1, such as 1-2 or 1-3.1");
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
    if (!o.port.empty() && o.transport == Transport::Uart)
        return "--port is for a USB or HID board; a serial board takes --com";
    return {};
}

} // namespace

std::string parse_options(int argc, const char* const* argv, std::vector<Options>& out) {
    out.clear();
    // Each board's words, up to the command.
    std::vector<std::vector<const char*>> parts(1, {argv[0]});
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            parts.back().insert(parts.back().end(), argv + i, argv + argc);
            break;
        }
        if (std::string(argv[i]) == "--board")
            parts.push_back({argv[0]});
        else
            parts.back().push_back(argv[i]);
    }
    std::string devices;
    for (size_t k = 0; k < parts.size(); ++k) {
        Options o;
        if (parts[k].size() == 1 && parts.size() > 1)
            return "--board begins another board's options, and none came";
        if (std::string err = parse_board(int(parts[k].size()), parts[k].data(), o); !err.empty())
            return parts.size() > 1 ? "board " + std::to_string(k + 1) + ": " + err : err;
        if ((o.help || !o.write_images_dir.empty()) && parts.size() > 1)
            return "--help and --write-images stand alone";
        if (!o.devices.empty()) {
            if (!devices.empty() && devices != o.devices)
                return "--devices is common to all boards: give it once";
            devices = o.devices;
        }
        out.push_back(std::move(o));
    }
    std::vector<std::string> ports;
    std::vector<int> coms;
    for (Options& o : out) {
        o.devices = devices;
        o.command = out.back().command;
        if (!o.port.empty()) {
            if (std::find(ports.begin(), ports.end(), o.port) != ports.end())
                return "two boards on port " + o.port;
            ports.push_back(o.port);
        }
        if (o.com) {
            if (std::find(coms.begin(), coms.end(), o.com) != coms.end())
                return "two boards on com" + std::to_string(o.com);
            coms.push_back(o.com);
        }
    }
    // The boards without a port take the lowest free ones, in order; the falcon boards
    // beside them after those.
    int next = 1;
    auto free_port = [&] {
        std::string p;
        do
            p = "1-" + std::to_string(next++);
        while (std::find(ports.begin(), ports.end(), p) != ports.end());
        ports.push_back(p);
        return p;
    };
    for (Options& o : out)
        if (o.port.empty() && o.transport != Transport::Uart)
            o.port = free_port();
    for (Options& o : out)
        for (size_t i = 0; i < o.beside.size(); ++i)
            o.beside_ports.push_back(free_port());
    return {};
}

} // namespace board
