// Every way the boot ROM phase can stop: the exact lines, exit value 255, bounded time, and
// for input failures nothing at all on the wire.
#include "tests/e2e/board.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace e2e;
using testsupport::lines;
using testsupport::RunResult;

namespace {

const std::string kNotConnected = "Please make sure board connected and in serial download mode.";

std::vector<std::string> egret_serial(const Session& s, const std::string& script = "") {
    return {"-t", "egret", "-df", script.empty() ? s.example("egret") : script, "-com", "7"};
}

std::vector<std::string> falcon(const Session& s, const std::string& variant) {
    return {"-t", "falcon", "-df", s.example(variant)};
}

void expect_stop(const RunResult& r, const std::vector<std::string>& want) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(lines(r.out), want);
    EXPECT_EQ(r.exit_code, 255);
}

TEST(NoDevice, SerialPortMissing) {
    Session s;
    expect_stop(s.run({"-t", "heron", "-df", s.example("heron"), "-com", "250"}),
                {"OpenUART:open COM250 failed.", "Open com250 failed!"});
    // an empty -com value passes the checks and names the port "COM"
    expect_stop(s.run({"-t", "egret", "-df", s.example("egret"), "-com", ""}),
                {"OpenUART:open COM failed.", "Open com failed!"});
}

TEST(NoDevice, NoFalconVariant) {
    Session s;
    RunResult r = s.run(falcon(s, "kestrel"), 10s);
    expect_stop(r, {"Open FALCON device failed! " + kNotConnected});
    EXPECT_LT(r.seconds, 5) << "each probe is a single attempt";
}

TEST(NoDevice, UsbBoardNeverAttaches) {
    Session s;
    RunResult r = s.run({"-t", "egret", "-df", s.example("egret"), "-usb"}, 60s);
    expect_stop(r, {"OpenUSB() failed! " + kNotConnected});
    EXPECT_GE(r.seconds, 29);
}

TEST(FalconProbe, EarlierVariantWins) {
    Session s;
    s.start_board({"hobby", "", {}});
    s.start_board({"merlin", "", {}});
    auto run = s.start(falcon(s, "merlin"));
    ASSERT_TRUE(run->wait_for_output("Image loading...", 30s)) << run->out();
    EXPECT_EQ(lines(run->out()).front(), "MERLIN opened.");
    EXPECT_TRUE(s.board_lines("FRAME ", 0).empty()) << "the hobby board was left alone";
}

// Input failures stop before anything reaches the board.
class InputFailure : public testing::Test {
  protected:
    void SetUp() override { session.start_board({"egret", "uart", {}}, 7); }
    void expect_nothing_sent() {
        testsupport::eventually([] { return false; }, 200ms);
        EXPECT_TRUE(session.board_lines("FRAME ").empty()) << session.board_log();
        EXPECT_TRUE(session.board_lines("REJECT").empty()) << session.board_log();
    }
    std::string script(const std::string& text) {
        session.dir.write("board.inc", text);
        return "board.inc";
    }
    Session session;
};

TEST_F(InputFailure, ScriptMissing) {
    expect_stop(session.run(egret_serial(session, "missing.inc")),
                {"Open COM7 OK.", "Open ddr init file missing.inc failed."});
    expect_nothing_sent();
}

TEST_F(InputFailure, ScriptSyntaxError) {
    expect_stop(session.run(egret_serial(session, script("// x\n\nsetmem /32 0x53fd4000 = 12\n"))),
                {"Open COM7 OK.", "Syntax error in line 3: value is not a valid num.",
                 "The ddr init file has some syntax error."});
    expect_stop(session.run(egret_serial(session, script(std::string(300, 'x') + "\n"))),
                {"Open COM7 OK.", "Syntax error in line 1: line too long.",
                 "The ddr init file has some syntax error."});
    expect_nothing_sent();
}

