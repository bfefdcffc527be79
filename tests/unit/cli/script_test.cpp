#include "app/utility.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct ScriptResult {
    int rc;
    uint32_t len;
    std::vector<dcd_node> nodes;
    std::string out;
};

ScriptResult parse_script(const std::string& text, uint32_t max = 192) {
    // fmemopen cannot open an empty buffer for reading everywhere; a temp file can.
    FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    ScriptResult r{};
    r.nodes.assign(max + 1, dcd_node{0xAAAAAAAA, 0xAAAAAAAA});
    r.len = max;
    testing::internal::CaptureStdout();
    r.rc = parse_ddr_init_script(f, r.nodes.data(), &r.len);
    r.out = testing::internal::GetCapturedStdout();
    std::fclose(f);
    if (r.rc == 0)
        r.nodes.resize(r.len);
    return r;
}

std::string setmem(uint32_t addr, uint32_t value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "setmem /32 0x%08x = 0x%08x\n", addr, value);
    return buf;
}

TEST(HexNumbers, SyntaxAndResultCodes) {
    uint32_t v = 7;
    EXPECT_EQ(parse_hex_num("0XaBc", &v), 0);
    EXPECT_EQ(v, 0xABCu);
    EXPECT_EQ(parse_hex_num("0xFFFFFFFF", &v), 0);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(parse_hex_num("0x00000001", &v), 0);
    EXPECT_EQ(v, 1u);
    v = 7;
    EXPECT_EQ(parse_hex_num("12", &v), -1);
    EXPECT_EQ(parse_hex_num("x12", &v), -1);
    EXPECT_EQ(parse_hex_num("", &v), -1);
    EXPECT_EQ(parse_hex_num("0", &v), -1);
    EXPECT_EQ(parse_hex_num("0x", &v), -2);
    EXPECT_EQ(parse_hex_num("0x000000001", &v), -2);
    EXPECT_EQ(parse_hex_num("0x123456789", &v), -2);
    EXPECT_EQ(parse_hex_num("0x1G", &v), -3);
    EXPECT_EQ(parse_hex_num("0x-1", &v), -3);
    EXPECT_EQ(parse_hex_num("0x1 ", &v), -3);
    EXPECT_EQ(v, 7u) << "a failed conversion stores nothing";
}

TEST(HexNumbers, DigitValues) {
    uint32_t d;
    std::string digits = "0123456789abcdefABCDEF";
    for (size_t i = 0; i < digits.size(); ++i) {
        ASSERT_EQ(hex_digit_value(digits[i], &d), 0);
        EXPECT_EQ(d, i < 16 ? i : i - 6);
    }
    for (char c : {'g', 'G', ' ', 'x', '\0', '/'})
        EXPECT_EQ(hex_digit_value(c, &d), -1);
}

TEST(Script, EmptyAndCommentOnlyFilesHaveNoEntries) {
    for (const char* text : {"", "\n\n", "// only a comment\n\n   \t \n//x", "\r\n// c\r\n"}) {
        ScriptResult r = parse_script(text);
        EXPECT_EQ(r.rc, 0) << text;
        EXPECT_EQ(r.len, 0u);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Script, EntriesInLineOrderWithOtherCommandsSkipped) {
    ScriptResult r = parse_script("wait = on\n"
                                  "  \tsetmem /32 0x53fd4068 = 0xffffffff // gate\n"
                                  "SETMEM /32 0x1 = 0x2\n"
                                  "Setmem /32 0x1 = 0x2\n"
                                  "setmem\t/32\t0x10\t=\t0X20 trailing words ignored\n"
                                  "setmem any 0x10 any 0x30\n"
                                  "setmem /32 0x10 = 0x10//x\n"
                                  "setmem /32 0x44 = 0x55"); // no final line feed
    ASSERT_EQ(r.rc, 0) << r.out;
    ASSERT_EQ(r.len, 5u);
    EXPECT_EQ(r.out, "");
    const uint32_t want[][2] = {
        {0x53FD4068, 0xFFFFFFFF}, {0x10, 0x20}, {0x10, 0x30}, {0x10, 0x10}, {0x44, 0x55}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(r.nodes[i].addr, want[i][0]) << i;
        EXPECT_EQ(r.nodes[i].value, want[i][1]) << i;
    }
}

TEST(Script, CrLfAndLfParseAlike) {
    std::string lf = "// header\n" + setmem(0x1000, 1) + "\n" + setmem(0x2000, 2);
    std::string crlf;
    for (char c : lf) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    ScriptResult a = parse_script(lf), b = parse_script(crlf);
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(b.rc, 0) << b.out;
    ASSERT_EQ(a.len, b.len);
    for (size_t i = 0; i < a.len; ++i) {
        EXPECT_EQ(a.nodes[i].addr, b.nodes[i].addr);
        EXPECT_EQ(a.nodes[i].value, b.nodes[i].value);
    }
    // a carriage return anywhere else stays part of the word, so the number is refused
    ScriptResult c = parse_script("setmem /32 0x10\r = 0x20\n");
    EXPECT_EQ(c.out, "Syntax error in line 1: address is not a valid num.\n");
}

TEST(Script, ErrorsNameTheLineCountingBlankAndCommentLines) {
    ScriptResult r = parse_script("\n// c\nsetmem /32 0x10 = 0x1G\n" + setmem(1, 1));
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "Syntax error in line 3: value is not a valid num.\n");
    EXPECT_EQ(r.len, 192u) << "the count keeps the maximum on failure";

    EXPECT_EQ(parse_script("setmem /32 0x10 =\n").out,
              "Syntax error in line 1: value is not a valid num.\n");
    EXPECT_EQ(parse_script("\nsetmem /32\n").out,
              "Syntax error in line 2: address is not a valid num.\n");
    EXPECT_EQ(parse_script("setmem /32 10 = 0x1\n").out,
              "Syntax error in line 1: address is not a valid num.\n");
    // the comment cuts the value word off
    EXPECT_EQ(parse_script("setmem /32 0x10 = // 0x20\n").out,
              "Syntax error in line 1: value is not a valid num.\n");
    EXPECT_EQ(parse_script("setmem /32 0x10 = 0x000000001\n").out,
              "Syntax error in line 1: value is not a valid num.\n");
}

