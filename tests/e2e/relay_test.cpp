// The console after the start: runs that go on to it despite a fault, a board unplugged
// while it runs, keys at a terminal, and the output stream.
#include "tests/e2e/board.h"

using namespace e2e;
using testsupport::lines;

namespace {

// What a terminal shows for the bytes it received: \r goes back to the line's start, \n
// to the next line, anything else overwrites; blanks at a line's end do not show.
std::vector<std::string> screen(const std::string& received) {
    std::vector<std::string> rows(1);
    size_t col = 0;
    for (char c : received) {
        if (c == '\r' || c == '\n') {
            col = 0;
            if (c == '\n')
                rows.emplace_back();
            continue;
        }
        if (rows.back().size() <= col)
            rows.back().resize(col + 1, ' ');
        rows.back()[col++] = c;
    }
    for (std::string& r : rows)
        r.erase(r.find_last_not_of(' ') + 1);
    return rows;
}

struct AtConsole {
    const char* name;
    std::string board, image_size;
    std::string lines;       // the screen's first lines; "{ack0}", "{ack1}": the board's words
    std::string status = ""; // shown on the status line at some point
    int exit = 0;            // 0: it reaches the relay, and ESC ends it
    bool unplug = false;     // the board goes in the relay; only ESC ends it
    bool keys = false;       // q and 7 typed during the download
    friend void PrintTo(const AtConsole& c, std::ostream* os) { *os << c.name; } // not its bytes
};

const AtConsole kConsoles[] = {
    // A failed start is reported and the run still goes on to the console.
    {"egret_wrong_start_ack", "egret uart --wrong-ack jump", "",
     "Open COM7 OK.\n" + kLoaded + "rom_exec: reading ERROR ack failed {ack0}\n" + kRunning},
    // The second word of the falcon gate answer is not looked at.
    {"falcon_wrong_start_ack", "kestrel hid --wrong-ack gate2 --wrong-ack jump", "",
     "KESTREL opened.\n" + kLoaded + "rom_jump: reading GATE ack failed {ack0}"},
    {"serial_unplug_in_relay", "egret uart --unplug-during-relay 6000", "", kSerialRun, "", 0,
     true},
    {"usb_unplug_in_relay", "heron usb --unplug-during-relay 6000", "", kHeronUsbRun, "", 0, true},
    {"hid_unplug_in_relay", "hobby hid --unplug-during-relay 6000", "",
     "HOBBY opened.\n" + kFalconRun, "", 0, true},
    // Keys typed during the download: not echoed, and the board has them once the relay runs.
    {"serial_keys_in_download", "egret uart --baud 115200", "16384", kSerialRun,
     "\r16384 / 16384 bytes (100%)", 0, false, true},
    {"falcon_wrong_image_word", "hobby hid --wrong-ack image-cmd", "65536",
     "HOBBY opened.\n" + kLoading + "rom_write: reading CMD ack failed {ack1}" + kDlFailed,
     "\r65536 / 65536 bytes (100%)", 255},
    {"serial_board_gone_in_download", "heron uart --unplug-after-bytes 1000", "106496",
     "Open COM7 OK.\n" + kLoading + "Write COM failed.\n" + kSendFailed,
     "\r2048 / 106496 bytes (1%)", 255},
    // The test program's device comes 3 s after the relay begins to wait for it.
    {"usb_board_back_late", "egret usb --reappear-after 7000", "", kEgretUsbRun,
     "\rWaiting for the board on USB: 29 s left", 0},
    {"falcon_back_late", "merlin hid --reappear-after 7000", "", "MERLIN opened.\n" + kFalconRun,
     "\rWaiting for the FALCON device: 49 s left", 0},
};

class Terminal : public testing::TestWithParam<AtConsole> {};

// At a terminal, the progress and the waits show in place on one status line, and every
// line printed after one (a failure too) stands alone. The relay runs despite a failed start
// or a board gone; escape sequences never end it, and ESC never reaches the board.
TEST_P(Terminal, EveryLineStandsAlone) {
    const AtConsole& c = GetParam();
    Session s(c.image_size);
    s.board(c.board);
    auto run = s.start(s.args_for(c.board), true);
    if (c.keys) {
        ASSERT_TRUE(run->wait_for_log(" bytes (", 30s)) << run->log();
        run->send("q7");
    }
    if (c.exit == 0) {
        ASSERT_TRUE(run->wait_for_log("DDR test: PASS", 60s)) << run->log() << s.board_log();
        ASSERT_TRUE(!c.unplug ||
                    testsupport::eventually(
                        [&] { return s.board_log().find("UNPLUG") != std::string::npos; }, 20s))
            << s.board_log();
        EXPECT_EQ(s.board_lines("GREETING").size(), words(c.board)[1] == "hid" ? 1u : 0u);
        run->send("\x1b[A\x1b[B\x1bOP");
        testsupport::eventually([] { return false; }, 1500ms);
        EXPECT_TRUE(run->running()) << "an arrow key or a board gone ended the relay";
        run->send("\x1b");
    }
    EXPECT_EQ(run->wait_exit(90s), c.exit) << run->log();
    run->finish();
    const auto want = lines(with_acks(s, c.lines) + "\n");
    std::vector<std::string> shown = screen(run->err());
    shown.resize(want.size());
    EXPECT_EQ(shown, want) << run->err();
    EXPECT_NE(run->err().find(c.status), std::string::npos) << run->err();
    if (c.keys) {
        EXPECT_EQ(run->err().find("q7"), std::string::npos) << "echoed";
        EXPECT_EQ(s.board_lines("RX "), (std::vector<std::string>{"RX 71", "RX 37"}));
        std::string image = testsupport::read_file(s.image("egret"));
        EXPECT_EQ(s.received_image().substr(1652), image.substr(1652));
    }
}

INSTANTIATE_TEST_SUITE_P(Relay, Terminal, testing::ValuesIn(kConsoles),
                         [](const auto& info) { return std::string(info.param.name); });

// 64 KiB at the full line rate arrive whole; a zero byte in the output is skipped.
TEST(Relay, SerialStreamArrivesWhole) {
    Session s;
    s.board("egret uart --baud 115200 --stream 65536 --zero-in-output");
    auto run = s.start(s.args_for("egret uart"));
    ASSERT_TRUE(run->wait_for_output("STREAM END", 60s)) << run->out().size();
    testsupport::eventually([] { return false; }, 200ms);
    s.send(*run, "\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0);
    std::string out;
    for (char c : run->out()) {
        if (c == '\n' && wine_exe() && !out.empty() && out.back() == '\r')
            out.pop_back(); // the Windows build's text mode wrote each "\n" as "\r\n"
        out += c;
    }
    EXPECT_EQ(out.find('\0'), std::string::npos);
    EXPECT_NE(out.find("ZERO BYTE SKIPPED"), std::string::npos) << out;
    size_t begin = out.find('\n', out.find("STREAM BEGIN")) + 1;
    size_t end = out.find("STREAM END");
    std::string body = out.substr(begin, end - begin);
    // The board's last line states what it sent: "STREAM END <bytes> <checksum>".
    unsigned long bytes = 0, sum = 0, got = 0;
    ASSERT_EQ(std::sscanf(out.c_str() + end, "STREAM END %lu %lx", &bytes, &sum), 2);
    EXPECT_EQ(bytes, 65536u);
    EXPECT_EQ(body.size(), bytes);
    for (unsigned char c : body)
        got = (got * 31 + c) & 0xFFFFFFFFul;
    EXPECT_EQ(got, sum);
}

// With two falcon boards present the probe order decides, and the other is left alone.
TEST(Relay, FalconProbeOrderWins) {
    Session s;
    s.board("merlin hid --beside hobby");
    auto run = s.start(s.args_for("merlin hid"));
    ASSERT_TRUE(run->wait_for_output("Image loading...", 30s)) << run->out();
    EXPECT_EQ(lines(run->out()).front(), "MERLIN opened.");
    EXPECT_TRUE(s.board_lines("REJECT").empty()) << "the hobby board was left alone";
}

} // namespace
