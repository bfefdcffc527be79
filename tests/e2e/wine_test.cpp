// The Windows build under Wine: its COM port is linked to the virtual board's
// pseudo-terminal through the Wine prefix, and keys reach its console through the key tool.
#include "tests/e2e/board.h"
#include "tests/e2e/wine_keys.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

using namespace e2e;
using testsupport::lines;

namespace {

class Wine : public testing::Test {
  protected:
    void SetUp() override {
        if (!wine_exe())
            GTEST_SKIP() << "LARKSPUR_WINE_EXE names no Windows build";
        const char* prefix = std::getenv("WINEPREFIX");
        ASSERT_TRUE(prefix && *prefix) << "the Wine tests need their own WINEPREFIX";
        dosdevices = std::string(prefix) + "/dosdevices";
    }
    void TearDown() override {
        for (const std::string& link : links)
            unlink(link.c_str());
    }
    // Wine's COMn becomes the board's pseudo-terminal.
    void link_com(const Session& s, int n) {
        std::string pts = std::filesystem::read_symlink(s.devices() + "/com" + std::to_string(n));
        std::string link = dosdevices + "/com" + std::to_string(n);
        unlink(link.c_str());
        ASSERT_EQ(symlink(pts.c_str(), link.c_str()), 0) << link;
        links.push_back(link);
    }
    std::string dosdevices;
    std::vector<std::string> links;
};

TEST_F(Wine, SerialRunsToTheTestProgram) {
    for (const char* target : {"egret", "heron"}) {
        SCOPED_TRACE(target);
        Session s;
        s.board(std::string(target) + " uart --com 5");
        link_com(s, 5);
        auto run = s.start({"-t", target, "-df", s.example(target), "-com", "5"});
        ASSERT_TRUE(run->wait_for_output("DDR test: PASS", 90s)) << run->out() << s.board_log();
        EXPECT_EQ(head_lines(run->out(), 6), lines("Open COM5 OK.\n" + kLoaded + kRunning + "\n"));
        EXPECT_NE(run->out().find("Image check: OK"), std::string::npos);
        s.send(*run, "q");
        EXPECT_TRUE(testsupport::eventually(
            [&] { return s.board_log().find("KEY 0x71") != std::string::npos; }, 20s))
            << s.board_log();
        EXPECT_TRUE(run->wait_for_output("Key 0x71", 20s)) << run->out();
        s.send(*run, "\x1b");
        EXPECT_EQ(run->wait_exit(20s), 0) << run->out();
        EXPECT_EQ(s.board_lines("RX "), std::vector<std::string>{"RX 71"}) << s.board_log();
        std::string wine_image = s.received_image(0);

        // The Linux build sends the same bytes for the same script and image.
        s.board(std::string(target) + " uart --com 6");
        std::vector<std::string> native = {LARKSPUR_EXE,      "-t",   target, "-df",
                                           s.example(target), "-com", "6"};
        testsupport::Process linux_run(native, s.larkspur_options());
        ASSERT_TRUE(linux_run.wait_for_output("DDR test: PASS", 60s))
            << linux_run.out() << s.board_log(1);
        EXPECT_EQ(s.received_image(1), wine_image);
        EXPECT_EQ(s.board_lines("FRAME ", 1), s.board_lines("FRAME ", 0));
        EXPECT_EQ(s.board_lines("DCD ", 1), s.board_lines("DCD ", 0));
    }
}

TEST_F(Wine, InputFailuresBehindAnOpenPort) {
    Session s;
    s.board("egret uart --com 5");
    link_com(s, 5);
    const std::string syntax = "\nThe ddr init file has some syntax error.";
    // A script's bytes read as on Linux: a carriage return before the line feed is removed
    // once, any other stays part of its word.
    const std::pair<std::string, std::string> cases[] = {
        {"setmem /32 0x53fd4000 = 0x1\nsetmem /32 0x10 = 0x1\n",
         "dcd address 0x00000010 out of valid range.\nthe addr out of valid range."},
        {"setmem /32 0x53fd4000 = 0x1\r\r\nsetmem /32 0x53fd\r4000 = 0x1\r\n",
         "Syntax error in line 1: value is not a valid num." + syntax},
        {"setmem /32 0x53fd4000 = 0x1\r\nsetmem /32 0x53fd\r4000 = 0x1\r\n",
         "Syntax error in line 2: address is not a valid num." + syntax}};
    for (const auto& [text, want] : cases) {
        s.dir.write("bad.inc", text);
        auto r = s.run({"-t", "egret", "-df", "bad.inc", "-com", "5"});
        EXPECT_EQ(lines(r.out), lines("Open COM5 OK.\n" + want));
        EXPECT_EQ(r.exit_code, 255);
    }
    EXPECT_TRUE(s.board_lines("FRAME ").empty()) << s.board_log();
}

// The no-device lines are the command-line tests' (run under Wine too); without the USB
// driver the open fails at once instead of waiting for a board.
TEST_F(Wine, NoUsbDriver) {
    Session s;
    auto r = s.run({"-t", "egret", "-df", s.example("egret"), "-usb"});
    EXPECT_EQ(lines(r.out),
              std::vector<std::string>{"OpenUSB() failed! Please make sure board connected and "
                                       "in serial download mode."});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_LT(r.seconds, 20);
}

} // namespace