TEST_F(InputFailure, AddressOutsideTheMap) {
    expect_stop(session.run(egret_serial(
                    session, script("setmem /32 0x53fd4000 = 0x1\nsetmem /32 0x53fd8000 = 0x1\n"
                                    "setmem /32 0x00000000 = 0x1\n"))),
                {"Open COM7 OK.", "dcd address 0x53fd8000 out of valid range.",
                 "the addr out of valid range."});
    expect_nothing_sent();
}

TEST_F(InputFailure, ImageMissingEmptyOrTooSmall) {
    std::string path = session.image("egret");
    std::string full = testsupport::read_file(path);
    std::remove(path.c_str());
    expect_stop(session.run(egret_serial(session)),
                {"Open COM7 OK.", "Open the image file larkspur-egret.bin failed."});
    session.dir.write("larkspur-egret.bin", "");
    expect_stop(session.run(egret_serial(session)),
                {"Open COM7 OK.", "Read the image file larkspur-egret.bin failed."});
    session.dir.write("larkspur-egret.bin", full.substr(0, 1651));
    expect_stop(session.run(egret_serial(session)),
                {"Open COM7 OK.", "The image file larkspur-egret.bin is too small."});
    expect_nothing_sent();
}

TEST(ImageTooSmall, HeronNeedsItsWholeRegion) {
    Session s;
    s.start_board({"heron", "usb", {}});
    std::string full = testsupport::read_file(s.image("heron"));
    s.dir.write("larkspur-heron.bin", full.substr(0, 1667));
    expect_stop(s.run({"-t", "heron", "-df", s.example("heron"), "-usb"}),
                {"OpenUSB() OK!", "The image file larkspur-heron.bin is too small."});
    EXPECT_TRUE(s.board_lines("FRAME ").empty());
}

TEST(Gate, ProductBoardIsRefusedBeforeAnyWrite) {
    Session s;
    s.start_board({"egret", "uart", {"--gate", "product"}}, 7);
    expect_stop(s.run(egret_serial(s)),
                {"Open COM7 OK.", "GATE_TYPE: PRODUCT. Not supported yet."});
    s.start_board({"kestrel", "", {"--gate", "product"}});
    expect_stop(s.run(falcon(s, "kestrel")),
                {"KESTREL opened.", "GATE_TYPE: PRODUCT. Not supported yet."});
    for (size_t b : {0u, 1u}) {
        EXPECT_TRUE(s.board_lines("REG ", b).empty());
        EXPECT_TRUE(s.board_lines("IMAGE ", b).empty());
    }
}

TEST(Gate, SilentBoard) {
    Session s;
    s.start_board({"egret", "usb", {"--silent", "gate"}});
    RunResult r = s.run({"-t", "egret", "-df", s.example("egret"), "-usb"});
    expect_stop(r, {"OpenUSB() OK!", "USB valid flag for egret set.",
                    "rom_check_gate: reading GATE ack failed 0x00000000",
                    "rom_check_gate() failed." + kNotConnected});

    // the serial port waits its read timeout: 5000 + 4 x 500 ms
    s.start_board({"heron", "uart", {"--silent", "gate"}}, 8);
    r = s.run({"-t", "heron", "-df", s.example("heron"), "-com", "8"});
    expect_stop(r, {"Open COM8 OK.", "rom_check_gate: reading GATE ack failed 0x00000000",
                    "rom_check_gate() failed." + kNotConnected});
    EXPECT_GT(r.seconds, 6.5);
    EXPECT_LT(r.seconds, 12);
}

TEST(WrongAck, EgretGateAndImage) {
    Session s;
    s.start_board({"egret", "uart", {"--wrong-ack", "gate"}}, 7);
    RunResult r = s.run(egret_serial(s));
    expect_stop(r, {"Open COM7 OK.",
                    "rom_check_gate: reading GATE ack failed " + ack_after_last_frame(s, 0),
                    "rom_check_gate() failed." + kNotConnected});

    s.start_board({"egret", "uart", {"--wrong-ack", "image-gate"}}, 8);
    r = s.run({"-t", "egret", "-df", s.example("egret"), "-com", "8"});
    expect_stop(r, {"Open COM8 OK.", "GATE_TYPE: DEVELOP", "Image loading...",
                    "rom_write_image: reading GATE ack failed " + ack_after_last_frame(s, 0, 1),
                    "download Image to IRAM failed"});
    EXPECT_TRUE(s.board_lines("IMAGE ", 1).empty());
}

