// The command line as a user meets it: exact output and exit value of the real executable.
#include "tests/e2e/board.h"

#include <regex>

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

TEST_F(Cli, UsageWithoutWordsAndOnHelpNamingTheProgram) {
    std::string text = usage(e2e::wine_exe() ? "larkspur.exe" : "larkspur");
    expect({}, text, 0);
    expect({"-h"}, text, 0);
    expect({"-h", "-nonsense", "x"}, text, 0);
    expect({"-t", "egret", "-h"}, text, 0);
    // The native program's name is its path's last part, argv[0] without a separator whole.
    for (std::string argv0 : {"my-larkspur", "'C:\\x\\lk.exe'"}) {
        RunResult r = testsupport::run({"bash", "-c", "exec -a " + argv0 + " " LARKSPUR_EXE});
        EXPECT_EQ(r.out, usage(argv0 == "my-larkspur" ? argv0 : "lk.exe"));
    }
}

TEST_F(Cli, Version) {
    RunResult r = run({"-v", "-t"});
    EXPECT_EQ(r.exit_code, 0);
    // A line of its own, then "Version 0.042., built at 11:30:08,Dec 25 2012".
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex(".+\nVersion 0\\.042\\., built at "
                                           "\\d\\d:\\d\\d:\\d\\d,\\w{3} [ \\d]\\d \\d{4}\n")))
        << r.out;
}

// Every complaint of the parser and the consistency checks, in the order they are made; what
// passes them goes on to the device (the port named by -com opened, a falcon board's ignored).
TEST_F(Cli, ComplaintsAndAcceptedLines) {
    const std::string target = "Invalid target. Valid value:egret/heron/falcon\n";
    const std::string file = "Invalid file name. The file name must begin with a char\n";
    const std::string option = "Invalid option.Please type \"Larkspur -h\" for help\n";
    const std::string both = "com and usb can not be selected at same time.\n";
    const std::string missing = "target, ddr init file must be selected.\n";
    const std::string port = "OpenUART:open COM0259 failed.\nOpen com0259 failed!\n";
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"-t", "-h"}, target},
        {{"-t", "EGRET", "-df", "x.inc", "-com", "1"}, target},
        {{"-t"}, "Invalid target.\n"},
        {{"-t", "egret", "-df"}, "Invalid parameter for -df.\n"},
        {{"-t", "egret", "-df", ".\\x.inc", "-com", "1"}, file},
        {{"-df", "./x.inc"}, file},
        {{"-df", ""}, file},
        {{"-df", "_x.inc"}, file},
        {{"-df", "\xc3\xa9.inc"}, file},
        {{"-com", "4x"}, "Invalid com number.\n"},
        {{"-com", "-1"}, "Invalid com number.\n"},
        {{"-com", std::string(253, '1')}, "Invalid com number.\n"},
        {{"-log"}, "Invalid parameter for -log.\n"},
        {{"-log", "-x"}, file},
        {{"-H"}, option},
        {{"-t", "egret", "-usb2"}, option},
        {{"egret"}, option},
        {{"-t", "egret"}, missing},
        {{"-df", "x.inc", "-com", "3"}, missing},
        {{"-t", "egret", "-df", "x.inc"}, "For egret, UART or USB must be selected.\n"},
        // -com as the last word is ignored
        {{"-t", "heron", "-df", "x.inc", "-com"}, "For heron, UART or USB must be selected.\n"},
        {{"-t", "egret", "-df", "x.inc", "-com", "3", "-usb"}, both},
        // -usb takes only its own word, so the options after it are read
        {{"-usb", "-t", "egret", "-df", "x.inc", "-com", "3"}, both},
        // "-t falcon" sets the USB flag for good
        {{"-t", "falcon", "-t", "egret", "-df", "x.inc", "-com", "3"}, both},
        {{"-t", "heron", "-log", "l.txt", "-df", "1.inc", "-com", "0259"}, port},
        {{"-t", "heron", "-log", "l.txt", "-df", "Z.inc", "-com", "0259"}, port},
        {{"-t", "heron", "-log", "l.txt", "-df", "C:\\x.inc", "-com", "0259"}, port},
        {{"-t", "heron", "-log", "l.txt", "-df", "x", "-com", "0259"}, port},
        {{"-t", "falcon", "-df", "x.inc", "-com", "3"},
         "Open FALCON device failed! Please make sure board connected and in serial download "
         "mode.\n"},
    };
    for (const auto& c : cases)
        expect(c.args, c.out, 255);
}

} // namespace
