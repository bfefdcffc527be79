// The Windows build under Wine: its COM port is linked to the virtual board's
// pseudo-terminal through the Wine prefix. Wine passes no key presses to a console
// program's keyboard poll, so a relay is ended by stopping the process.
#include "tests/e2e/board.h"

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
        auto got = lines(run->out());
        got.resize(std::min<size_t>(got.size(), 6));
        EXPECT_EQ(got, lines("Open COM5 OK.\n" + kLoaded + kRunning + "\n"));
        EXPECT_NE(run->out().find("Image check: OK"), std::string::npos);
        std::string wine_frames = testsupport::read_file(s.log_paths[0]);
        std::string wine_image = s.received_image(0);
        run.reset(); // stops larkspur.exe

        // The Linux build sends the same bytes for the same script and image.
        s.board(std::string(target) + " uart --com 6");
        std::vector<std::string> native = {LARKSPUR_EXE,      "-t",   target, "-df",
                                           s.example(target), "-com", "6"};
        testsupport::Process linux_run(native, s.larkspur_options());
        ASSERT_TRUE(linux_run.wait_for_output("DDR test: PASS", 60s)) << linux_run.out();
        EXPECT_EQ(s.received_image(1), wine_image);
        EXPECT_EQ(s.board_lines("FRAME ", 1), s.board_lines("FRAME ", 0));
        EXPECT_EQ(s.board_lines("DCD ", 1), s.board_lines("DCD ", 0));
    }
}

TEST_F(Wine, InputFailuresBehindAnOpenPort) {
    Session s;
    s.board("egret uart --com 5");
    link_com(s, 5);
    s.dir.write("bad.inc", "setmem /32 0x53fd4000 = 0x1\nsetmem /32 0x10 = 0x1\n");
    s.dir.write("syntax.inc", "\nsetmem /32 0x53fd4000 0x1\n");
    auto stop = [&](const std::vector<std::string>& args, const std::vector<std::string>& want) {
        auto r = s.run(args);
        EXPECT_EQ(lines(r.out), want);
        EXPECT_EQ(r.exit_code, 255);
    };
    stop({"-t", "egret", "-df", "syntax.inc", "-com", "5"},
         {"Open COM5 OK.", "Syntax error in line 2: value is not a valid num.",
          "The ddr init file has some syntax error."});
    stop({"-t", "egret", "-df", "bad.inc", "-com", "5"},
         {"Open COM5 OK.", "dcd address 0x00000010 out of valid range.",
          "the addr out of valid range."});
    // A script's bytes read as on Linux: a carriage return before the line feed is removed
    // once, any other stays part of its word.
    s.dir.write("cr.inc", "setmem /32 0x53fd4000 = 0x1\r\r\nsetmem /32 0x53fd\r4000 = 0x1\r\n");
    stop({"-t", "egret", "-df", "cr.inc", "-com", "5"},
         {"Open COM5 OK.", "Syntax error in line 1: value is not a valid num.",
          "The ddr init file has some syntax error."});
    s.dir.write("cr.inc", "setmem /32 0x53fd4000 = 0x1\r\nsetmem /32 0x53fd\r4000 = 0x1\r\n");
    stop({"-t", "egret", "-df", "cr.inc", "-com", "5"},
         {"Open COM5 OK.", "Syntax error in line 2: address is not a valid num.",
          "The ddr init file has some syntax error."});
    EXPECT_TRUE(s.board_lines("FRAME ").empty()) << s.board_log();
}

TEST_F(Wine, NoDeviceNoDriver) {
    Session s;
    auto r = s.run({"-t", "falcon", "-df", s.example("kestrel")});
    EXPECT_EQ(lines(r.out),
              std::vector<std::string>{"Open FALCON device failed! Please make sure board "
                                       "connected and in serial download mode."});
    EXPECT_EQ(r.exit_code, 255);
    r = s.run({"-t", "egret", "-df", s.example("egret"), "-usb"});
    EXPECT_EQ(lines(r.out),
              std::vector<std::string>{"OpenUSB() failed! Please make sure board connected and "
                                       "in serial download mode."});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_LT(r.seconds, 20) << "without the driver the open fails at once";
    r = s.run({"-t", "heron", "-df", s.example("heron"), "-com", "250"});
    EXPECT_EQ(lines(r.out),
              (std::vector<std::string>{"OpenUART:open COM250 failed.", "Open com250 failed!"}));
}

} // namespace
