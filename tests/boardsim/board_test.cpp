// What the end-to-end runs cannot see of larkspur-board: its device directory, and the checks its
// test program makes of a bad image or a bad DCD.
#include "boardsim/board.h"
#include "boardsim/log.h"
#include "boardsim/script.h"
#include "tests/e2e/board.h"

#include <csignal>
#include <regex>

using namespace std::literals;
using testsupport::Process;
using testsupport::run;
using testsupport::TempDir;

namespace {

const std::string kBoard = e2e::kBoardExe;

// An entry may be a link to a terminal that is gone.
bool exists(const std::string& p) {
    return std::filesystem::symlink_status(p).type() != std::filesystem::file_type::not_found;
}

// --devices, else $LARKSPUR_DEVICES, else $XDG_RUNTIME_DIR/larkspur-devices, made if
// missing; SIGINT, SIGTERM or SIGHUP ends a board of any transport with 0 and takes its entry
// along. A HID or USB board's device is in an emulation of its own instead, whose settings
// it prints. Standard output says once the device is there, whatever --log says.
TEST(BoardCli, DeviceEntryMadeWhereAskedAndRemovedOnSignal) {
    TempDir tmp;
    const std::string unused = tmp.file("unused");
    using Env = std::map<std::string, std::string>;
    const Env elsewhere = {{"LARKSPUR_DEVICES", unused}, {"XDG_RUNTIME_DIR", unused}},
              runtime = {{"LARKSPUR_DEVICES", ""}, {"XDG_RUNTIME_DIR", tmp.path()}},
              emulated = {{"TMPDIR", tmp.path()}};
    struct Case {
        std::string args, entry, ready;
        int sig;
        Env vars;
    } cases[] = {
        {"--target egret --devices " + tmp.file("a/b"), "a/b/com1", "READY egret uart com1",
         SIGTERM, elsewhere},
        {"--target heron --log " + tmp.file("h.log"), "larkspur-devices/com1",
         "READY heron uart com1", SIGHUP, runtime},
        {"--target hobby", "umockdev.*/dev/hidraw0", "READY hobby hid 1-1", SIGTERM, emulated},
        {"--target egret --transport usb --port 1-4.2 --log " + tmp.file("u.log"),
         "umockdev.*/dev/bus/usb/001/002", "READY egret usb 1-4.2", SIGINT, emulated}};
    for (Case& c : cases) {
        Process b(e2e::words(kBoard + " " + c.args), {.env = c.vars});
        ASSERT_TRUE(b.wait_for_output("READY ", 3000ms)) << c.entry << b.log();
        std::vector<std::string> printed = testsupport::lines(b.out());
        ASSERT_FALSE(printed.empty());
        EXPECT_EQ(printed.back(), c.ready);
        if (size_t star = c.entry.find('*'); star != std::string::npos) {
            ASSERT_EQ(printed.size(), 2u) << b.out();
            std::vector<std::string> settings = e2e::words(printed[0]);
            ASSERT_EQ(settings.size(), 2u) << b.out();
            EXPECT_EQ(settings[0].rfind("UMOCKDEV_DIR=" + tmp.file("umockdev."), 0), 0u);
            EXPECT_EQ(settings[1].rfind("LD_PRELOAD=", 0), 0u);
            c.entry = settings[0].substr(13 + tmp.path().size() + 1) + c.entry.substr(star + 1);
        }
        EXPECT_TRUE(exists(tmp.file(c.entry))) << c.entry;
        kill(b.pid(), c.sig);
        EXPECT_EQ(b.wait_exit(3000ms), 0) << c.entry;
        EXPECT_FALSE(exists(tmp.file(c.entry))) << c.entry;
    }
    EXPECT_FALSE(exists(unused));
}

// A com number in use is refused and its link left alone; a link leads to the board's own
// descriptor of its line, so that one left by a board that was killed leads nowhere (never to
// a later board's terminal) and is taken over at once; one made by hand never is.
TEST(BoardCli, EntriesInUseAreNeverTakenOver) {
    TempDir dir;
    dir.write("com1", "taken");
    const testsupport::RunOptions o{.env = {{"LARKSPUR_DEVICES", dir.path()}}};
    Process a({kBoard, "--target", "egret"}, o);
    ASSERT_TRUE(a.wait_for_log("READY com2", 3000ms)) << a.log();
    Process b({kBoard, "--target", "heron", "--com", "12"}, o);
    ASSERT_TRUE(b.wait_for_log("READY com12", 3000ms)) << b.log();
    auto link = [&](const char* entry) { return std::filesystem::read_symlink(dir.file(entry)); };
    EXPECT_EQ(link("com12").parent_path(), "/proc/" + std::to_string(b.pid()) + "/fd");
    EXPECT_EQ(std::filesystem::canonical(dir.file("com12")).parent_path(), "/dev/pts");
    const auto com2 = link("com2");
    for (const char* com : {"1", "2"}) {
        // Whatever --log says, a board that cannot start says why on standard error.
        auto r = run({kBoard, "--target", "egret", "--com", com, "--log", dir.file("log")}, o);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    }
    EXPECT_EQ(testsupport::read_file(dir.file("com1")), "taken");
    EXPECT_EQ(link("com2"), com2);
    EXPECT_TRUE(a.running());
    kill(b.pid(), SIGKILL);
    b.wait_exit(3000ms);
    EXPECT_TRUE(exists(dir.file("com12")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("com12"))) << "a killed board's link leads on";
    Process again({kBoard, "--target", "heron", "--com", "12"}, o);
    EXPECT_TRUE(again.wait_for_log("READY com12", 3000ms)) << again.log();
}

// With a command the signals are the command's: it ends, and the boards with it, with the
// command's exit value as a shell gives it.
TEST(BoardCli, SignalsGoToTheCommandAndTheBoardsEndWithIt) {
    TempDir tmp;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        Process b(e2e::words(kBoard + " --target kestrel --board --target egret --devices " +
                             tmp.file("dev") + " -- sleep 60"),
                  {.env = {{"TMPDIR", tmp.path()}}});
        ASSERT_TRUE(b.wait_for_output("READY egret uart com1", 5000ms)) << b.log();
        kill(b.pid(), sig);
        EXPECT_EQ(b.wait_exit(5000ms), 128 + sig) << sig;
        EXPECT_FALSE(exists(tmp.file("dev/com1")));
    }
}

