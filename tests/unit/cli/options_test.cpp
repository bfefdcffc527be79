#include "platform/shared.h"
#include "app/utility.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    int result;
    cmd_options opts;
    int usb;
    std::string out;
};

// Parses the words after the program name, from a clean process state.
Parsed parse(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    use_usb = 0;
    Parsed p{};
    testing::internal::CaptureStdout();
    p.result = parse_options(static_cast<int>(argv.size()), argv.data(), &p.opts);
    p.out = testing::internal::GetCapturedStdout();
    p.usb = use_usb;
    // The record refers into the words, which die with this frame: keep only what is set.
    for (const char** f : {&p.opts.target, &p.opts.ddr_file, &p.opts.com_num, &p.opts.log_file})
        *f = *f ? "set" : nullptr;
    return p;
}

TEST(CharacterClasses, AsciiOnly) {
    for (int c = 0; c < 256; ++c) {
        char ch = static_cast<char>(c);
        bool digit = c >= '0' && c <= '9';
        bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        EXPECT_EQ(is_ascii_digit(ch), digit) << c;
        EXPECT_EQ(is_ascii_alnum(ch), digit || alpha) << c;
    }
    EXPECT_TRUE(is_all_digits(""));
    EXPECT_TRUE(is_all_digits("007"));
    EXPECT_FALSE(is_all_digits("12a"));
    EXPECT_FALSE(is_all_digits("-1"));
}

TEST(FindOption, ExactCaseSensitiveWholeWords) {
    EXPECT_EQ(find_option("-h"), 0);
    EXPECT_EQ(find_option("-v"), 1);
    EXPECT_EQ(find_option("-t"), 2);
    EXPECT_EQ(find_option("-df"), 3);
    EXPECT_EQ(find_option("-com"), 4);
    EXPECT_EQ(find_option("-usb"), 5);
    EXPECT_EQ(find_option("-log"), 6);
    for (const char* w : {"-H", "-usb2", "-d", "", "h", "--h", "-co"})
        EXPECT_EQ(find_option(w), -1) << w;
}

TEST(BaseNameOffset, LastSeparatorOfEitherKind) {
    EXPECT_EQ(base_name_offset("larkspur"), 0u);
    EXPECT_EQ(base_name_offset("/larkspur"), 1u);
    EXPECT_EQ(base_name_offset("C:\\tools\\bin/larkspur.exe"), 13u);
    EXPECT_EQ(base_name_offset("a/b\\c"), 4u);
    EXPECT_EQ(base_name_offset("dir/"), 4u);
    EXPECT_EQ(base_name_offset(""), 0u);
}

TEST(ParseOptions, HelpAndVersionStopTheWalk) {
    EXPECT_EQ(parse({"-h", "-bogus"}).result, PARSE_HELP);
    EXPECT_EQ(parse({"-t", "egret", "-h"}).result, PARSE_HELP);
    EXPECT_EQ(parse({"-v", "-t"}).result, PARSE_VERSION);
    Parsed p = parse({"-t", "-h"});
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "Invalid target. Valid value:egret/heron/falcon\n");
    EXPECT_EQ(p.opts.target, nullptr);
}

TEST(ParseOptions, Targets) {
    Parsed p = parse({"-t", "egret"});
    EXPECT_EQ(p.result, 0);
    EXPECT_NE(p.opts.target, nullptr);
    EXPECT_EQ(p.usb, 0);
    EXPECT_EQ(parse({"-t", "falcon"}).usb, 1);
    // falcon keeps USB on even when a later -t names another target
    p = parse({"-t", "falcon", "-t", "heron"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.usb, 1);
    p = parse({"-t", "EGRET"});
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "Invalid target. Valid value:egret/heron/falcon\n");
    p = parse({"-t"});
    EXPECT_EQ(p.result, -2);
    EXPECT_EQ(p.out, "Invalid target.\n");
}