TEST(WrongAck, FalconRegisterWrites) {
    Session s;
    s.start_board({"merlin", "", {"--wrong-ack", "write-gate"}});
    RunResult r = s.run(falcon(s, "merlin"));
    expect_stop(r, {"MERLIN opened.", "GATE_TYPE: DEVELOP",
                    "rom_write: reading GATE ack failed " + ack_after_last_frame(s, 0),
                    "ROM Write failed, addr: 0x020c4018", "Write dcd failed."});
    s.boards[0]->stop();

    s.start_board({"merlin", "", {"--reject-write", "3"}});
    r = s.run(falcon(s, "merlin"));
    expect_stop(r, {"MERLIN opened.", "GATE_TYPE: DEVELOP",
                    "rom_write: reading CMD ack failed " + ack_after_last_frame(s, 1, 1),
                    "ROM Write failed, addr: 0x020c406c", "Write dcd failed."});
    EXPECT_EQ(s.board_lines("REG ", 1).size(), 2u) << "the writes before stay written";
    EXPECT_TRUE(s.board_lines("IMAGE ", 1).empty());
}

TEST(WrongAck, FalconImage) {
    Session s;
    s.start_board({"hobby", "", {"--wrong-ack", "image-cmd"}});
    RunResult r = s.run(falcon(s, "hobby"));
    expect_stop(r, {"HOBBY opened.", "GATE_TYPE: DEVELOP", "Image loading...",
                    "rom_write: reading CMD ack failed " + ack_after_last_frame(s, 1),
                    "download Image to IRAM failed"});
    s.boards[0]->stop();
    s.start_board({"hobby", "", {"--silent", "image-gate"}});
    r = s.run(falcon(s, "hobby"));
    expect_stop(r, {"HOBBY opened.", "GATE_TYPE: DEVELOP", "Image loading...",
                    "rom_write_image: reading GATE ack failed " + ack_after_last_frame(s, 0, 1),
                    "download Image to IRAM failed"});
}

TEST(WrongAck, FalconGateSecondWordIsNotLookedAt) {
    Session s;
    s.start_board({"kestrel", "", {"--wrong-ack", "gate2", "--wrong-ack", "jump"}});
    auto run = s.start(falcon(s, "kestrel"));
    // a failed start is reported and the run still goes on to the console
    ASSERT_TRUE(run->wait_for_output("Running DDR test", 60s)) << run->out();
    auto got = lines(run->out());
    std::vector<std::string> want = {"KESTREL opened.",
                                     "GATE_TYPE: DEVELOP",
                                     "Image loading...",
                                     "download Image to IRAM OK",
                                     "",
                                     "rom_jump: reading GATE ack failed " +
                                         ack_after_last_frame(s, 0)};
    ASSERT_GE(got.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + want.size()), want);
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0);
}

TEST(WrongAck, EgretStartGoesOnToTheConsole) {
    Session s;
    s.start_board({"egret", "uart", {"--wrong-ack", "jump"}}, 7);
    auto run = s.start(egret_serial(s));
    ASSERT_TRUE(run->wait_for_output("Running DDR test", 60s)) << run->out();
    auto got = lines(run->out());
    std::vector<std::string> want = {"Open COM7 OK.",
                                     "GATE_TYPE: DEVELOP",
                                     "Image loading...",
                                     "download Image to IRAM OK",
                                     "",
                                     "rom_exec: reading ERROR ack failed " +
                                         ack_after_last_frame(s, 0),
                                     "Running DDR test..., press \"ESC\" key to exit."};
    ASSERT_GE(got.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + want.size()), want);
    run->send("\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0);
}

} // namespace
