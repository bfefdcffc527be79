// The console after the start: reconnection, keys, output, and its failures.
#include "tests/e2e/board.h"

#include <gtest/gtest.h>

using namespace e2e;
using testsupport::lines;

namespace {

std::vector<std::string> tail_from(const std::string& out, const std::string& first) {
    auto all = lines(out);
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == first)
            return {all.begin() + static_cast<long>(i), all.end()};
    return {};
}

TEST(Relay, EscAsFirstKeySendsNothing) {
    Session s;
    s.start_board({"heron", "usb", {}});
    auto run = s.start({"-t", "heron", "-df", s.example("heron"), "-usb"});
    ASSERT_TRUE(run->wait_for_output("press \"ESC\" key to exit.\n", 60s)) << run->out();
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0);
    // Only the handshake word went out.
    EXPECT_EQ(s.board_lines("RX "), std::vector<std::string>{"RX 0d 90 0d 90"}) << s.board_log();
}

TEST(Relay, ArrowKeysOnATerminalDoNotEndIt) {
    Session s;
    s.start_board({"egret", "uart", {}}, 7);
    auto run = s.start({"-t", "egret", "-df", s.example("egret"), "-com", "7"}, true);
    ASSERT_TRUE(run->wait_for_output("press \"ESC\" key to exit.\n", 60s)) << run->out();
    run->send("\x1b[A\x1b[B\x1bOP");
    testsupport::eventually([] { return false; }, 1500ms);
    EXPECT_FALSE(run->exited());
    EXPECT_EQ(run->wait_exit(100ms), -1) << "an arrow key ended the relay";
}

TEST(Relay, ArrowKeysThenEscOnATerminal) {
    Session s;
    s.start_board({"egret", "uart", {}}, 7);
    auto run = s.start({"-t", "egret", "-df", s.example("egret"), "-com", "7"}, true);
    ASSERT_TRUE(run->wait_for_output("press \"ESC\" key to exit.\n", 60s)) << run->out();
    run->send("\x1b[D");
    testsupport::eventually([] { return false; }, 500ms);
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0) << run->out();
    for (const std::string& rx : s.board_lines("RX "))
        EXPECT_NE(rx, "RX 1b") << "ESC never reaches the board";
}

TEST(Relay, UsbBoardNeverComesBack) {
    Session s;
    s.start_board({"egret", "usb", {"--never-reappear"}});
    auto r = s.run({"-t", "egret", "-df", s.example("egret"), "-usb"}, 90s);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(tail_from(r.out, "download Image to IRAM OK"),
              (std::vector<std::string>{"download Image to IRAM OK", "",
                                        "Re-open the egret device failed."}));
}

TEST(Relay, UsbHandshakeNeverAnswered) {
    Session s;
    s.start_board({"heron", "usb", {"--no-handshake"}});
    auto r = s.run({"-t", "heron", "-df", s.example("heron"), "-usb"}, 60s);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(
        tail_from(r.out, "download Image to IRAM OK"),
        (std::vector<std::string>{"download Image to IRAM OK", "", "Re-open the heron device.",
                                  "USB: Handshake with board timeout."}));
}

TEST(Relay, FalconNeverComesBack) {
    Session s;
    s.start_board({"hobby", "", {"--never-reappear"}});
    auto r = s.run({"-t", "falcon", "-df", s.example("hobby")}, 120s);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(tail_from(r.out, "download Image to IRAM OK"),
              (std::vector<std::string>{"download Image to IRAM OK", "",
                                        "Failed to reopen the FALCON device."}));
    EXPECT_GT(r.seconds, 50) << "500 attempts, 100 ms apart";
}

TEST(Relay, FalconThatComesBackLateIsFound) {
    Session s;
    s.start_board({"merlin", "", {"--reappear-after", "20000"}});
    auto run = s.start({"-t", "falcon", "-df", s.example("merlin")});
    ASSERT_TRUE(run->wait_for_output("Re-open FALCON device.\n", 60s)) << run->out();
    ASSERT_TRUE(run->wait_for_output("DDR test: PASS", 20s)) << run->out();
    EXPECT_EQ(s.board_lines("GREETING").size(), 1u);
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0);
}

TEST(Relay, SerialShowsEveryByteOfAStream) {
    Session s;
    s.start_board({"egret", "uart", {"--baud", "115200", "--stream", "65536"}}, 7);
    auto run = s.start({"-t", "egret", "-df", s.example("egret"), "-com", "7"});
    ASSERT_TRUE(run->wait_for_output("press \"ESC\" key to exit.\n", 60s)) << run->out();
    ASSERT_TRUE(run->wait_for_output("STREAM END", 30s)) << run->out().size();
    testsupport::eventually([] { return false; }, 200ms);
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0);
    std::string out = run->out();
    size_t begin = out.find("STREAM BEGIN");
    size_t end = out.find("STREAM END");
    ASSERT_NE(begin, std::string::npos);
    // The board's last line states what it sent: "STREAM END <bytes> <checksum>".
    std::string body = out.substr(out.find('\n', begin) + 1, end - out.find('\n', begin) - 1);
    unsigned long bytes = 0, sum = 0;
    ASSERT_EQ(std::sscanf(out.c_str() + end, "STREAM END %lu %lx", &bytes, &sum), 2);
    EXPECT_EQ(bytes, 65536u);
    EXPECT_EQ(body.size(), bytes);
    unsigned long got = 0;
    for (unsigned char c : body)
        got = (got * 31 + c) & 0xFFFFFFFFul;
    EXPECT_EQ(got, sum);
}

TEST(Relay, SerialZeroByteIsSkipped) {
    Session s;
    s.start_board({"heron", "uart", {"--zero-in-output"}}, 7);
    auto run = s.start({"-t", "heron", "-df", s.example("heron"), "-com", "7"});
    ASSERT_TRUE(run->wait_for_output("DDR test: PASS", 60s)) << run->out();
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0);
    EXPECT_EQ(run->out().find('\0'), std::string::npos);
    EXPECT_NE(run->out().find("ZERO BYTE SKIPPED"), std::string::npos) << run->out();
}

} // namespace
