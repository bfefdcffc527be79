// Every way a run stops with a failure: the exact lines, exit value 255, nothing on the
// error stream, bounded time, and for input failures nothing at all on the wire.
#include "tests/e2e/board.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using namespace e2e;
using testsupport::lines;
using testsupport::RunResult;

namespace {

const std::string kNotConnected = "Please make sure board connected and in serial download mode.";
const std::string kSyntax = "The ddr init file has some syntax error.";
const std::string kCom7 = "Open COM7 OK.";

struct Stop {
    const char* name;
    std::vector<std::string> board; // target, transport, fault options; empty: no board
    std::vector<std::string> args;  // "%s.inc" stands for the target's sample script
    // "{ack0}"/"{ack1}" stand for the board's first/second word after its last frame.
    std::vector<std::string> want;
    std::function<void(Session&)> prepare = {};
    bool quiet = false; // an input failure: the board must have seen no frame
    double min_s = 0, max_s = 60;
    const char* image_size = "";
};

void PrintTo(const Stop& s, std::ostream* os) {
    *os << s.name;
}

std::vector<std::string> egret(const std::string& script = "egret.inc") {
    return {"-t", "egret", "-df", script, "-com", "7"};
}
std::vector<std::string> falcon(const std::string& variant) {
    return {"-t", "falcon", "-df", variant + ".inc"};
}
std::vector<std::string> usb(const std::string& target) {
    return {"-t", target, "-df", target + ".inc", "-usb"};
}
std::vector<std::string> serial(const std::string& target) {
    return {"-t", target, "-df", target + ".inc", "-com", "7"};
}

std::function<void(Session&)> script(const std::string& text) {
    return [text](Session& s) { s.dir.write("bad.inc", text); };
}
std::function<void(Session&)> image(const std::string& target, long keep) {
    return [=](Session& s) {
        std::string path = s.image(target);
        std::string full = testsupport::read_file(path);
        std::filesystem::remove(path);
        if (keep == -2)
            std::filesystem::create_directory(path); // opens, but cannot be read
        else if (keep >= 0)
            s.dir.write("larkspur-" + target + ".bin", full.substr(0, size_t(keep)));
    };
}

std::string repeat(const std::string& line, int n) {
    std::string out;
    while (n-- > 0)
        out += line;
    return out;
}

const std::string kOk = "setmem /32 0x53fd4000 = 0x1\n";
const std::vector<std::string> kDownloadFailed = {"GATE_TYPE: DEVELOP", "Image loading..."};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> syntax(const std::string& line) {
    return {kCom7, line, kSyntax};
}

const Stop kStops[] = {
    // No device.
    {"serial_port_missing",
     {},
     {"-t", "heron", "-df", "heron.inc", "-com", "250"},
     {"OpenUART:open COM250 failed.", "Open com250 failed!"}},
    {"empty_com_value",
     {},
     {"-t", "egret", "-df", "egret.inc", "-com", ""},
     {"OpenUART:open COM failed.", "Open com failed!"}},
    {"no_falcon_variant",
     {},
     falcon("kestrel"),
     {"Open FALCON device failed! " + kNotConnected},
     {},
     false,
     0,
     5},
    {"usb_board_never_attaches",
     {},
     usb("egret"),
     {"OpenUSB() failed! " + kNotConnected},
     {},
     false,
     29,
     60},

    // Input failures, behind an open port.
    {"script_missing",
     {"egret", "uart"},
     egret("missing.inc"),
     {kCom7, "Open ddr init file missing.inc failed."},
     {},
     true},
    {"script_unreadable",
     {"egret", "uart"},
     egret("dir.inc"),
     {kCom7, "Read the init script error.", kSyntax},
     [](Session& s) { std::filesystem::create_directory(s.dir.file("dir.inc")); },
     true},
    {"bad_address",
     {"egret", "uart"},
     egret("bad.inc"),
     syntax("Syntax error in line 2: address is not a valid num."),
     script(kOk + "setmem /32 0x53fd40001 = 0x1\n"),
     true},
    {"missing_address",
     {"egret", "uart"},
     egret("bad.inc"),
     syntax("Syntax error in line 3: address is not a valid num."),
     script("// x\n\nsetmem /32\n"),
     true},
    {"bad_value",
     {"egret", "uart"},
     egret("bad.inc"),
     syntax("Syntax error in line 1: value is not a valid num."),
     script("setmem /32 0x53fd4000 = 0x1G\n"),
     true},
    {"decimal_value",
     {"egret", "uart"},
     egret("bad.inc"),
     syntax("Syntax error in line 3: value is not a valid num."),
     script("// x\n\nsetmem /32 0x53fd4000 = 12\n"),
     true},
    {"comment_as_value",
     {"egret", "uart"},
     egret("bad.inc"),
     syntax("Syntax error in line 1: value is not a valid num."),
     script("setmem /32 0x53fd4000 = //0x1\n"),
     true},
    {"line_too_long",
     {"egret", "uart"},
     egret("bad.inc"),
     syntax("Syntax error in line 2: line too long."),
     script(kOk + "// " + std::string(260, 'c') + "\n"),
     true},
    {"word_too_long",
     {"egret", "uart"},
     egret("bad.inc"),
     syntax("Syntax error in line 1: word too long."),
     script("setmem " + std::string(64, 'w') + " 0x53fd4000 = 0x1\n"),
     true},
    {"too_many_words",
     {"egret", "uart"},
     egret("bad.inc"),
     syntax("Syntax error in line 1: too many words."),
     script("setmem /32 0x53fd4000 = 0x1 a b c d e f g h i j k l\n"),
     true},
    {"too_many_entries",
     {"egret", "uart"},
     egret("bad.inc"),
     syntax("The number of ddr init items out of the max value(192)"),
     script(repeat(kOk, 193)),
     true},
    {"address_outside_the_map",
     {"egret", "uart"},
     egret("bad.inc"),
     {kCom7, "dcd address 0x53fd8000 out of valid range.", "the addr out of valid range."},
     script(kOk + "setmem /32 0x53fd8000 = 0x1\nsetmem /32 0x00000000 = 0x1\n"),
     true},
    {"image_missing",
     {"egret", "uart"},
     egret(),
     {kCom7, "Open the image file larkspur-egret.bin failed."},
     image("egret", -1),
     true},
    {"image_empty",
     {"egret", "uart"},
     egret(),
     {kCom7, "Read the image file larkspur-egret.bin failed."},
     image("egret", 0),
     true},
    {"image_unreadable",
     {"egret", "uart"},
     egret(),
     {kCom7, "Read the image file larkspur-egret.bin failed."},
     image("egret", -2),
     true},
    {"egret_image_too_small",
     {"egret", "uart"},
     egret(),
     {kCom7, "The image file larkspur-egret.bin is too small."},
     image("egret", 1651),
     true},
    {"heron_image_too_small",
     {"heron", "usb"},
     usb("heron"),
     {"OpenUSB() OK!", "The image file larkspur-heron.bin is too small."},
     image("heron", 1667),
     true},

    // The boot ROM refuses or does not answer.
    {"egret_product_gate",
     {"egret", "uart", "--gate", "product"},
     egret(),
     {kCom7, "GATE_TYPE: PRODUCT. Not supported yet."}},
    {"kestrel_product_gate",
     {"kestrel", "hid", "--gate", "product"},
     falcon("kestrel"),
     {"KESTREL opened.", "GATE_TYPE: PRODUCT. Not supported yet."}},
    {"usb_silent_gate",
     {"egret", "usb", "--silent", "gate"},
     usb("egret"),
     {"OpenUSB() OK!", "USB valid flag for egret set.",
      "rom_check_gate: reading GATE ack failed 0x00000000",
      "rom_check_gate() failed." + kNotConnected}},
    // the serial read gives up at 5000 + 4 x 500 ms
    {"serial_silent_gate",
     {"heron", "uart", "--silent", "gate"},
     serial("heron"),
     {kCom7, "rom_check_gate: reading GATE ack failed 0x00000000",
      "rom_check_gate() failed." + kNotConnected},
     {},
     false,
     6.5,
     12},
    {"egret_wrong_gate",
     {"egret", "uart", "--wrong-ack", "gate"},
     egret(),
     {kCom7, "rom_check_gate: reading GATE ack failed {ack0}",
      "rom_check_gate() failed." + kNotConnected}},
    {"egret_wrong_image_gate",
     {"egret", "uart", "--wrong-ack", "image-gate"},
     egret(),
     std::vector<std::string>{kCom7} + kDownloadFailed +
         std::vector<std::string>{"rom_write_image: reading GATE ack failed {ack0}",
                                  "download Image to IRAM failed"}},
    {"falcon_wrong_write_gate",
     {"merlin", "hid", "--wrong-ack", "write-gate"},
     falcon("merlin"),
     {"MERLIN opened.", "GATE_TYPE: DEVELOP", "rom_write: reading GATE ack failed {ack0}",
      "ROM Write failed, addr: 0x020c4018", "Write dcd failed."}},
    {"falcon_third_write_rejected",
     {"merlin", "hid", "--reject-write", "3"},
     falcon("merlin"),
     {"MERLIN opened.", "GATE_TYPE: DEVELOP", "rom_write: reading CMD ack failed {ack1}",
      "ROM Write failed, addr: 0x020c406c", "Write dcd failed."}},
    {"falcon_wrong_image_cmd",
     {"hobby", "hid", "--wrong-ack", "image-cmd"},
     falcon("hobby"),
     std::vector<std::string>{"HOBBY opened."} + kDownloadFailed +
         std::vector<std::string>{"rom_write: reading CMD ack failed {ack1}",
                                  "download Image to IRAM failed"}},
    {"falcon_silent_image_gate",
     {"hobby", "hid", "--silent", "image-gate"},
     falcon("hobby"),
     std::vector<std::string>{"HOBBY opened."} + kDownloadFailed +
         std::vector<std::string>{"rom_write_image: reading GATE ack failed {ack0}",
                                  "download Image to IRAM failed"}},

    // Unplugged during the download. The serial image is larger than the line's buffers, so
    // the write is still going when the board vanishes.
    {"usb_unplug_in_download",
     {"egret", "usb", "--unplug-after-bytes", "1000"},
     usb("egret"),
     std::vector<std::string>{"OpenUSB() OK!", "USB valid flag for egret set."} + kDownloadFailed +
         std::vector<std::string>{"rom_write_image: sending file failed",
                                  "download Image to IRAM failed"}},
    {"hid_unplug_in_download",
     {"kestrel", "hid", "--unplug-after-bytes", "1000"},
     falcon("kestrel"),
     std::vector<std::string>{"KESTREL opened."} + kDownloadFailed +
         std::vector<std::string>{"Write to HidFALCON failed.",
                                  "rom_write_image: sending file failed",
                                  "download Image to IRAM failed"}},
    {"serial_unplug_in_download",
     {"heron", "uart", "--unplug-after-bytes", "1000"},
     serial("heron"),
     std::vector<std::string>{kCom7} + kDownloadFailed +
         std::vector<std::string>{"Write COM failed.", "rom_write_image: sending file failed",
                                  "download Image to IRAM failed"},
     {},
     false,
     0,
     30,
     "106496"},

    // Boards too slow for the transport's waits.
    {"serial_10_baud",
     {"egret", "uart", "--baud", "10"},
     egret(),
     {kCom7, "rom_check_gate: reading GATE ack failed 0x00000000",
      "rom_check_gate() failed." + kNotConnected},
     {},
     false,
     6.5,
     12},
    // a USB transfer leaves the platform's last error alone
    {"usb_100_bytes_a_second",
     {"heron", "usb", "--usb-rate", "100"},
     usb("heron"),
     {"OpenUSB() OK!", "rom_check_gate: writing cmd to device failed and error code is 0",
      "rom_check_gate() failed." + kNotConnected}},
    {"hid_report_every_1500ms",
     {"kestrel", "hid", "--hid-interval-us", "1500000"},
     falcon("kestrel"),
     {"KESTREL opened.", "GATE_TYPE: DEVELOP", "Write to HidFALCON failed.",
      "rom_write: writing to device failed", "ROM Write failed, addr: 0x020c4018",
      "Write dcd failed."},
     {},
     false,
     0,
     10},

    // The test program's device never answers after the start.
    {"usb_never_back",
     {"egret", "usb", "--never-reappear"},
     usb("egret"),
     std::vector<std::string>{"OpenUSB() OK!", "USB valid flag for egret set.",
                              "GATE_TYPE: DEVELOP", "Image loading...", "download Image to IRAM OK",
                              "", "Re-open the egret device failed."},
     {},
     false,
     0,
     90},
    {"usb_no_handshake",
     {"heron", "usb", "--no-handshake"},
     usb("heron"),
     {"OpenUSB() OK!", "GATE_TYPE: DEVELOP", "Image loading...", "download Image to IRAM OK", "",
      "Re-open the heron device.", "USB: Handshake with board timeout."}},
    // 500 attempts, 100 ms apart
    {"falcon_never_back",
     {"hobby", "hid", "--never-reappear"},
     falcon("hobby"),
     {"HOBBY opened.", "GATE_TYPE: DEVELOP", "Image loading...", "download Image to IRAM OK", "",
      "Failed to reopen the FALCON device."},
     {},
     false,
     50,
     120},
};

std::string fill_acks(std::string line, const Session& s) {
    for (int k : {0, 1}) {
        std::string key = "{ack" + std::to_string(k) + "}";
        if (size_t at = line.find(key); at != std::string::npos)
            line.replace(at, key.size(), ack_after_last_frame(s, size_t(k)));
    }
    return line;
}

class RunStops : public testing::TestWithParam<Stop> {};

TEST_P(RunStops, WithItsLinesAndExitValue) {
    const Stop& c = GetParam();
    Session s(c.image_size);
    for (const char* t : {"egret", "heron", "kestrel", "merlin", "hobby"})
        s.example(t);
    if (!c.board.empty())
        s.start_board({c.board[0], c.board[1], {c.board.begin() + 2, c.board.end()}},
                      c.board[1] == "uart" ? 7 : 0);
    if (c.prepare)
        c.prepare(s);
    RunResult r = s.run(c.args, std::chrono::milliseconds(long(c.max_s * 1000) + 10000));
    std::vector<std::string> want;
    for (const std::string& l : c.want)
        want.push_back(fill_acks(l, s));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(lines(r.out), want);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "") << "nothing goes to the error stream";
    EXPECT_GE(r.seconds, c.min_s);
    EXPECT_LE(r.seconds, c.max_s);
    if (c.quiet) {
        EXPECT_TRUE(s.board_lines("FRAME ").empty()) << s.board_log();
        EXPECT_TRUE(s.board_lines("REJECT").empty()) << s.board_log();
    }
    if (c.board.size() > 2 && c.board[2] == "--reject-write") {
        EXPECT_EQ(s.board_lines("REG ").size(), 2u) << "the writes before stay written";
    }
    if (c.board.size() > 3 && (c.board[2] == "--gate" || c.board[3].find("gate") == 0)) {
        EXPECT_TRUE(s.board_lines("IMAGE ").empty()) << s.board_log();
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, RunStops, testing::ValuesIn(kStops),
                         [](const auto& info) { return std::string(info.param.name); });

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// An image larger than the memory the process may have: the allocation fails.
TEST(ImageLargerThanMemory, AllocationFailureIsReported) {
    if (kSanitized)
        GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address space limit";
    Session s;
    s.start_board({"egret", "uart", {}}, 7);
    std::filesystem::resize_file(s.image("egret"), 0x7FFFFF00); // sparse
    std::vector<std::string> argv = {"/bin/sh", "-c", "ulimit -v 1000000 && exec \"$0\" \"$@\""};
    for (const std::string& a : larkspur_argv(egret(s.example("egret"))))
        argv.push_back(a);
    RunResult r = testsupport::run(argv, s.larkspur_options());
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{kCom7, "malloc failed."}));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_TRUE(s.board_lines("FRAME ").empty());
}

} // namespace
