// What the Linux host adds to a run's lines: why a device that is there cannot be opened,
// and runs whose standard output or input goes away.
#include "tests/e2e/board.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace e2e;
using testsupport::lines;

namespace {

std::string real_path(const std::string& path) {
    std::error_code ec;
    std::string real = std::filesystem::canonical(path, ec).string();
    EXPECT_FALSE(ec) << path;
    return real;
}

// The node a board made, as larkspur names it, and the file behind it on this machine.
struct Node {
    std::string named, file;
};

Node node_of(Session& s, const std::string& transport) {
    const std::vector<std::string> ready = s.board_lines("READY ");
    if (ready.empty())
        return {};
    const std::string entry = words(ready.back()).at(1);
    if (transport == "uart") {
        const std::string tty = real_path(s.devices() + "/" + entry);
        return {tty, tty};
    }
    // An emulated node lives in the board's test bed, under its /dev.
    return {entry, real_path(s.larkspur_options().env["UMOCKDEV_DIR"] + entry)};
}

std::string why(const std::string& node, const std::string& reason) {
    return "larkspur: cannot open " + node + ": " + reason +
           " (see \"Real boards on Linux\" in the README)\n";
}

struct Refusal {
    const char* name;
    std::string board;
    std::string lines; // standard output, whole
    std::string reason;
    friend void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }
};

const std::string kMakeSure = " Please make sure board connected and in serial download mode.\n";

const Refusal kRefusals[] = {
    // Another program holds the port (larkspur takes it exclusively, as Windows does).
    {"serial_port_busy", "egret uart", "OpenUART:open COM7 failed.\nOpen com7 failed!\n", "busy"},
    {"serial_port_denied", "egret uart", "OpenUART:open COM7 failed.\nOpen com7 failed!\n",
     "permission denied"},
    // The search opens the node once for each of the three variants: one line all the same.
    {"hid_node_denied", "kestrel hid", "Open FALCON device failed!" + kMakeSure,
     "permission denied"},
    {"usb_node_denied", "heron usb", "OpenUSB() failed!" + kMakeSure, "permission denied"},
};

class DeviceRefused : public testing::TestWithParam<Refusal> {};

