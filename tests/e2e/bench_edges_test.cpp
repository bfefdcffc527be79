// What a bench meets beyond the happy path: full-speed USB downloads of the largest image,
// download progress on a terminal only, and script line ends read alike by both builds.
#include "tests/e2e/board.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

using namespace e2e;
using testsupport::lines;

namespace {

constexpr const char* kLargestImage = "106496";
const std::string kRunning = "Running DDR test..., press \"ESC\" key to exit.";

std::vector<std::string> head(const std::string& out, size_t n) {
    auto l = lines(out);
    if (l.size() > n)
        l.resize(n);
    return l;
}

TEST(FullSpeedUsb, LargestImageDownloadsAndRuns) {
    for (const char* target : {"egret", "heron"}) {
        SCOPED_TRACE(target);
        Session s(kLargestImage);
        s.start_board({target, "usb", {"--usb-rate", "1000000"}});
        auto run = s.start({"-t", target, "-df", s.example(target), "-usb"});
        ASSERT_TRUE(run->wait_for_output("DDR test: PASS", 60s)) << run->out() << s.board_log();
        std::vector<std::string> want = {"OpenUSB() OK!",
                                         "GATE_TYPE: DEVELOP",
                                         "Image loading...",
                                         "download Image to IRAM OK",
                                         "",
                                         std::string("Re-open the ") + target + " device.",
                                         kRunning};
        if (std::string(target) == "egret")
            want.insert(want.begin() + 1, "USB valid flag for egret set.");
        EXPECT_EQ(head(run->out(), want.size()), want);
        EXPECT_EQ(s.received_image().size(), 106496u);
        run->send("\x1b");
        EXPECT_EQ(run->wait_exit(10s), 0);
    }
}

TEST(FullSpeedUsb, BoardThatBarelyTakesDataFailsInBoundedTime) {
    // At 1000 bytes/s the largest image would need 106 s on the wire.
    Session s(kLargestImage);
    s.start_board({"egret", "usb", {"--usb-rate", "1000"}});
    auto r = s.run({"-t", "egret", "-df", s.example("egret"), "-usb"}, 30s);
    EXPECT_EQ(lines(r.out),
              (std::vector<std::string>{"OpenUSB() OK!", "USB valid flag for egret set.",
                                        "GATE_TYPE: DEVELOP", "Image loading...",
                                        "rom_write_image: sending file failed",
                                        "download Image to IRAM failed"}));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_LT(r.seconds, 10);
}

// A run with standard error on a pseudo-terminal, standard output in a file and ESC
// pressed (on a pipe) once the relay runs. Returns what the terminal showed.
struct TerminalRun {
    std::string out, err;
    int exit_code = -1;
};

TerminalRun run_with_terminal_stderr(const Session& s, const std::vector<std::string>& args) {
    TerminalRun res;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return res;
    }
    int in_pipe[2];
    EXPECT_EQ(pipe2(in_pipe, O_CLOEXEC), 0);
    std::string out_path = s.dir.file("stdout.txt");
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid =
        testsupport::spawn(larkspur_argv(args), s.larkspur_options(), in_pipe[0], out_fd, slave);
    close(slave);
    close(in_pipe[0]);
    close(out_fd);
    bool esc_sent = false;
    int status = -1;
    auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                res.err.append(buf, size_t(n));
        }
        if (status >= 0)
            break; // the terminal is drained after the exit
        if (!esc_sent &&
            testsupport::read_file(out_path).find("DDR test: PASS") != std::string::npos) {
            EXPECT_EQ(write(in_pipe[1], "\x1b", 1), 1);
            esc_sent = true;
        }
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid)
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        else if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the run did not end";
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
    }
    close(in_pipe[1]);
    close(master);
    res.out = testsupport::read_file(out_path);
    res.exit_code = status;
    return res;
}