TEST(ParseOptions, FileNamesMustBeginWithLetterOrDigit) {
    EXPECT_EQ(parse({"-df", "1.inc"}).result, 0);
    EXPECT_EQ(parse({"-df", "C:\\x.inc"}).result, 0);
    for (const char* bad : {"./x.inc", "\\x.inc", "", ".\\x.inc", "\xC3\xA9.inc"}) {
        Parsed p = parse({"-df", bad});
        EXPECT_EQ(p.result, -5) << bad;
        EXPECT_EQ(p.out, "Invalid file name. The file name must begin with a char\n");
        EXPECT_EQ(p.opts.ddr_file, nullptr);
    }
    Parsed p = parse({"-df"});
    EXPECT_EQ(p.result, -6);
    EXPECT_EQ(p.out, "Invalid parameter for -df.\n");

    EXPECT_EQ(parse({"-log", "x.txt"}).result, 0);
    p = parse({"-log", "_x"});
    EXPECT_EQ(p.result, -7);
    EXPECT_EQ(p.out, "Invalid file name. The file name must begin with a char\n");
    EXPECT_EQ(p.opts.log_file, nullptr);
    p = parse({"-log"});
    EXPECT_EQ(p.result, -8);
    EXPECT_EQ(p.out, "Invalid parameter for -log.\n");
}

TEST(ParseOptions, ComNumbers) {
    for (const char* ok : {"4", "0", "007", ""})
        EXPECT_EQ(parse({"-com", ok}).result, 0) << ok;
    Parsed p = parse({"-com", "4a"});
    EXPECT_EQ(p.result, -6);
    EXPECT_EQ(p.out, "Invalid com number.\n");
    EXPECT_EQ(p.opts.com_num, nullptr);
    // -com as the last word is ignored
    p = parse({"-t", "egret", "-com"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.opts.com_num, nullptr);
    // the port name buffer holds "COM" and 252 digits
    EXPECT_EQ(parse({"-com", std::string(252, '9')}).result, 0);
    p = parse({"-com", std::string(253, '9')});
    EXPECT_EQ(p.result, -6);
    EXPECT_EQ(p.out, "Invalid com number.\n");
}

TEST(ParseOptions, UsbTakesOnlyItsOwnWord) {
    Parsed p = parse({"-usb", "-t", "egret", "-df", "x.inc"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.usb, 1);
    EXPECT_NE(p.opts.target, nullptr);
    EXPECT_NE(p.opts.ddr_file, nullptr);
}

TEST(ParseOptions, StopsAtFirstFailureKeepingStoredFields) {
    Parsed p = parse({"-t", "heron", "-x", "-df", "a.inc"});
    EXPECT_EQ(p.result, -9);
    EXPECT_EQ(p.out, "Invalid option.Please type \"Larkspur -h\" for help\n");
    EXPECT_NE(p.opts.target, nullptr);
    EXPECT_EQ(p.opts.ddr_file, nullptr);
}

TEST(CheckOptions, ConsistencyChecksInOrder) {
    auto check = [](cmd_options o, int usb) {
        use_usb = usb;
        testing::internal::CaptureStdout();
        int rc = check_options(o);
        return std::make_pair(rc, testing::internal::GetCapturedStdout());
    };
    EXPECT_EQ(check({nullptr, "x", nullptr, nullptr}, 0).second,
              "target, ddr init file must be selected.\n");
    EXPECT_EQ(check({"egret", nullptr, "3", nullptr}, 0).second,
              "target, ddr init file must be selected.\n");
    EXPECT_EQ(check({"heron", "x", nullptr, nullptr}, 0),
              std::make_pair(-1, std::string("For heron, UART or USB must be selected.\n")));
    EXPECT_EQ(check({"egret", "x", "3", nullptr}, 1),
              std::make_pair(-1, std::string("com and usb can not be selected at same time.\n")));
    EXPECT_EQ(check({"egret", "x", "3", nullptr}, 0), std::make_pair(0, std::string()));
    EXPECT_EQ(check({"egret", "x", nullptr, nullptr}, 1), std::make_pair(0, std::string()));
    EXPECT_EQ(check({"falcon", "x", "3", nullptr}, 1), std::make_pair(0, std::string()));
    EXPECT_EQ(check({"egret", "x", "", nullptr}, 0), std::make_pair(0, std::string()));
}

} // namespace
