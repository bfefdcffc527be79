// Every way a run stops with a failure: the exact lines, exit value 255, nothing on the
// error stream, bounded time, and for failures before the first exchange nothing on the wire.
#include "tests/e2e/board.h"

#include <filesystem>
#include <functional>

using namespace e2e;
using testsupport::lines;
using testsupport::RunResult;

namespace {

const std::string kNc = "Please make sure board connected and in serial download mode.";
const std::string kGateFailed = "rom_check_gate() failed." + kNc;
const std::string kSyntax = "\nThe ddr init file has some syntax error.";
const std::string kLoading = "\nGATE_TYPE: DEVELOP\nImage loading...\n";
const std::string kDlFailed = "\ndownload Image to IRAM failed";

struct Stop {
    std::string name;
    std::string board; // target, transport and fault options; empty: no board
    std::string args;  // split at blanks; the sample scripts are in the working directory
    // The lines, "{ack0}"/"{ack1}" standing for the board's words after its last frame.
    std::string want;
    std::function<void(Session&)> prepare = {};
    double min_s = 0, max_s = 60;
    std::string image_size = "";
};

void PrintTo(const Stop& s, std::ostream* os) {
    *os << s.name;
}

std::function<void(Session&)> script(const std::string& text) {
    return [text](Session& s) { s.dir.write("bad.inc", text); };
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
const std::string kEgret = "-t egret -df egret.inc -com 7", kBad = "-t egret -df bad.inc -com 7";
const std::string kCom7 = "Open COM7 OK.\n", kOpenUsb = "OpenUSB() OK!\n";
const std::string kEgretUsb = kOpenUsb + "USB valid flag for egret set.\n";

std::string syntax(const std::string& line) {
    return kCom7 + "Syntax error in line " + line + kSyntax;
}

const Stop kStops[] = {
    // No device.
    {"serial_port_missing", "", "-t heron -df heron.inc -com 250",
     "OpenUART:open COM250 failed.\nOpen com250 failed!"},
    {"empty_com_value", "", "-t egret -df egret.inc -com ''",
     "OpenUART:open COM failed.\nOpen com failed!"},
    {"no_falcon_variant", "", "-t falcon -df kestrel.inc", "Open FALCON device failed! " + kNc,
     nullptr, 0, 5},
    {"usb_board_never_attaches", "", "-t egret -df egret.inc -usb", "OpenUSB() failed! " + kNc,
     nullptr, 29, 60},

    // Input failures, behind an open port.
    {"script_missing", "egret uart", "-t egret -df missing.inc -com 7",
     kCom7 + "Open ddr init file missing.inc failed."},
    {"script_unreadable", "egret uart", "-t egret -df dir.inc -com 7",
     kCom7 + "Read the init script error." + kSyntax,
     [](Session& s) { std::filesystem::create_directory(s.dir.file("dir.inc")); }},
    {"bad_address", "egret uart", kBad, syntax("2: address is not a valid num."),
     script(kOk + "setmem /32 0x53fd40001 = 0x1\n")},
    {"line_too_long", "egret uart", kBad, syntax("2: line too long."),
     script(kOk + "// " + std::string(260, 'c') + "\n")},
    {"too_many_entries", "egret uart", kBad,
     kCom7 + "The number of ddr init items out of the max value(192)" + kSyntax,
     [](Session& s) {
         std::string text;
         for (int i = 0; i < 193; ++i)
             text += kOk;
         s.dir.write("bad.inc", text);
     }},
    {"address_outside_the_map", "egret uart", kBad,
     kCom7 + "dcd address 0x53fd8000 out of valid range.\nthe addr out of valid range.",
     script(kOk + "setmem /32 0x53fd8000 = 0x1\nsetmem /32 0x00000000 = 0x1\n")},
    {"image_missing", "egret uart", kEgret,
     kCom7 + "Open the image file larkspur-egret.bin failed.", image("egret", -1)},
    {"image_empty", "egret uart", kEgret, kCom7 + "Read the image file larkspur-egret.bin failed.",
     image("egret", 0)},
    {"image_unreadable", "egret uart", kEgret,
     kCom7 + "Read the image file larkspur-egret.bin failed.", image("egret", -2)},
    {"egret_image_too_small", "egret uart", kEgret,
     kCom7 + "The image file larkspur-egret.bin is too small.", image("egret", 1651)},
    {"heron_image_too_small", "heron usb", "-t heron -df heron.inc -usb",
     kOpenUsb + "The image file larkspur-heron.bin is too small.", image("heron", 1667)},

    // The boot ROM refuses or does not answer.
    {"egret_product_gate", "egret uart --gate product", kEgret,
     kCom7 + "GATE_TYPE: PRODUCT. Not supported yet."},
    {"kestrel_product_gate", "kestrel hid --gate product", "-t falcon -df kestrel.inc",
     "KESTREL opened.\nGATE_TYPE: PRODUCT. Not supported yet."},
    {"usb_silent_gate", "egret usb --silent gate", "-t egret -df egret.inc -usb",
     kEgretUsb + "rom_check_gate: reading GATE ack failed 0x00000000\n" + kGateFailed},
    // the serial read gives up at 5000 + 4 x 500 ms
    {"serial_silent_gate", "heron uart --silent gate", "-t heron -df heron.inc -com 7",
     kCom7 + "rom_check_gate: reading GATE ack failed 0x00000000\n" + kGateFailed, nullptr, 6.5,
     12},
    {"egret_wrong_gate", "egret uart --wrong-ack gate", kEgret,
     kCom7 + "rom_check_gate: reading GATE ack failed {ack0}\n" + kGateFailed},
    {"egret_wrong_image_gate", "egret uart --wrong-ack image-gate", kEgret,
     "Open COM7 OK." + kLoading + "rom_write_image: reading GATE ack failed {ack0}" + kDlFailed},
    {"falcon_wrong_write_gate", "merlin hid --wrong-ack write-gate", "-t falcon -df merlin.inc",
     "MERLIN opened.\nGATE_TYPE: DEVELOP\nrom_write: reading GATE ack failed {ack0}\n"
     "ROM Write failed, addr: 0x020c4018\nWrite dcd failed."},
    {"falcon_third_write_rejected", "merlin hid --reject-write 3", "-t falcon -df merlin.inc",
     "MERLIN opened.\nGATE_TYPE: DEVELOP\nrom_write: reading CMD ack failed {ack1}\n"
     "ROM Write failed, addr: 0x020c406c\nWrite dcd failed."},
    {"falcon_wrong_image_cmd", "hobby hid --wrong-ack image-cmd", "-t falcon -df hobby.inc",
     "HOBBY opened." + kLoading + "rom_write: reading CMD ack failed {ack1}" + kDlFailed},
    {"falcon_silent_image_gate", "hobby hid --silent image-gate", "-t falcon -df hobby.inc",
     "HOBBY opened." + kLoading + "rom_write_image: reading GATE ack failed {ack0}" + kDlFailed},

    // Unplugged during the download. The serial image is larger than the line's buffers, so
    // the write is still going when the board vanishes.
    {"usb_unplug_in_download", "egret usb --unplug-after-bytes 1000", "-t egret -df egret.inc -usb",
     "OpenUSB() OK!\nUSB valid flag for egret set." + kLoading +
         "rom_write_image: sending file failed" + kDlFailed},
    {"hid_unplug_in_download", "kestrel hid --unplug-after-bytes 1000", "-t falcon -df kestrel.inc",
     "KESTREL opened." + kLoading +
         "Write to HidFALCON failed.\nrom_write_image: sending file failed" + kDlFailed},
    {"serial_unplug_in_download", "heron uart --unplug-after-bytes 1000",
     "-t heron -df heron.inc -com 7",
     "Open COM7 OK." + kLoading + "Write COM failed.\nrom_write_image: sending file failed" +
         kDlFailed,
     nullptr, 0, 30, "106496"},

    // Boards too slow for the transport's waits.
    {"serial_10_baud", "egret uart --baud 10", kEgret,
     kCom7 + "rom_check_gate: reading GATE ack failed 0x00000000\n" + kGateFailed, nullptr, 6.5,
     12},
    // 106 s on the wire for the largest image: the download's own timeout still ends it
    {"usb_1000_bytes_a_second", "egret usb --usb-rate 1000", "-t egret -df egret.inc -usb",
     kEgretUsb + "GATE_TYPE: DEVELOP\nImage loading...\nrom_write_image: sending file failed" +
         kDlFailed,
     nullptr, 0, 10, "106496"},
    // a USB transfer leaves the platform's last error alone
    {"usb_100_bytes_a_second", "heron usb --usb-rate 100", "-t heron -df heron.inc -usb",
     kOpenUsb + "rom_check_gate: writing cmd to device failed and error code is 0\n" + kGateFailed},
    {"hid_report_every_1500ms", "kestrel hid --hid-interval-us 1500000",
     "-t falcon -df kestrel.inc",
     "KESTREL opened.\nGATE_TYPE: DEVELOP\nWrite to HidFALCON failed.\nrom_write: writing to "
     "device failed\nROM Write failed, addr: 0x020c4018\nWrite dcd failed.",
     nullptr, 0, 10},

    // The test program's device never answers after the start.
    {"usb_never_back", "egret usb --never-reappear", "-t egret -df egret.inc -usb",
     "OpenUSB() OK!\nUSB valid flag for egret set.\n" + kLoaded +
         "Re-open the egret device failed.",
     nullptr, 0, 90},
    {"usb_no_handshake", "heron usb --no-handshake", "-t heron -df heron.inc -usb",
     "OpenUSB() OK!\n" + kLoaded + "Re-open the heron device.\nUSB: Handshake with board timeout."},
    // 500 attempts, 100 ms apart
    {"falcon_never_back", "hobby hid --never-reappear", "-t falcon -df hobby.inc",
     "HOBBY opened.\n" + kLoaded + "Failed to reopen the FALCON device.", nullptr, 50, 120},
};

class RunStops : public testing::TestWithParam<Stop> {};

TEST_P(RunStops, WithItsLinesAndExitValue) {
    const Stop& c = GetParam();
    Session s(c.image_size);
    for (const char* t : {"egret", "heron", "kestrel", "merlin", "hobby"})
        s.example(t);
    if (!c.board.empty())
        s.board(c.board);
    if (c.prepare)
        c.prepare(s);
    RunResult r = s.run(words(c.args), std::chrono::milliseconds(long(c.max_s * 1000) + 10000));
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
    s.example("egret");
    std::filesystem::resize_file(s.image("egret"), 0x7FFFFF00); // sparse
    std::vector<std::string> argv = larkspur_argv(words(kEgret));
    argv.insert(argv.begin(), {"/bin/sh", "-c", "ulimit -v 1000000 && exec \"$0\" \"$@\""});
    RunResult r = testsupport::run(argv, s.larkspur_options());
    EXPECT_EQ(lines(r.out), lines(kCom7 + "malloc failed.\n"));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_TRUE(s.board_lines("FRAME ").empty());
}
#endif

} // namespace
