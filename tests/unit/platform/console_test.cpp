// The console keyboard, read by a helper process from a pseudo-terminal, a pipe or nothing.
#include "tests/unit/platform/test_util.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <thread>

using namespace platformtest;

namespace {

std::string keys_of(const std::string& out) {
    std::string keys;
    size_t pos = 0;
    while ((pos = out.find("key ", pos)) != std::string::npos) {
        pos += 4;
        keys += std::to_string(std::stoi(out.substr(pos))) + " ";
    }
    return keys;
}

long max_kbhit_us(const std::string& out) {
    size_t pos = out.find("max_kbhit_us ");
    return pos == std::string::npos ? -1 : std::stol(out.substr(pos + 13));
}

bool same_settings(const termios& a, const termios& b) {
    return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
           a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

class TerminalKeys : public ::testing::Test {
  protected:
    termios settings() const {
        termios t{};
        tcgetattr(pty.slave, &t);
        return t;
    }
    Pty pty;
};

TEST_F(TerminalKeys, LoneEscIsKeyAndSequencesAreDroppedWithoutEcho) {
    const termios before = settings();
    Child helper({PLATFORM_HELPER, "keys", "10000"}, pty.slave);
    ASSERT_TRUE(helper.wait_for("ready", 5s)) << helper.out();
    termios during = settings();
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(during.c_lflag & ISIG, 0u) << "Ctrl-C still interrupts";

    // Up arrow, F1 (SS3), Shift+F5 with parameters, Enter, then a lone ESC on its own.
    pty.send("a\x1b[Ab\x1bOPc\x1b[15;2~\r");
    ASSERT_TRUE(helper.wait_for("key 13", 3s)) << helper.out();
    std::this_thread::sleep_for(100ms);
    pty.send("\x1b");
    EXPECT_EQ(helper.wait(5s) >> 8, 0) << helper.out();
    EXPECT_EQ(keys_of(helper.out()), "97 98 99 13 27 ");
    EXPECT_EQ(pty.receive(100ms), "") << "nothing is echoed";
    EXPECT_TRUE(same_settings(settings(), before)) << "restored at exit";
    EXPECT_LT(max_kbhit_us(helper.out()), 200000);
}

TEST_F(TerminalKeys, SettingsAreRestoredAfterSigterm) {
    const termios before = settings();
    Child helper({PLATFORM_HELPER, "keys", "10000"}, pty.slave);
    ASSERT_TRUE(helper.wait_for("ready", 5s)) << helper.out();
    ASSERT_FALSE(same_settings(settings(), before));
    kill(helper.pid(), SIGTERM);
    int st = helper.wait(5s);
    ASSERT_TRUE(WIFSIGNALED(st)) << st;
    EXPECT_EQ(WTERMSIG(st), SIGTERM);
    EXPECT_TRUE(same_settings(settings(), before));
}

TEST(PipedKeys, BytesFromAPipeAreKeys) {
    testsupport::RunOptions opt;
    opt.stdin_data = std::string("q\n\x1b[Bz\0\x1b", 8);
    auto r = testsupport::run({PLATFORM_HELPER, "keys", "5000"}, opt);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(keys_of(r.out), "113 10 122 0 27 ");
}

TEST(PipedKeys, InputAtItsEndGivesNoKeys) {
    testsupport::RunOptions null_input;
    testsupport::RunOptions closed_pipe;
    closed_pipe.stdin_null = false;
    for (const auto& opt : {null_input, closed_pipe}) {
        auto r = testsupport::run({PLATFORM_HELPER, "keys", "300"}, opt);
        EXPECT_EQ(r.exit_code, 1) << r.out; // ran out of time, no ESC
        EXPECT_EQ(keys_of(r.out), "");
        EXPECT_GE(max_kbhit_us(r.out), 0);
        EXPECT_LT(max_kbhit_us(r.out), 20000) << "_kbhit never blocks";
        EXPECT_LT(r.seconds, 3);
    }
    // Standard input closed altogether.
    Child helper({PLATFORM_HELPER, "keys", "300"}, -1);
    EXPECT_EQ(helper.wait(5s) >> 8, 1);
    EXPECT_EQ(keys_of(helper.out()), "");
    EXPECT_LT(max_kbhit_us(helper.out()), 20000);
}

} // namespace