// The test bed of a board that was killed is left behind; the next emulated board removes
// it, and never the bed of a board that still runs.
TEST(BoardCli, TestBedsOfKilledBoardsAreRemoved) {
    TempDir tmp;
    const testsupport::RunOptions o{.env = {{"TMPDIR", tmp.path()}}};
    auto bed_of = [&](Process& p) {
        EXPECT_TRUE(p.wait_for_output("READY ", 5000ms)) << p.log();
        return e2e::words(p.out()).at(0).substr(13); // UMOCKDEV_DIR=
    };
    Process killed({kBoard, "--target", "merlin"}, o);
    const std::string left = bed_of(killed);
    kill(killed.pid(), SIGKILL);
    killed.wait_exit(3000ms);
    Process alive({kBoard, "--target", "hobby"}, o);
    const std::string kept = bed_of(alive);
    EXPECT_FALSE(exists(left));
    Process next({kBoard, "--target", "heron", "--transport", "usb"}, o);
    bed_of(next);
    EXPECT_TRUE(exists(kept + "/dev/hidraw0"));
}

// A device directory that is a symbolic link, another user's, or writable by others holds
// no device for either side: the board will not start in it, and larkspur does not open
// the comN link it holds (the usual failure lines, and one line on standard error).
TEST(DeviceDirectory, OnlyTheUsersOwnIsUsed) {
    namespace fs = std::filesystem;
    TempDir tmp;
    const std::string own = tmp.file("own");
    Process board(e2e::words(kBoard + " --target egret --com 77 --devices " + own));
    ASSERT_TRUE(board.wait_for_log("READY com77", 3000ms)) << board.log();
    EXPECT_EQ(fs::status(own).permissions(), fs::perms::owner_all);
    const fs::path pts = fs::read_symlink(own + "/com77");
    const std::pair<std::string, std::string> cases[] = {
        {"link", "it is a symbolic link"},
        {"open", "group or others may write to it"},
        {"theirs", "it belongs to another user"}};
    for (const auto& [name, why] : cases) {
        const std::string d = tmp.file(name);
        if (name == "link") {
            fs::create_directory_symlink(own, d);
        } else {
            fs::create_directory(d);
            fs::create_symlink(pts, d + "/com77");
        }
        if (name == "open")
            fs::permissions(d, fs::perms::all);
        if (name == "theirs" && (geteuid() != 0 || chown(d.c_str(), 65534, 65534) != 0))
            GTEST_SKIP() << "a directory of another user needs root to make";
        auto r = run({LARKSPUR_EXE, "-t", "egret", "-df", "egret.inc", "-com", "77"},
                     {.env = {{"LARKSPUR_DEVICES", d}}});
        const std::string refused = "the device directory " + d + " is not used: " + why + "\n";
        EXPECT_EQ(r.out + r.err,
                  "OpenUART:open COM77 failed.\nOpen com77 failed!\nlarkspur: " + refused);
        EXPECT_EQ(r.exit_code, 255);
        r = run({kBoard, "--target", "heron", "--devices", d});
        EXPECT_EQ(r.err, refused);
        EXPECT_EQ(r.exit_code, 1);
    }
}

