// The DDR init script parser and its hexadecimal numbers: what a line yields, and every
// refusal with the line it names.
#include "app/utility.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

struct Parsed {
    int rc;
    std::vector<dcd_node> nodes; // up to the count, or all max + 1 after a failure
    std::string out;
};

Parsed parse(const std::string& text, uint32_t max = 192) {
    FILE* f = std::tmpfile(); // fmemopen cannot open an empty buffer for reading everywhere
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    Parsed r{0, std::vector<dcd_node>(max + 1, dcd_node{0xAAAAAAAA, 0xAAAAAAAA}), ""};
    uint32_t len = max;
    testing::internal::CaptureStdout();
    r.rc = parse_ddr_init_script(f, r.nodes.data(), &len);
    r.out = testing::internal::GetCapturedStdout();
    std::fclose(f);
    if (r.rc == 0)
        r.nodes.resize(len);
    else
        EXPECT_EQ(len, max) << "the count keeps the maximum on failure";
    return r;
}

std::string setmem(uint32_t addr, uint32_t value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "setmem /32 0x%08x = 0x%08x\n", addr, value);
    return buf;
}

TEST(HexNumbers, ResultCodesAndValues) {
    const std::pair<const char*, uint32_t> good[] = {
        {"0XaBc", 0xABC}, {"0xFFFFFFFF", 0xFFFFFFFF}, {"0x00000001", 1}, {"0x09afAF", 0x9AFAF}};
    // -1: no "0x"; -2: no digit or more than 8; -3: another character. Nothing is stored.
    const std::pair<int, std::vector<std::string>> refused[] = {
        {-1, {"12", "x12", "", "0"}},
        {-2, {"0x", "0x000000001", "0x123456789"}},
        {-3, {"0x1G", "0x-1", "0x1 ", "0x/", "0x:", "0x@", "0x`"}}};
    for (auto [word, value] : good) {
        uint32_t v = 7;
        EXPECT_EQ(parse_hex_num(word, &v), 0) << word;
        EXPECT_EQ(v, value) << word;
    }
    for (const auto& [rc, words] : refused) {
        for (const std::string& w : words) {
            uint32_t v = 7;
            EXPECT_EQ(parse_hex_num(w.c_str(), &v), rc) << w;
            EXPECT_EQ(v, 7u) << w;
        }
    }
}

TEST(Script, EntriesInLineOrder) {
    const std::string lf = "// header\n" + setmem(0x1000, 1) + "\n" + setmem(0x2000, 2);
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    const struct {
        std::string text;
        std::vector<std::pair<uint32_t, uint32_t>> want;
    } cases[] = {
        {"", {}},
        {"\n\n// only a comment\n\n   \t \n//x", {}},
        {"wait = on\n"
         "  \tsetmem /32 0x53fd4068 = 0xffffffff // gate\n"
         "SETMEM /32 0x1 = 0x2\n"
         "Setmem /32 0x1 = 0x2\n"
         "setmem\t/32\t0x10\t=\t0X20 trailing words ignored\n"
         "setmem any 0x10 any 0x30\n"
         "setmem /32 0x10 = 0x10//x\n"
         "setmem /32 0x44 = 0x55", // no final line feed
         {{0x53FD4068, 0xFFFFFFFF}, {0x10, 0x20}, {0x10, 0x30}, {0x10, 0x10}, {0x44, 0x55}}},
        {lf, {{0x1000, 1}, {0x2000, 2}}},
        {crlf, {{0x1000, 1}, {0x2000, 2}}},
        // A line may hold 255 bytes with its line feed, 254 at the end without one.
        {"//" + std::string(252, 'x') + "\n" + std::string(254, ' '), {}},
        {std::string(63, 'w') + "\n", {}},
    };
    for (const auto& c : cases) {
        Parsed r = parse(c.text);
        ASSERT_EQ(r.rc, 0) << c.text << r.out;
        EXPECT_EQ(r.out, "");
        std::vector<std::pair<uint32_t, uint32_t>> got;
        for (const dcd_node& n : r.nodes)
            got.emplace_back(n.addr, n.value);
        EXPECT_EQ(got, c.want) << c.text;
    }
}

// The end-to-end failure table has a row for each kind of refusal; these are its edges.
TEST(Script, RefusalsNameTheirLine) {
    const struct {
        std::string text;
        std::string out; // after "Syntax error in line "
    } cases[] = {
        {"\n// c\nsetmem /32 0x10 = 0x1G\n" + setmem(1, 1), "3: value is not a valid num."},
        {"setmem /32 0x10 =\n", "1: value is not a valid num."},
        {"setmem /32 0x10 = 12\n", "1: value is not a valid num."},
        {"setmem /32 0x10 = //0x1\n", "1: value is not a valid num."},
        {"// x\n\nsetmem /32\n", "3: address is not a valid num."},
        {"setmem " + std::string(64, 'w') + " 0x10 = 0x1\n", "1: word too long."},
        {"setmem /32 10 = 0x1\n", "1: address is not a valid num."},
        {"setmem /32 0x10 = 0x000000001\n", "1: value is not a valid num."},
        // a carriage return anywhere but before the line feed stays part of the word
        {"setmem /32 0x10\r = 0x20\n", "1: address is not a valid num."},
        {"setmem /32 0x10 = 0x1\r\r\n", "1: value is not a valid num."},
        {"\n" + std::string(255, ' ') + "\n", "2: line too long."},
        {std::string(255, ' '), "1: line too long."},
        {std::string(5000, 'a') + "\nok\n", "1: line too long."},
        {"a b c d e f g h i j k l m n o p\n1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n",
         "2: too many words."},
    };
    for (const auto& c : cases) {
        Parsed r = parse(c.text);
        EXPECT_EQ(r.rc, -1) << c.text;
        EXPECT_EQ(r.out, "Syntax error in line " + c.out + "\n") << c.text;
    }
}

TEST(Script, MaximumCountIsInclusiveAndNothingIsWrittenPastIt) {
    std::string text;
    for (uint32_t i = 0; i < 128; ++i)
        text += setmem(0x73FD4000 + 4 * i, i);
    Parsed ok = parse(text, 128);
    ASSERT_EQ(ok.rc, 0);
    ASSERT_EQ(ok.nodes.size(), 128u);
    EXPECT_EQ(ok.nodes[127].value, 127u);
    Parsed over = parse(text + setmem(0x73FD4000, 0), 128);
    EXPECT_EQ(over.rc, -1);
    EXPECT_EQ(over.out, "The number of ddr init items out of the max value(128)\n");
    EXPECT_EQ(over.nodes[128].addr, 0xAAAAAAAAu);
}

} // namespace