// The lines and exit value of a device missing, and one line on standard error naming the
// node and the reason. A denied node is made unreadable; as root, whom file modes do not
// stop, larkspur runs without the capabilities that override them.
TEST_P(DeviceRefused, SaysWhyOnStandardErrorAlone) {
    const Refusal& r = GetParam();
    Session s;
    s.board(r.board);
    const std::string transport = words(r.board).at(1);
    const Node node = node_of(s, transport);
    ASSERT_FALSE(node.file.empty()) << s.board_log();

    std::vector<std::string> prefix;
    int holder = -1;
    if (r.reason == "busy") {
        holder = open(node.file.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    } else {
        ASSERT_EQ(chmod(node.file.c_str(), 0), 0) << node.file;
        if (geteuid() == 0)
            prefix = {"setpriv", "--inh-caps=-dac_override,-dac_read_search",
                      "--bounding-set=-dac_override,-dac_read_search", "--"};
    }
    std::vector<std::string> argv = prefix;
    argv.push_back(LARKSPUR_EXE);
    for (const std::string& w : s.args_for(r.board))
        argv.push_back(w);
    testsupport::RunOptions opt = s.larkspur_options();
    opt.timeout = 40s;
    const testsupport::RunResult run = testsupport::run(argv, opt);
    if (holder >= 0)
        close(holder);

    EXPECT_EQ(run.out, r.lines);
    EXPECT_EQ(run.exit_code, 255);
    EXPECT_EQ(run.err, why(node.named, r.reason));
    EXPECT_LT(run.seconds, 20) << "a refused device is not waited for";
}

INSTANTIATE_TEST_SUITE_P(HostErrors, DeviceRefused, testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// CPU time (user and system) the process has used so far, in clock ticks.
long cpu_ticks(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // The command name may hold blanks: fields count from after its closing parenthesis.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// keys: typed during the relay, ESC last; terminal: the same at a terminal
enum class Input { keys, terminal, esc_then_end, end, null };

// Whether the terminal behind fd echoes what is typed.
bool echoes(int fd) {
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t.c_lflag & ECHO;
}

struct Ending {
    const char* name;
    std::string board;
    Input input;
    std::string head;    // the first lines on standard output; none when nobody reads it
    int exit = 0;        // -1: the run relays on until it is stopped
    bool closed = false; // standard output closed outright (`>&-`), not a pipe
    friend void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }
};

const Ending kEndings[] = {
    // `larkspur ... | head -1`: prints fail from the first line on; the run goes through its
    // download and relay, a key still reaches the board, and ESC ends it with 0.
    {"reader_gone_relays_to_esc", "egret uart", Input::keys, "", 0},
    // At a terminal: unechoed keys while it runs, the terminal as it was once it has ended.
    {"reader_gone_at_a_terminal", "egret uart", Input::terminal, "", 0},
    // The descriptor a closed standard output leaves free is not the board's device, which
    // would then be written every line.
    {"stdout_closed_hid", "kestrel hid", Input::keys, "", 0, true},
    {"reader_gone_failure_exit", "egret uart --gate product", Input::null, "", 255},
    // `(sleep N; printf '\033') | larkspur ...`: the ESC is the last byte before the end.
    {"esc_then_end_of_input_serial", "egret uart", Input::esc_then_end, kSerialRun, 0},
    {"esc_then_end_of_input_hid", "hobby hid", Input::esc_then_end, "HOBBY opened.\n" + kFalconRun,
     0},
    // No ESC ever comes: the run relays on, without spinning a core.
    {"end_of_input_relays_on_serial", "egret uart", Input::end, kSerialRun, -1},
    {"end_of_input_relays_on_usb", "heron usb", Input::end, kHeronUsbRun, -1},
    {"null_input_relays_on_hid", "kestrel hid", Input::null, "KESTREL opened.\n" + kFalconRun, -1},
};

class StreamsGone : public testing::TestWithParam<Ending> {};

TEST_P(StreamsGone, RunGoesOnAndEndsAsItWould) {
    const Ending& e = GetParam();
    Session s;
    s.board(e.board);
    testsupport::RunOptions opt = s.larkspur_options();
    opt.stdout_gone = e.head.empty();
    opt.stdin_terminal = e.input == Input::terminal;
    const bool typed = e.input == Input::keys || e.input == Input::terminal;
    std::vector<std::string> argv = larkspur_argv(s.args_for(e.board));
    if (e.closed)
        argv.insert(argv.begin(), {"sh", "-c", "exec \"$0\" \"$@\" >&-"});
    testsupport::Process run(argv, opt, false, e.input == Input::null);
    if (e.input == Input::esc_then_end)
        run.send("\x1b");
    if (!typed)
        run.close_stdin();

    int terminal = -1; // the run's terminal, seen from here
    if (typed) {
        // Nobody reads the output: the board's log shows the test program running.
        ASSERT_TRUE(testsupport::eventually(
            [&] { return !s.board_lines("PASS ").empty() || !run.running(); }, 60s));
        ASSERT_TRUE(run.running()) << "ended with " << run.wait_exit(0ms) << ": " << run.err();
        run.send("q");
        EXPECT_TRUE(testsupport::eventually([&] { return !s.board_lines("KEY ").empty(); }, 10s))
            << s.board_log();
        if (e.closed) {
            EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(run.pid()) + "/fd/1"),
                      "/dev/null");
        }
        if (e.input == Input::terminal) {
            const std::string tty =
                std::filesystem::read_symlink("/proc/" + std::to_string(run.pid()) + "/fd/0");
            terminal = open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(terminal, 0) << tty;
            EXPECT_FALSE(echoes(terminal)) << "the relay reads keys unechoed";
        }
        run.send("\x1b");
    }
    if (e.exit >= 0) {
        // Bounded: a key reader that takes the end of input for an empty read never ends.
        EXPECT_EQ(run.wait_exit(60s), e.exit) << run.err();
    } else {
        // The board's output goes on arriving after the input ended; the run stays alive,
        // using little of a core, until the test stops it.
        ASSERT_TRUE(run.wait_for_output("DDR test: PASS", 60s)) << run.out() << run.err();
        const long before = cpu_ticks(run.pid());
        testsupport::eventually([] { return false; }, 1000ms);
        const long used = cpu_ticks(run.pid()) - before;
        EXPECT_TRUE(run.running()) << run.err();
        EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4) << "ticks of CPU in one second";
        EXPECT_EQ(run.wait_exit(0ms), -1) << "stopped by the test";
    }
    run.finish();
    EXPECT_EQ(run.err(), "");
    if (terminal >= 0) {
        EXPECT_TRUE(echoes(terminal)) << "the terminal was left as the run had it";
        close(terminal);
    }
    if (e.exit == 255) {
        EXPECT_EQ(s.board_lines("FRAME ").size(), 1u) << "the GATE query alone";
    }
    const auto got = lines(run.out());
    const auto head = lines(e.head);
    ASSERT_GE(got.size(), head.size()) << run.out();
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + long(head.size())), head);
}

INSTANTIATE_TEST_SUITE_P(HostErrors, StreamsGone, testing::ValuesIn(kEndings),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