TEST(DownloadProgress, OnATerminalOnlyAndNeverInStandardOutput) {
    // 16 KiB at 115200 baud take about 1.4 s. (The pseudo-terminal takes the first bytes
    // at once into its buffer, so how many updates show before the end varies.)
    Session s("16384");
    s.start_board({"egret", "uart", {"--baud", "115200"}}, 7);
    const std::vector<std::string> args = {"-t", "egret", "-df", s.example("egret"), "-com", "7"};
    const std::vector<std::string> want = {
        "Open COM7 OK.", "GATE_TYPE: DEVELOP", "Image loading...", "download Image to IRAM OK", "",
        kRunning};

    TerminalRun tty = run_with_terminal_stderr(s, args);
    EXPECT_EQ(head(tty.out, 6), want);
    EXPECT_EQ(tty.exit_code, 0);
    // Updated in place: each update begins with a carriage return, and the last one is
    // wiped so that the next line of standard output starts clean.
    const std::string done = "\r16384 / 16384 bytes (100%)";
    size_t last = tty.err.rfind(done);
    ASSERT_NE(last, std::string::npos) << tty.err;
    EXPECT_EQ(tty.err.substr(last + done.size()), "\r" + std::string(done.size() - 1, ' ') + "\r");
    size_t updates = 0;
    for (size_t i = 0; (i = tty.err.find('\r', i)) < last; ++i)
        updates += std::isdigit(static_cast<unsigned char>(tty.err[i + 1])) != 0;
    EXPECT_GE(updates, 1u) << "no update before the end: " << tty.err;
    EXPECT_EQ(tty.err.find('\n'), std::string::npos) << tty.err;

    s.start_board({"egret", "uart", {"--baud", "115200"}}, 8);
    auto piped = s.start({"-t", "egret", "-df", s.example("egret"), "-com", "8"});
    ASSERT_TRUE(piped->wait_for_output("DDR test: PASS", 60s)) << piped->out();
    piped->send("\x1b");
    EXPECT_EQ(piped->wait_exit(10s), 0);
    std::vector<std::string> want_piped = want;
    want_piped[0] = "Open COM8 OK.";
    EXPECT_EQ(head(piped->out(), 6), want_piped);
    EXPECT_EQ(piped->err(), "");
    EXPECT_EQ(s.received_image(1), s.received_image(0)) << "the bytes on the wire changed";
}

// The Windows build under Wine, its COM port linked to the board's pseudo-terminal.
// (A suite of its own: wine_test.cpp's fixture owns the name Wine.)
class WineLineEnds : public testing::Test {
  protected:
    void SetUp() override {
        if (!wine_exe())
            GTEST_SKIP() << "LARKSPUR_WINE_EXE names no Windows build";
        const char* prefix = std::getenv("WINEPREFIX");
        ASSERT_TRUE(prefix && *prefix) << "the Wine tests need their own WINEPREFIX";
        link = std::string(prefix) + "/dosdevices/com9";
    }
    void TearDown() override {
        if (!link.empty())
            unlink(link.c_str());
    }
    std::string link;
};

TEST_F(WineLineEnds, ScriptCarriageReturnsReadAsOnLinux) {
    Session s;
    s.start_board({"egret", "uart", {}}, 9);
    std::string pts = std::filesystem::read_symlink(s.devices() + "/com9");
    unlink(link.c_str());
    ASSERT_EQ(symlink(pts.c_str(), link.c_str()), 0) << link;

    const std::string syntax = "The ddr init file has some syntax error.";
    const struct {
        const char* name;
        const char* script;
        std::vector<std::string> after_open;
    } cases[] = {
        {"stray_before_end.inc",
         "setmem /32 0x53fd4000 = 0x1\r\r\n",
         {"Syntax error in line 1: value is not a valid num.", syntax}},
        {"inside_word.inc",
         "setmem /32 0x53fd\r4000 = 0x1\r\n",
         {"Syntax error in line 1: address is not a valid num.", syntax}},
        // One CR before the LF is a line end on both: the run gets past the script.
        {"crlf.inc",
         "setmem /32 0x53fd4000 = 0x1\r\n",
         {"Open the image file larkspur-egret.bin failed."}},
    };
    std::remove(s.image("egret").c_str()); // nothing goes to the board
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        s.dir.write(c.name, c.script);
        std::vector<std::string> want = {"Open COM9 OK."};
        want.insert(want.end(), c.after_open.begin(), c.after_open.end());
        auto windows = s.run({"-t", "egret", "-df", c.name, "-com", "9"});
        EXPECT_EQ(lines(windows.out), want);
        EXPECT_EQ(windows.exit_code, 255);
        testsupport::RunOptions opt = s.larkspur_options();
        auto native =
            testsupport::run({LARKSPUR_EXE, "-t", "egret", "-df", c.name, "-com", "9"}, opt);
        EXPECT_EQ(lines(native.out), want);
        EXPECT_EQ(native.exit_code, 255);
    }
    EXPECT_TRUE(s.board_lines("FRAME ").empty()) << s.board_log();
}

} // namespace