TEST(Script, MaximumCountIsInclusive) {
    std::string text;
    for (uint32_t i = 0; i < 128; ++i)
        text += setmem(0x73FD4000 + 4 * i, i);
    ScriptResult ok = parse_script(text, 128);
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.len, 128u);
    EXPECT_EQ(ok.nodes[127].value, 127u);
    ScriptResult over = parse_script(text + setmem(0x73FD4000, 0), 128);
    EXPECT_EQ(over.rc, -1);
    EXPECT_EQ(over.out, "The number of ddr init items out of the max value(128)\n");
    EXPECT_EQ(over.nodes[128].addr, 0xAAAAAAAAu) << "nothing written past the maximum";
}

TEST(Script, BufferLimitsAreRefusedNotOverrun) {
    // A line may hold 255 bytes with its line feed.
    std::string fits = "//" + std::string(252, 'x') + "\n";
    ASSERT_EQ(fits.size(), 255u);
    EXPECT_EQ(parse_script(fits).rc, 0);
    EXPECT_EQ(parse_script("\n" + std::string(255, ' ') + "\n").out,
              "Syntax error in line 2: line too long.\n");
    // the same at the end of a file without a line feed
    EXPECT_EQ(parse_script(std::string(254, ' ')).rc, 0);
    EXPECT_EQ(parse_script(std::string(255, ' ')).out, "Syntax error in line 1: line too long.\n");
    // a very long line is still one line: the next one keeps its number
    EXPECT_EQ(parse_script(std::string(5000, 'a') + "\nok\n").out,
              "Syntax error in line 1: line too long.\n");

    std::string word63 = std::string(63, 'w');
    EXPECT_EQ(parse_script(word63 + "\n").rc, 0);
    EXPECT_EQ(parse_script("x " + word63 + "w\n").out, "Syntax error in line 1: word too long.\n");

    std::string words16;
    for (int i = 0; i < 16; ++i)
        words16 += "w ";
    EXPECT_EQ(parse_script(words16 + "\n").rc, 0);
    EXPECT_EQ(parse_script("\n\n" + words16 + "w\n").out,
              "Syntax error in line 3: too many words.\n");
    // a comment does not count against the word limit
    EXPECT_EQ(parse_script(words16 + "// a b c d e\n").rc, 0);
}

TEST(Script, ReadErrorIsReported) {
    FILE* f = std::fopen("/dev/null", "w"); // reading a write-only stream fails
    ASSERT_NE(f, nullptr);
    dcd_node nodes[4];
    uint32_t len = 4;
    testing::internal::CaptureStdout();
    int rc = parse_ddr_init_script(f, nodes, &len);
    std::string out = testing::internal::GetCapturedStdout();
    std::fclose(f);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, "Read the init script error.\n");
    EXPECT_EQ(len, 4u);
}

} // namespace
