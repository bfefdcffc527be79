// The command line as a user meets it: exact output and exit value of the real executable.
#include "tests/e2e/e2e.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using testsupport::RunResult;
using testsupport::TempDir;

namespace {

std::string usage(const std::string& name) {
    return "Usage: " + name +
           " [options]\n"
           "Options:\n"
           "  -h,                 Show this help\n"
           "  -v,                 Display the version\n"
           "  -t    <string>      Select target(heron,egret, falcon)\n"
           "  -df   <path>        Input ddr initialization script file(*.inc)\n"
           "  -com  <num>         select the PC's UART to be used(1,2,3...), for heron/egret only\n"
           "  -usb                select the PC's USB to be used\n"
           "\n"
           "  For falcon, UART is not supported and USB is the default option.\n"
           "\n"
           "  Usage example:\n"
           "    Larkspur -t egret -df egret_ddr_script_filename -com 4\n"
           "    Larkspur -t egret -df egret_ddr_script_filename -usb\n"
           "    Larkspur -t falcon -df falcon_ddr_script_filename\n"
           "    \n";
}

class Cli : public testing::Test {
  protected:
    RunResult run(const std::vector<std::string>& args) {
        testsupport::RunOptions opt;
        opt.cwd = dir.path();
        opt.env["LARKSPUR_DEVICES"] = dir.file("devices");
        return e2e::run_larkspur(args, opt);
    }
    void expect(const std::vector<std::string>& args, const std::string& out, int code) {
        RunResult r = run(args);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.out, out) << testing::PrintToString(args);
        EXPECT_EQ(r.exit_code, code) << testing::PrintToString(args);
        EXPECT_EQ(r.err, "") << "nothing goes to the error stream";
    }
    TempDir dir;
};

TEST_F(Cli, UsageWithoutWordsAndOnHelp) {
    std::string text = usage(e2e::exe_name());
    expect({}, text, 0);
    expect({"-h"}, text, 0);
    expect({"-h", "-nonsense", "x"}, text, 0);
    expect({"-t", "egret", "-h"}, text, 0);
}

TEST_F(Cli, ProgramNameComesFromThePath) {
    if (e2e::wine_exe())
        GTEST_SKIP() << "the Windows loader names the program itself";
    // argv[0] without any separator is used whole
    RunResult r =
        testsupport::run({"bash", "-c", std::string("exec -a my-larkspur ") + LARKSPUR_EXE});
    EXPECT_EQ(r.out, usage("my-larkspur"));
    r = testsupport::run(
        {"bash", "-c", std::string("exec -a 'C:\\tools\\lk.exe' ") + LARKSPUR_EXE});
    EXPECT_EQ(r.out, usage("lk.exe"));
}

TEST_F(Cli, Version) {
    RunResult r = run({"-v", "-t"});
    EXPECT_EQ(r.exit_code, 0);
    auto lines = testsupport::lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_FALSE(lines[0].empty());
    // "Version 0.042., built at 11:30:08,Dec 25 2012"
    const std::string prefix = "Version 0.042., built at ";
    ASSERT_EQ(lines[1].rfind(prefix, 0), 0u) << lines[1];
    std::string stamp = lines[1].substr(prefix.size());
    ASSERT_EQ(stamp.size(), 8u + 1 + 11) << stamp;
    EXPECT_EQ(stamp[2], ':');
    EXPECT_EQ(stamp[5], ':');
    EXPECT_EQ(stamp[8], ',');
}

TEST_F(Cli, ParserComplaints) {
    expect({"-t", "-h"}, "Invalid target. Valid value:egret/heron/falcon\n", 255);
    expect({"-t", "EGRET", "-df", "x.inc", "-com", "1"},
           "Invalid target. Valid value:egret/heron/falcon\n", 255);
    expect({"-t"}, "Invalid target.\n", 255);
    expect({"-t", "egret", "-df"}, "Invalid parameter for -df.\n", 255);
    expect({"-t", "egret", "-df", ".\\x.inc", "-com", "1"},
           "Invalid file name. The file name must begin with a char\n", 255);
    expect({"-df", "./x.inc"}, "Invalid file name. The file name must begin with a char\n", 255);
    expect({"-df", ""}, "Invalid file name. The file name must begin with a char\n", 255);
    expect({"-com", "4x"}, "Invalid com number.\n", 255);
    expect({"-com", std::string(253, '1')}, "Invalid com number.\n", 255);
    expect({"-log"}, "Invalid parameter for -log.\n", 255);
    expect({"-log", "-x"}, "Invalid file name. The file name must begin with a char\n", 255);
    expect({"-H"}, "Invalid option.Please type \"Larkspur -h\" for help\n", 255);
    expect({"-t", "egret", "-usb2"}, "Invalid option.Please type \"Larkspur -h\" for help\n", 255);
    expect({"egret"}, "Invalid option.Please type \"Larkspur -h\" for help\n", 255);
}

TEST_F(Cli, ConsistencyChecks) {
    expect({"-t", "egret"}, "target, ddr init file must be selected.\n", 255);
    expect({"-df", "x.inc", "-com", "3"}, "target, ddr init file must be selected.\n", 255);
    expect({"-t", "egret", "-df", "x.inc"}, "For egret, UART or USB must be selected.\n", 255);
    // -com as the last word is ignored
    expect({"-t", "heron", "-df", "x.inc", "-com"}, "For heron, UART or USB must be selected.\n",
           255);
    expect({"-t", "egret", "-df", "x.inc", "-com", "3", "-usb"},
           "com and usb can not be selected at same time.\n", 255);
    // -usb takes only its own word, so the options after it are read
    expect({"-usb", "-t", "egret", "-df", "x.inc", "-com", "3"},
           "com and usb can not be selected at same time.\n", 255);
}

} // namespace