// The images as made, and the check the test program makes of them: a changed byte
// outside the DCD region is found, one inside it (where the host places its DCD) is not,
// and another chip's image does not run at all.
TEST(BoardImages, MadeToTheSizeAskedAndChecked) {
    for (const board::Chip& chip : board::all_chips()) {
        SCOPED_TRACE(chip.name);
        const std::vector<uint8_t> img = board::make_image(chip, 1680);
        ASSERT_EQ(img.size(), 1680u);
        EXPECT_TRUE(board::check_image(chip, img).intact) << board::check_image(chip, img).why;
        for (size_t at : {size_t(9), size_t(0x20), img.size() - 1}) {
            auto bad = img;
            bad[at] ^= 0x01;
            EXPECT_FALSE(board::check_image(chip, bad).intact) << at;
        }
        if (chip.dcd_entries) {
            auto placed = img;
            placed[chip.dcd_offset + 5] ^= 0x40;
            EXPECT_TRUE(board::check_image(chip, placed).intact);
        }
        const board::Chip& other = *board::find_chip(chip.name == "egret"s ? "heron" : "egret");
        EXPECT_FALSE(board::check_image(chip, board::make_image(other, 1680)).runs);
    }
}

// The test program's check of the DCD a run placed from a sample script with one value
// changed (egret's entries big-endian, heron's little-endian): that register is named.
TEST(BoardProgram, DdrCheckNamesTheFirstWrongRegister) {
    const std::pair<std::string, std::string> cases[] = {
        {"egret", "register 0x63fd9010 is 0x12345678, expected 0xff6f8ffe"},
        {"heron", "register 0x83fd9010 is 0x12345678, expected 0x000ad0d0"}};
    for (const auto& [target, fail] : cases) {
        e2e::Session s;
        s.board(target + " uart");
        const std::vector<std::string> args = s.args_for(target + " uart");
        const std::string script = testsupport::read_file(s.dir.file(args[3]));
        s.dir.write(args[3],
                    std::regex_replace(script, std::regex(fail.substr(9, 10) + " = 0x\\w+"),
                                       fail.substr(9, 10) + " = 0x12345678"));
        auto run = s.start(args);
        EXPECT_TRUE(run->wait_for_output("DDR test: FAIL, " + fail + "\r\n", 30s)) << run->out();
        run->send("\x1b");
        EXPECT_EQ(run->wait_exit(10s), 0);
    }
}

// An image whose DCD region is as made, placeholders only: no DCD was placed.
TEST(BoardProgram, PlaceholderDcdIsNamed) {
    const board::Chip& chip = *board::find_chip("heron");
    static board::LogSink quiet;
    board::log_open(quiet, "/dev/null");
    board::log_use(&quiet);
    board::Options opt;
    opt.target = "heron";
    board::Board b;
    board::board_init(b, opt, chip);
    std::vector<uint8_t> img = board::make_image(chip, 8192), load(16), go(16); // write file, jump
    load[0] = load[1] = 4, go[0] = go[1] = 5, load[15] = 0xAA;
    board::put_be32(&load[2], chip.load);
    board::put_be32(&load[7], uint32_t(img.size()));
    for (const std::vector<uint8_t>& bytes : {load, img, go})
        board::rom_stream(b, bytes);
    board::program_link_up(b);
    EXPECT_NE(b.out.find("Image check: OK\r\nDCD: the image's placeholder entries ran, no DCD was "
                         "placed\r\nDDR test: FAIL, register 0x83fd9000 was never written, "
                         "expected 0x82a20000\r\n"),
              std::string::npos)
        << b.out;
}

} // namespace
