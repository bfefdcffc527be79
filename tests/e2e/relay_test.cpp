// The console after the start: runs that go on to it despite a fault, a board unplugged
// while it runs, keys at a terminal, and the output stream.
#include "tests/e2e/board.h"

using namespace e2e;
using testsupport::lines;

namespace {

struct ToConsole {
    const char* name;
    std::string board; // target, transport, fault options
    std::string args;
    std::string head;    // the first lines; "{ack0}": the board's word after its last frame
    bool unplug = false; // the board goes in the relay; only ESC ends it
};

void PrintTo(const ToConsole& c, std::ostream* os) {
    *os << c.name;
}

const std::string kEgret = "-t egret -df egret.inc -com 7";

const ToConsole kCases[] = {
    // A failed start is reported and the run still goes on to the console.
    {"egret_wrong_start_ack", "egret uart --wrong-ack jump", kEgret,
     "Open COM7 OK.\n" + kLoaded + "rom_exec: reading ERROR ack failed {ack0}\n" + kRunning},
    // The second word of the falcon gate answer is not looked at.
    {"falcon_wrong_start_ack", "kestrel hid --wrong-ack gate2 --wrong-ack jump",
     "-t falcon -df kestrel.inc",
     "KESTREL opened.\n" + kLoaded + "rom_jump: reading GATE ack failed {ack0}"},
    {"serial_unplug_in_relay", "egret uart --unplug-during-relay 6000", kEgret,
     "Open COM7 OK.\n" + kLoaded + kRunning, true},
    {"usb_unplug_in_relay", "heron usb --unplug-during-relay 6000", "-t heron -df heron.inc -usb",
     "OpenUSB() OK!\n" + kLoaded + "Re-open the heron device.\n" + kRunning, true},
    {"hid_unplug_in_relay", "hobby hid --unplug-during-relay 6000", "-t falcon -df hobby.inc",
     "HOBBY opened.\n" + kLoaded + "Re-open FALCON device.\n" + kRunning, true},
    // Found again after 20 s of its 50 s of reopen attempts.
    {"falcon_back_late", "merlin hid --reappear-after 20000", "-t falcon -df merlin.inc",
     "MERLIN opened.\n" + kLoaded + "Re-open FALCON device.\n" + kRunning},
};

class Console : public testing::TestWithParam<ToConsole> {};

TEST_P(Console, RunsUntilEsc) {
    const ToConsole& c = GetParam();
    Session s;
    s.example(words(c.board)[0]);
    s.board(c.board);
    auto run = s.start(words(c.args));
    ASSERT_TRUE(run->wait_for_output("DDR test: PASS", 60s)) << run->out() << s.board_log();
    const auto want = lines(with_acks(s, c.head) + "\n");
    EXPECT_EQ(head_lines(run->out(), want.size()), want);
    if (c.unplug) {
        ASSERT_TRUE(testsupport::eventually(
            [&] { return s.board_log().find("UNPLUG") != std::string::npos; }, 20s))
            << s.board_log();
        testsupport::eventually([] { return false; }, 1500ms);
        EXPECT_TRUE(run->running()) << "only ESC ends the relay";
    }
    EXPECT_EQ(s.board_lines("GREETING").size(), words(c.board)[1] == "hid" ? 1u : 0u);
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0) << run->out();
    EXPECT_EQ(run->err(), "");
}

INSTANTIATE_TEST_SUITE_P(Relay, Console, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// At a terminal: the download's progress shows in place on standard error (the wire and
// standard output are as on a pipe), escape sequences never end the relay, and ESC never
// reaches the board.
TEST(Relay, AtATerminal) {
    Session s("16384"); // about 1.4 s on the wire
    s.board("egret uart --baud 115200");
    auto run = s.start({"-t", "egret", "-df", s.example("egret"), "-com", "7"}, true);
    ASSERT_TRUE(run->wait_for_output(kRunning + "\n", 60s)) << run->out();
    EXPECT_EQ(lines(run->out()), lines("Open COM7 OK.\n" + kLoaded + kRunning + "\n"));
    const std::string done = "\r16384 / 16384 bytes (100%)";
    std::string err = run->err();
    size_t last = err.rfind(done);
    ASSERT_NE(last, std::string::npos) << err;
    EXPECT_EQ(err.substr(last + done.size()), "\r" + std::string(done.size() - 1, ' ') + "\r");
    EXPECT_LT(err.find("\r"), last) << "no update before the end: " << err;
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    std::string image = testsupport::read_file(s.image("egret"));
    EXPECT_EQ(s.received_image().substr(1652), image.substr(1652));

    run->send("\x1b[A\x1b[B\x1bOP");
    testsupport::eventually([] { return false; }, 1500ms);
    EXPECT_TRUE(run->running()) << "an arrow key ended the relay";
    run->send("\x1b[D");
    testsupport::eventually([] { return false; }, 300ms);
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0) << run->out();
    EXPECT_TRUE(s.board_lines("RX ").empty()) << s.board_log();
}

// 64 KiB at the full line rate arrive whole; a zero byte in the output is skipped.
TEST(Relay, SerialStreamArrivesWhole) {
    Session s;
    s.board("egret uart --baud 115200 --stream 65536 --zero-in-output");
    auto run = s.start({"-t", "egret", "-df", s.example("egret"), "-com", "7"});
    ASSERT_TRUE(run->wait_for_output("STREAM END", 60s)) << run->out().size();
    testsupport::eventually([] { return false; }, 200ms);
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0);
    std::string out = run->out();
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
    auto run = s.start({"-t", "falcon", "-df", s.example("merlin")});
    ASSERT_TRUE(run->wait_for_output("Image loading...", 30s)) << run->out();
    EXPECT_EQ(lines(run->out()).front(), "MERLIN opened.");
    EXPECT_TRUE(s.board_lines("REJECT").empty()) << "the hobby board was left alone";
}

} // namespace
