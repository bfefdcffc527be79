// The command line, the device directory and a clean exit.
#include "tests/boardsim/client.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace bt;
using testsupport::run;

namespace {

bool exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

TEST(BoardCli, HelpListsEveryOption) {
    auto r = run({board_exe(), "--help"});
    EXPECT_EQ(r.exit_code, 0);
    for (const char* opt : {"--target",
                            "--transport",
                            "--com",
                            "--devices",
                            "--log",
                            "--save-image",
                            "--gate",
                            "--wrong-ack",
                            "--silent",
                            "--reject-write",
                            "--no-handshake",
                            "--reappear-after",
                            "--never-reappear",
                            "--unplug-after-bytes",
                            "--unplug-during-relay",
                            "--baud",
                            "--hid-interval-us",
                            "--usb-rate",
                            "--stream",
                            "--zero-in-output",
                            "--write-images",
                            "--image-size",
                            "--help"})
        EXPECT_NE(r.out.find(std::string("  ") + opt + " "), std::string::npos) << opt;
    for (const char* exch :
         {"gate,", "gate2", "write-gate", "write-cmd", "image-gate", "image-cmd", "jump"})
        EXPECT_NE(r.out.find(exch), std::string::npos) << exch;
}

TEST(BoardCli, RefusedCommandLinesShowUsageAndExit2) {
    for (std::vector<std::string> args : {
             std::vector<std::string>{"--bogus"},
             {},
             {"--target", "falcon"},
             {"--target", "egret", "--transport", "hid"},
             {"--target", "kestrel", "--transport", "uart"},
             {"--target", "egret", "--wrong-ack", "nothing"},
             {"--target", "egret", "--silent"},
             {"--target", "egret", "--baud", "fast"},
             {"--target", "egret", "--reject-write", "0"},
             {"--target", "egret", "--gate", "develop"},
             {"--target", "egret", "--never-reappear=1"},
             {"--write-images", "/tmp/x", "--image-size", "100"},
         }) {
        args.insert(args.begin(), board_exe());
        auto r = run(args, opts({}, 5000ms));
        EXPECT_EQ(r.exit_code, 2) << args.back();
        EXPECT_NE(r.err.find("Usage: larkspur-board"), std::string::npos) << args.back();
        EXPECT_TRUE(r.out.empty());
    }
}

// Every transport leaves nothing behind when stopped, and exits 0.
TEST(BoardCli, StopsCleanlyOnSigterm) {
    for (std::string target : {"egret", "heron", "kestrel", "hobby"}) {
        for (std::string transport : {"uart", "usb", "hid"}) {
            bool falcon = target != "egret" && target != "heron";
            if (falcon != (transport == "hid"))
                continue;
            BoardProc b({"--target", target, "--transport", transport});
            ASSERT_TRUE(b.wait_log("READY ")) << target << " " << transport << b.log();
            std::string entry = b.entry();
            EXPECT_EQ(entry, transport == "uart"  ? "com1"
                             : transport == "usb" ? "usb"
                                                  : "hid-" + target);
            EXPECT_TRUE(exists(b.path(entry)));
            EXPECT_EQ(b.proc->stop(), 0);
            EXPECT_TRUE(std::filesystem::is_empty(b.dir.path())) << target << " " << transport;
        }
    }
}

TEST(BoardCli, SigintEndsItToo) {
    BoardProc b({"--target", "merlin"});
    ASSERT_TRUE(b.wait_log("READY hid-merlin"));
    kill(b.proc->pid(), SIGINT);
    EXPECT_TRUE(testsupport::eventually([&] { return !b.proc->running(); }, 3000ms));
    EXPECT_EQ(b.proc->stop(), 0);
    EXPECT_FALSE(exists(b.path("hid-merlin")));
}

TEST(BoardCli, ComNumberIsTheLowestFreeOrTheOneAsked) {
    testsupport::TempDir dir;
    dir.write("com1", "taken");
    std::map<std::string, std::string> env{{"LARKSPUR_DEVICES", dir.path()}};
    testsupport::Background a({board_exe(), "--target", "egret"}, opts(env));
    ASSERT_TRUE(a.wait_for_log("READY com2", 3000ms)) << a.log();
    testsupport::Background b({board_exe(), "--target", "heron"}, opts(env));
    ASSERT_TRUE(b.wait_for_log("READY com3", 3000ms)) << b.log();
    testsupport::Background c({board_exe(), "--target", "heron", "--com", "12"}, opts(env));
    ASSERT_TRUE(c.wait_for_log("READY com12", 3000ms)) << c.log();
    char target[256] = {};
    ASSERT_GT(readlink(dir.file("com12").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
    // A number in use is refused rather than stolen.
    auto r = run({board_exe(), "--target", "egret", "--com", "2"}, opts(env, 3000ms));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
}

TEST(BoardCli, DeviceDirectoryFromOptionOrEnvironmentIsCreated) {
    testsupport::TempDir tmp;
    {
        testsupport::Background b({board_exe(), "--target", "egret", "--devices", tmp.file("a/b")},
                                  opts({{"LARKSPUR_DEVICES", tmp.file("unused")}}));
        ASSERT_TRUE(b.wait_for_log("READY com1", 3000ms)) << b.log();
        EXPECT_TRUE(exists(tmp.file("a/b/com1")));
        EXPECT_FALSE(exists(tmp.file("unused")));
    }
    {
        testsupport::Background b(
            {board_exe(), "--target", "kestrel"},
            opts({{"LARKSPUR_DEVICES", ""}, {"XDG_RUNTIME_DIR", tmp.path()}}));
        ASSERT_TRUE(b.wait_for_log("READY hid-kestrel", 3000ms)) << b.log();
        EXPECT_TRUE(exists(tmp.file("larkspur-devices/hid-kestrel")));
    }
}

TEST(BoardCli, LogGoesToTheFileAsked) {
    testsupport::TempDir tmp;
    BoardProc b({"--target", "egret", "--log", tmp.file("board.log")});
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            return testsupport::read_file(tmp.file("board.log")).find("READY com1") !=
                   std::string::npos;
        },
        3000ms));
    EXPECT_EQ(b.log().find("READY"), std::string::npos);
}

} // namespace
