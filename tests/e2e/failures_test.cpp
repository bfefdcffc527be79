// Every way a run stops with a failure: the exact lines, exit value 255, nothing on the
// error stream, bounded time, and for failures before the first exchange nothing on the wire.
#include "tests/e2e/board.h"

#include <functional>

using namespace e2e;
using testsupport::lines;
using testsupport::RunResult;

namespace {

const std::string kNc = "Please make sure board connected and in serial download mode.";
const std::string kGateFailed = "rom_check_gate() failed." + kNc;
const std::string kSyntax = "\nThe ddr init file has some syntax error.";

struct Stop {
    std::string name;
    std::string board; // target, transport and fault options; empty: no board
    // The lines, "{ack0}"/"{ack1}" standing for the board's words after its last frame.
    std::string want;
    std::function<void(Session&)> prepare = {};
    double min_s = 0, max_s = 60;
    std::string image_size = "";
    std::string args = ""; // split at blanks; empty: the board's own and its sample script
    friend void PrintTo(const Stop& c, std::ostream* os) { *os << c.name; } // not its bytes
};

// The egret script in place of the sample.
std::function<void(Session&)> script(const std::string& text) {
    return [text](Session& s) { s.dir.write("egret.inc", text); };
}
// Keeps the first bytes of the image; -1: no image, -2: a directory in its place.
std::function<void(Session&)> image(const std::string& target, long keep) {
    return [=](Session& s) {
        std::string path = s.image(target);
        std::string full = testsupport::read_file(path);
        std::filesystem::remove(path);
        if (keep == -2)
            std::filesystem::create_directory(path);
        else if (keep >= 0)
            s.dir.write("larkspur-" + target + ".bin", full.substr(0, size_t(keep)));
    };
}

const std::string kOk = "setmem /32 0x53fd4000 = 0x1\n";
const std::string kCom7 = "Open COM7 OK.\n", kOpenUsb = "OpenUSB() OK!\n";
const std::string kEgretUsb = kOpenUsb + "USB valid flag for egret set.\n";

std::string syntax(const std::string& line) {
    return kCom7 + "Syntax error in line " + line + kSyntax;
}

const Stop kStops[] = {
    // No device.
    {"empty_com_value", "", "OpenUART:open COM failed.\nOpen com failed!", nullptr, 0, 60, "",
     "-t egret -df egret.inc -com ''"},
    {"no_falcon_variant", "", "Open FALCON device failed! " + kNc, nullptr, 0, 5, "",
     "-t falcon -df kestrel.inc"},
    {"usb_board_never_attaches", "", "OpenUSB() failed! " + kNc, nullptr, 29, 60, "",
     "-t egret -df egret.inc -usb"},

    // Input failures, behind an open port.
    {"script_missing", "egret uart", kCom7 + "Open ddr init file egret.inc failed.",
     [](Session& s) { std::filesystem::remove(s.dir.file("egret.inc")); }},
    {"script_unreadable", "egret uart", kCom7 + "Read the init script error." + kSyntax,
     [](Session& s) {
         std::filesystem::remove(s.dir.file("egret.inc"));
         std::filesystem::create_directory(s.dir.file("egret.inc"));
     }},
    {"bad_address", "egret uart", syntax("2: address is not a valid num."),
     script(kOk + "setmem /32 0x53fd40001 = 0x1\n")},
    {"line_too_long", "egret uart", syntax("2: line too long."),
     script(kOk + "// " + std::string(260, 'c') + "\n")},
    {"too_many_entries", "egret uart",
     kCom7 + "The number of ddr init items out of the max value(192)" + kSyntax,
     [](Session& s) {
         std::string text;
         for (int i = 0; i < 193; ++i)
             text += kOk;
         s.dir.write("egret.inc", text);
     }},
    // A carriage return before the line feed is removed once, any other stays in its word
    // (for the Windows build's text mode: these rows run under Wine too).
    {"carriage_return_twice", "egret uart", syntax("1: value is not a valid num."),
     script("setmem /32 0x53fd4000 = 0x1\r\r\n")},
    {"carriage_return_in_a_word", "egret uart", syntax("2: address is not a valid num."),
     script("setmem /32 0x53fd4000 = 0x1\r\nsetmem /32 0x53fd\r4000 = 0x1\r\n")},
    {"address_outside_the_map", "egret uart",
     kCom7 + "dcd address 0x53fd8000 out of valid range.\nthe addr out of valid range.",
     script(kOk + "setmem /32 0x53fd8000 = 0x1\nsetmem /32 0x00000000 = 0x1\n")},
    {"image_missing", "egret uart", kCom7 + "Open the image file larkspur-egret.bin failed.",
     image("egret", -1)},
    {"image_empty", "egret uart", kCom7 + "Read the image file larkspur-egret.bin failed.",
     image("egret", 0)},
    {"image_unreadable", "egret uart", kCom7 + "Read the image file larkspur-egret.bin failed.",
     image("egret", -2)},
    {"egret_image_too_small", "egret uart",
     kCom7 + "The image file larkspur-egret.bin is too small.", image("egret", 1651)},
    {"heron_image_too_small", "heron usb",
     kOpenUsb + "The image file larkspur-heron.bin is too small.", image("heron", 1667)},

    // The boot ROM refuses or does not answer.
    {"egret_product_gate", "egret uart --gate product",
     kCom7 + "GATE_TYPE: PRODUCT. Not supported yet."},
    {"kestrel_product_gate", "kestrel hid --gate product",
     "KESTREL opened.\nGATE_TYPE: PRODUCT. Not supported yet."},
    {"usb_silent_gate", "egret usb --silent gate",
     kEgretUsb + "rom_check_gate: reading GATE ack failed 0x00000000\n" + kGateFailed},
    // the serial read gives up at 5000 + 4 x 500 ms
    {"serial_silent_gate", "heron uart --silent gate",
     kCom7 + "rom_check_gate: reading GATE ack failed 0x00000000\n" + kGateFailed, nullptr, 6.5,
     12},
    {"egret_wrong_gate", "egret uart --wrong-ack gate",
     kCom7 + "rom_check_gate: reading GATE ack failed {ack0}\n" + kGateFailed},
    {"egret_wrong_image_gate", "egret uart --wrong-ack image-gate",
     kCom7 + kLoading + "rom_write_image: reading GATE ack failed {ack0}" + kDlFailed},
    {"falcon_wrong_write_gate", "merlin hid --wrong-ack write-gate",
     "MERLIN opened.\nGATE_TYPE: DEVELOP\nrom_write: reading GATE ack failed {ack0}\n"
     "ROM Write failed, addr: 0x020c4018\nWrite dcd failed."},
    {"falcon_third_write_rejected", "merlin hid --reject-write 3",
     "MERLIN opened.\nGATE_TYPE: DEVELOP\nrom_write: reading CMD ack failed {ack1}\n"
     "ROM Write failed, addr: 0x020c406c\nWrite dcd failed."},
    {"falcon_wrong_image_cmd", "hobby hid --wrong-ack image-cmd",
     "HOBBY opened.\n" + kLoading + "rom_write: reading CMD ack failed {ack1}" + kDlFailed},
    {"falcon_silent_image_gate", "hobby hid --silent image-gate",
     "HOBBY opened.\n" + kLoading + "rom_write_image: reading GATE ack failed {ack0}" + kDlFailed},

    // Unplugged during the download. The serial image is larger than the line's buffers, so
    // the write is still going when the board vanishes.
    {"usb_unplug_in_download", "egret usb --unplug-after-bytes 1000",
     kEgretUsb + kLoading + kSendFailed},
    {"hid_unplug_in_download", "kestrel hid --unplug-after-bytes 1000",
     "KESTREL opened.\n" + kLoading + "Write to HidFALCON failed.\n" + kSendFailed},
    {"serial_unplug_in_download", "heron uart --unplug-after-bytes 1000",
     kCom7 + kLoading + "Write COM failed.\n" + kSendFailed, nullptr, 0, 30, "106496"},

    // Boards too slow for the transport's waits.
    {"serial_10_baud", "egret uart --baud 10",
     kCom7 + "rom_check_gate: reading GATE ack failed 0x00000000\n" + kGateFailed, nullptr, 6.5,
     12},
    // 106 s on the wire for the largest image: the download's own timeout still ends it
    {"usb_1000_bytes_a_second", "egret usb --usb-rate 1000", kEgretUsb + kLoading + kSendFailed,
     nullptr, 0, 10, "106496"},
    // a USB transfer leaves the platform's last error alone
    {"usb_100_bytes_a_second", "heron usb --usb-rate 100",
     kOpenUsb + "rom_check_gate: writing cmd to device failed and error code is 0\n" + kGateFailed},
    {"hid_report_every_1500ms", "kestrel hid --hid-interval-us 1500000",
     "KESTREL opened.\nGATE_TYPE: DEVELOP\nWrite to HidFALCON failed.\nrom_write: writing to "
     "device failed\nROM Write failed, addr: 0x020c4018\nWrite dcd failed.",
     nullptr, 0, 10},

    // The test program's device never answers after the start.
    {"usb_never_back", "egret usb --never-reappear",
     kEgretUsb + kLoaded + "Re-open the egret device failed.", nullptr, 0, 90},
    {"usb_no_handshake", "heron usb --no-handshake",
     kOpenUsb + kLoaded + "Re-open the heron device.\nUSB: Handshake with board timeout."},
    // 500 attempts, 100 ms apart
    {"falcon_never_back", "hobby hid --never-reappear",
     "HOBBY opened.\n" + kLoaded + "Failed to reopen the FALCON device.", nullptr, 50, 120},
};

class RunStops : public testing::TestWithParam<Stop> {};

TEST_P(RunStops, WithItsLinesAndExitValue) {
    const Stop& c = GetParam();
    Session s(c.image_size);
    if (!c.board.empty())
        s.board(c.board);
    const std::vector<std::string> args = c.args.empty() ? s.args_for(c.board) : words(c.args);
    if (c.prepare)
        c.prepare(s);
    RunResult r = s.run(args, std::chrono::milliseconds(long(c.max_s * 1000) + 10000));
    const std::string want = with_acks(s, c.want);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(lines(r.out), lines(want + "\n"));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "") << "nothing goes to the error stream";
    EXPECT_GE(r.seconds, c.min_s);
    EXPECT_LE(r.seconds, c.max_s);
    // The first exchange is the GATE query, and every outcome of it shows: a run that shows
    // none put nothing on the wire.
    if (!c.board.empty() && want.find("GATE") == std::string::npos &&
        want.find("rom_") == std::string::npos) {
        EXPECT_TRUE(s.board_lines("FRAME ").empty()) << s.board_log();
        EXPECT_TRUE(s.board_lines("REJECT").empty()) << s.board_log();
    }
    if (c.board.find("--reject-write") != std::string::npos) {
        EXPECT_EQ(s.board_lines("REG ").size(), 2u) << "the writes before stay written";
    }
    if (c.board.find(" gate") != std::string::npos) {
        EXPECT_TRUE(s.board_lines("IMAGE ").empty()) << s.board_log();
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, RunStops, testing::ValuesIn(kStops),
                         [](const auto& info) { return std::string(info.param.name); });

// An image larger than the memory the process may have: the allocation fails. Not under a
// sanitizer, whose shadow memory does not fit an address space limit.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(ImageLargerThanMemory, AllocationFailureIsReported) {
    Session s;
    s.board("egret uart");
    std::filesystem::resize_file(s.image("egret"), 0x7FFFFF00); // sparse
    std::vector<std::string> argv = larkspur_argv(s.args_for("egret uart"));
    argv.insert(argv.begin(), {"/bin/sh", "-c", "ulimit -v 1000000 && exec \"$0\" \"$@\""});
    RunResult r = testsupport::run(argv, s.larkspur_options());
    EXPECT_EQ(lines(r.out), lines(kCom7 + "malloc failed.\n"));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_TRUE(s.board_lines("FRAME ").empty());
}
#endif

} // namespace
