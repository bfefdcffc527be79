// Several boards on one host: a run takes only its own board, the one LARKSPUR_BOARD names or
// else the first found, and after the start comes back to that board while the others' boot
// ROM devices are still there.
#include "tests/e2e/board.h"

using namespace e2e;
using testsupport::lines;

namespace {

const std::string kAmbiguous = "larkspur: more than one board found, on ports 1-1, 1-2; using "
                               "the one on 1-1 (set LARKSPUR_BOARD to a port to choose another)\n";
const std::string kFalconFailed = "Open FALCON device failed! Please make sure board connected "
                                  "and in serial download mode.\n";
const std::string kUsbFailed = "OpenUSB() failed! Please make sure board connected and in serial "
                               "download mode.\n";

struct BoardsCase {
    const char* name;
    std::vector<std::string> boards; // one larkspur-board process, one emulation
    std::string choose;              // LARKSPUR_BOARD; empty: unset
    std::string head;                // the run's first lines (a failure's: all of them)
    int exit_code;
    int ran;         // the board the run must reach; -1: none
    std::string err; // standard error, exactly
    friend void PrintTo(const BoardsCase& c, std::ostream* os) { *os << c.name; }
};

const BoardsCase kCases[] = {
    {"kestrel_chosen",
     {"kestrel hid", "kestrel hid"},
     "1-2",
     "KESTREL opened.\n" + kFalconRun,
     0,
     1,
     ""},
    // The run's board comes back after the relay has begun to look for it, the other's boot ROM
    // device there all along.
    {"kestrel_first_of_two",
     {"kestrel hid --reappear-after 5000", "kestrel hid"},
     "",
     "KESTREL opened.\n" + kFalconRun,
     0,
     0,
     kAmbiguous},
    {"kestrel_below_a_hub",
     {"kestrel hid --port 1-4", "kestrel hid --port 1-3.1"},
     "1-3",
     "KESTREL opened.\n" + kFalconRun,
     0,
     1,
     ""},
    {"egret_usb_first_of_two",
     {"egret usb --reappear-after 5000", "egret usb"},
     "",
     kEgretUsbRun,
     0,
     0,
     kAmbiguous},
    {"egret_usb_chosen_by_id_path",
     {"egret usb", "egret usb"},
     "platform-larkspur-board-usb-0:2:1.0",
     kEgretUsbRun,
     0,
     1,
     ""},
    {"falcon_port_without_board",
     {"kestrel hid"},
     "1-3",
     kFalconFailed,
     255,
     -1,
     "larkspur: no board found on port 1-3 (LARKSPUR_BOARD)\n"},
    {"usb_malformed_choice",
     {"heron usb"},
     "usb3",
     kUsbFailed,
     255,
     -1,
     "larkspur: LARKSPUR_BOARD=usb3 names no USB port (as sysfs names it, such as 1-3.2, or as "
     "udev's ID_PATH or Windows' location path gives it); no device is opened\n"},
};

std::unique_ptr<testsupport::Process> start_on(Session& s, const std::string& setup,
                                               const std::string& choose) {
    testsupport::RunOptions opt = s.larkspur_options();
    if (!choose.empty())
        opt.env["LARKSPUR_BOARD"] = choose;
    return std::make_unique<testsupport::Process>(larkspur_argv(s.args_for(setup)), opt);
}

// What a board's log shows of a run that reached it.
bool reached(const Session& s, size_t board) {
    return !s.board_lines("FRAME ", board).empty() || !s.board_lines("RX ", board).empty();
}

class OneRun : public testing::TestWithParam<BoardsCase> {};

TEST_P(OneRun, TakesOnlyItsOwnBoard) {
    const BoardsCase& c = GetParam();
    Session s;
    s.boards_together(c.boards);
    auto run = start_on(s, c.boards.front(), c.choose);
    if (c.ran < 0) {
        EXPECT_EQ(run->wait_exit(20s), c.exit_code) << run->log();
        EXPECT_EQ(run->out(), c.head);
    } else {
        ASSERT_TRUE(run->wait_for_output("DDR test: PASS", 60s)) << run->log();
        std::vector<std::string> want = lines(c.head + "\n"), shown = lines(run->out());
        shown.resize(want.size());
        EXPECT_EQ(shown, want);
        run->send("q");
        EXPECT_TRUE(run->wait_for_output("Key 0x71", 10s)) << run->out();
        run->send("\x1b");
        EXPECT_EQ(run->wait_exit(10s), c.exit_code) << run->log();
        EXPECT_FALSE(s.board_lines("KEY 0x71", size_t(c.ran)).empty()) << s.board_log(c.ran);
    }
    EXPECT_EQ(run->err(), c.err);
    for (size_t b = 0; b < c.boards.size(); ++b)
        EXPECT_TRUE(int(b) == c.ran || !reached(s, b)) << "board " << b << ":\n" << s.board_log(b);
}

INSTANTIATE_TEST_SUITE_P(SeveralBoards, OneRun, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Two runs side by side, each bound to its own board of the same kind: each board sees only
// its run's key, and each run shows only its board's answer.
TEST(SeveralBoards, TwoRunsSideBySide) {
    Session s;
    s.boards_together({"kestrel hid", "kestrel hid"});
    auto first = start_on(s, "kestrel hid", "1-1");
    auto second = start_on(s, "kestrel hid", "1-2");
    for (auto* run : {first.get(), second.get()})
        ASSERT_TRUE(run->wait_for_output("DDR test: PASS", 60s)) << run->log();
    first->send("a");
    second->send("b");
    EXPECT_TRUE(first->wait_for_output("Key 0x61", 10s)) << first->out();
    EXPECT_TRUE(second->wait_for_output("Key 0x62", 10s)) << second->out();
    for (auto* run : {first.get(), second.get()}) {
        run->send("\x1b");
        EXPECT_EQ(run->wait_exit(10s), 0) << run->log();
        EXPECT_EQ(run->err(), "");
    }
    EXPECT_EQ(first->out().find("Key 0x62"), std::string::npos);
    EXPECT_EQ(second->out().find("Key 0x61"), std::string::npos);
    EXPECT_EQ(s.board_lines("KEY ", 0), std::vector<std::string>{"KEY 0x61"});
    EXPECT_EQ(s.board_lines("KEY ", 1), std::vector<std::string>{"KEY 0x62"});
}

} // namespace
