// Every fault option, and the pacing options, doing what they say.
#include "tests/boardsim/client.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace bt;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kDevelop = 0x56787856, kCmd = 0x128A8A12, kDone = 0x88888888,
                   kTrailer = 0xF0F0F0F0;
constexpr uint32_t kEgretLoad = 0xF8006000, kFalconLoad = 0x00907000;

bool exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// The words of a whole egret session over the serial line, in order; a word that does
// not come shows as nothing (the read waits briefly).
std::vector<uint32_t> egret_session(BoardProc& b) {
    std::vector<uint32_t> got;
    if (!b.wait_log("READY com"))
        return got;
    Pty p(b.path(b.entry()));
    // With the USB valid flag the test program keeps off the line: only ROM words come.
    std::string img = place_dcd("egret", test_image("egret", 1700), {}, true);
    auto take = [&](size_t n) {
        for (size_t i = 0; i < n; ++i) {
            std::string w = p.read(4, 300ms);
            if (w.size() == 4)
                got.push_back(le32(w, 0));
        }
    };
    p.write(bytes(frame(0x0303)));
    take(1);
    p.write(bytes(frame(0x0202, 0x63FD9000, 0x20, 0, 5)));
    take(2);
    p.write(bytes(frame(0x0404, kEgretLoad, 0, 1700, 0, 0xAA)));
    take(1);
    p.write(img);
    b.wait_log("IMAGE ");
    p.write(bytes(frame(0x0505)));
    take(1);
    return got;
}

std::vector<uint32_t> falcon_session(BoardProc& b) {
    std::vector<uint32_t> got;
    if (!b.wait_log("READY hid"))
        return got;
    HidClient h(b.path("hid-kestrel"));
    auto take = [&](size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (auto w = h.word(200ms))
                got.push_back(*w);
    };
    h.report(1, bytes(frame(0x0505)));
    take(2);
    h.report(1, bytes(frame(0x0202, 0x021B0000, 0x20, 0, 5)));
    take(2);
    h.report(1, bytes(frame(0x0404, kFalconLoad, 0, 1700, 0, 0xAA)));
    h.data(test_image("kestrel", 1700));
    take(2);
    h.report(1, bytes(frame(0x0B0B, kFalconLoad)));
    take(1);
    return got;
}

TEST(BoardFaults, WrongAckAndSilentPerExchange) {
    struct Case {
        const char* target;
        std::vector<std::pair<const char*, uint32_t>> words; // exchange, right word
    };
    const Case cases[] = {
        {"egret",
         {{"gate", kDevelop},
          {"write-gate", kDevelop},
          {"write-cmd", kCmd},
          {"image-gate", kDevelop},
          {"jump", kDone}}},
        {"kestrel",
         {{"gate", kDevelop},
          {"gate2", kTrailer},
          {"write-gate", kDevelop},
          {"write-cmd", kCmd},
          {"image-gate", kDevelop},
          {"image-cmd", kDone},
          {"jump", kDevelop}}},
    };
    for (const Case& c : cases) {
        bool falcon = std::string(c.target) == "kestrel";
        for (size_t k = 0; k < c.words.size(); ++k) {
            const char* ex = c.words[k].first;
            for (const char* opt : {"--wrong-ack", "--silent"}) {
                SCOPED_TRACE(std::string(c.target) + " " + opt + " " + ex);
                BoardProc b({"--target", c.target, opt, ex, "--never-reappear"});
                auto got = falcon ? falcon_session(b) : egret_session(b);
                std::vector<uint32_t> want;
                for (size_t i = 0; i < c.words.size(); ++i) {
                    if (i != k)
                        want.push_back(c.words[i].second);
                    else if (std::string(opt) == "--wrong-ack")
                        want.push_back(~c.words[i].second);
                }
                EXPECT_EQ(got, want) << b.log();
                EXPECT_EQ(b.count(std::string(opt) == "--silent" ? "NOACK " : "WRONG "), 1u);
            }
        }
    }
}

TEST(BoardFaults, SeveralExchangesAtOnce) {
    BoardProc b({"--target", "egret", "--wrong-ack", "gate", "--wrong-ack", "jump", "--silent",
                 "write-cmd"});
    auto got = egret_session(b);
    EXPECT_EQ(got, (std::vector<uint32_t>{~kDevelop, kDevelop, kDevelop, ~kDone}));
    // The write went in all the same; only its word was left out.
    EXPECT_EQ(b.lines("REG ").size(), 1u);
}

TEST(BoardFaults, RejectWriteRefusesTheNthOnly) {
    BoardProc b({"--target", "egret", "--reject-write", "2"});
    ASSERT_TRUE(b.wait_log("READY com"));
    Pty p(b.path(b.entry()));
    for (uint32_t i = 1; i <= 3; ++i) {
        p.write(bytes(frame(0x0202, 0x63FD9000 + 4 * i, 0x20, 0, i)));
        EXPECT_EQ(p.read(8, 1000ms), word(kDevelop) + word(i == 2 ? ~kCmd : kCmd)) << i;
    }
    auto regs = b.lines("REG ");
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0], "REG 0x63fd9004 0x00000001");
    EXPECT_EQ(regs[1], "REG 0x63fd900c 0x00000003");
    EXPECT_TRUE(b.wait_log("REJECT register write 2 to 0x63fd9008 (--reject-write)"));
}

// Bring an egret USB board to its test program's device; returns the new device number.
std::optional<uint32_t> usb_to_program(BoardProc& b, UsbClient& u, const std::string& image,
                                       ms wait = 3000ms) {
    auto dev = u.attached(2000ms);
    if (!dev)
        return std::nullopt;
    u.out(*dev, bytes(frame(0x0404, kEgretLoad, 0, uint32_t(image.size()), 0, 0xAA)));
    u.out(*dev, image);
    u.out(*dev, bytes(frame(0x0505)));
    u.take_in(8, 1000ms);
    if (!b.wait_log("JUMP "))
        return std::nullopt;
    return u.attached(wait);
}

std::string usb_image() {
    return place_dcd("egret", test_image("egret", 1700), example_writes("egret"), true);
}

TEST(BoardFaults, NoHandshakeLeavesTheHostWaiting) {
    {
        BoardProc b({"--target", "egret", "--transport", "usb", "--reappear-after", "10",
                     "--no-handshake"});
        ASSERT_TRUE(b.wait_log("READY usb"));
        UsbClient u(b.path("usb"));
        auto dev = usb_to_program(b, u, usb_image());
        ASSERT_TRUE(dev) << b.log();
        EXPECT_EQ(u.out(*dev, "\x0d\x90\x0d\x90"), 0u);
        EXPECT_TRUE(u.take_in(4, 300ms).empty());
        EXPECT_TRUE(b.wait_log("handshake word not answered (--no-handshake)"));
        EXPECT_EQ(b.count("HANDSHAKE"), 0u);
    }
    {
        BoardProc b({"--target", "kestrel", "--reappear-after", "10", "--no-handshake"});
        ASSERT_TRUE(b.wait_log("READY hid"));
        {
            HidClient h(b.path("hid-kestrel"));
            h.report(1, bytes(frame(0x0404, kFalconLoad, 0, 1700, 0, 0xAA)));
            h.data(test_image("kestrel", 1700));
            h.report(1, bytes(frame(0x0B0B, kFalconLoad)));
        }
        ASSERT_TRUE(b.wait_count("READY hid-kestrel", 2)) << b.log();
        HidClient h(b.path("hid-kestrel"));
        ASSERT_TRUE(h.report(2, "\xA5"));
        EXPECT_FALSE(h.input(300ms));
        EXPECT_TRUE(b.wait_log("greeting not taken (--no-handshake)"));
    }
}

// From the start to the test program's device: as long as asked, or never.
TEST(BoardFaults, ReappearAfterAndNeverReappear) {
    for (const char* delay : {"20", "400"}) {
        BoardProc b({"--target", "hobby", "--reappear-after", delay});
        ASSERT_TRUE(b.wait_log("READY hid"));
        HidClient h(b.path("hid-hobby"));
        h.report(1, bytes(frame(0x0404, kFalconLoad, 0, 1700, 0, 0xAA)));
        h.data(test_image("hobby", 1700));
        h.report(1, bytes(frame(0x0B0B, kFalconLoad)));
        ASSERT_TRUE(h.s.closed(2000ms));
        auto gone = Clock::now();
        EXPECT_FALSE(exists(b.path("hid-hobby")));
        ASSERT_TRUE(testsupport::eventually([&] { return exists(b.path("hid-hobby")); }, 3000ms));
        double s = seconds_since(gone);
        if (std::string(delay) == "400")
            EXPECT_GE(s, 0.35);
        else
            EXPECT_LT(s, 0.3);
        EXPECT_TRUE(b.wait_log("GONE\nBACK\nREADY hid-hobby\n")) << b.log();
    }
    {
        BoardProc b({"--target", "hobby", "--reappear-after", "10", "--never-reappear"});
        ASSERT_TRUE(b.wait_log("READY hid"));
        HidClient h(b.path("hid-hobby"));
        h.report(1, bytes(frame(0x0404, kFalconLoad, 0, 1700, 0, 0xAA)));
        h.data(test_image("hobby", 1700));
        h.report(1, bytes(frame(0x0B0B, kFalconLoad)));
        ASSERT_TRUE(h.s.closed(2000ms));
        EXPECT_FALSE(testsupport::eventually([&] { return exists(b.path("hid-hobby")); }, 300ms));
        EXPECT_TRUE(b.wait_log("never appears (--never-reappear)"));
        EXPECT_EQ(b.count("READY"), 1u);
    }
    {
        BoardProc b({"--target", "egret", "--transport", "usb", "--reappear-after", "10",
                     "--never-reappear"});
        ASSERT_TRUE(b.wait_log("READY usb"));
        UsbClient u(b.path("usb"));
        EXPECT_FALSE(usb_to_program(b, u, usb_image(), 300ms));
        EXPECT_TRUE(b.wait_log("GONE\n"));
        EXPECT_TRUE(b.wait_log("never appears (--never-reappear)"));
    }
}

TEST(BoardFaults, UnplugAfterBytesOnEachTransport) {
    testsupport::TempDir tmp;
    {
        BoardProc b({"--target", "egret", "--unplug-after-bytes", "1000", "--save-image",
                     tmp.file("part.bin")});
        ASSERT_TRUE(b.wait_log("READY com1"));
        Pty p(b.path("com1"));
        std::string img = test_image("egret", 1700);
        p.write(bytes(frame(0x0404, kEgretLoad, 0, 1700, 0, 0xAA)));
        EXPECT_EQ(p.read(4, 1000ms), word(kDevelop));
        p.write(img);
        EXPECT_TRUE(b.wait_log("UNPLUG\n"));
        EXPECT_TRUE(b.wait_log("GONE\n"));
        EXPECT_FALSE(exists(b.path("com1")));
        EXPECT_EQ(testsupport::read_file(tmp.file("part.bin")), img.substr(0, 1000));
        EXPECT_EQ(b.count("IMAGE "), 0u);
        // The line has hung up: reads end at once.
        EXPECT_TRUE(p.read(1, 500ms).empty());
    }
    {
        BoardProc b({"--target", "heron", "--transport", "usb", "--unplug-after-bytes", "2000"});
        ASSERT_TRUE(b.wait_log("READY usb"));
        UsbClient u(b.path("usb"));
        auto dev = u.attached(2000ms);
        ASSERT_TRUE(dev);
        std::string img = test_image("heron", 4000);
        EXPECT_EQ(u.out(*dev, bytes(frame(0x0404, 0x1FFE6000, 0, 4000, 0, 0xAA))), 0u);
        EXPECT_EQ(u.out(*dev, img.substr(0, 1500)), 0u);
        EXPECT_FALSE(u.out(*dev, img.substr(1500, 1500), 0x01, 500ms)) << "no reply";
        EXPECT_EQ(u.detached(1000ms), *dev);
        EXPECT_FALSE(u.out(*dev, bytes(frame(0x0303)), 0x01, 300ms)) << "stops answering";
        EXPECT_TRUE(b.wait_log("UNPLUG\n"));
    }
    {
        BoardProc b({"--target", "merlin", "--unplug-after-bytes", "640"});
        ASSERT_TRUE(b.wait_log("READY hid"));
        HidClient h(b.path("hid-merlin"));
        std::string img = test_image("merlin", 1700);
        ASSERT_TRUE(h.report(1, bytes(frame(0x0404, kFalconLoad, 0, 1700, 0, 0xAA))));
        ASSERT_TRUE(h.data(img.substr(0, 576)));
        EXPECT_FALSE(h.report(2, img.substr(576, 64), 500ms)) << "the tenth report is not taken";
        EXPECT_TRUE(h.s.closed(1000ms));
        EXPECT_FALSE(exists(b.path("hid-merlin")));
        EXPECT_TRUE(b.wait_log("UNPLUG\n"));
        EXPECT_TRUE(b.wait_log("GONE\n"));
    }
}

TEST(BoardFaults, UnplugDuringRelayOnEachTransport) {
    {
        BoardProc b({"--target", "heron", "--unplug-during-relay", "300"});
        ASSERT_TRUE(b.wait_log("READY com1"));
        Pty p(b.path("com1"));
        std::string img =
            place_dcd("heron", test_image("heron", 1700), example_writes("heron"), false);
        p.write(bytes(frame(0x0404, 0x1FFE6000, 0, 1700, 0, 0xAA)));
        p.read(4, 1000ms);
        p.write(img);
        ASSERT_TRUE(b.wait_log("IMAGE "));
        p.write(bytes(frame(0x0505)));
        auto start = Clock::now();
        std::string out = p.read_until("DDR test: PASS\r\n", 2000ms);
        EXPECT_NE(out.find("DDR test: PASS"), std::string::npos) << out;
        ASSERT_TRUE(testsupport::eventually([&] { return !exists(b.path("com1")); }, 2000ms));
        EXPECT_GE(seconds_since(start), 0.25);
        EXPECT_TRUE(b.wait_log("UNPLUG\n"));
        EXPECT_TRUE(b.wait_log("GONE\n"));
    }
    {
        BoardProc b({"--target", "egret", "--transport", "usb", "--reappear-after", "10",
                     "--unplug-during-relay", "500"});
        ASSERT_TRUE(b.wait_log("READY usb"));
        UsbClient u(b.path("usb"));
        auto dev = usb_to_program(b, u, usb_image());
        ASSERT_TRUE(dev);
        EXPECT_EQ(u.out(*dev, "\x0d\x90\x0d\x90"), 0u);
        EXPECT_EQ(u.detached(2000ms), *dev);
        EXPECT_TRUE(b.wait_log("UNPLUG\n"));
        EXPECT_FALSE(u.out(*dev, word('x'), 0x01, 300ms)) << "stops answering";
    }
    {
        BoardProc b(
            {"--target", "kestrel", "--reappear-after", "10", "--unplug-during-relay", "700"});
        ASSERT_TRUE(b.wait_log("READY hid"));
        {
            HidClient h(b.path("hid-kestrel"));
            h.report(1, bytes(frame(0x0404, kFalconLoad, 0, 1700, 0, 0xAA)));
            h.data(test_image("kestrel", 1700));
            h.report(1, bytes(frame(0x0B0B, kFalconLoad)));
        }
        ASSERT_TRUE(b.wait_count("READY hid-kestrel", 2));
        HidClient h(b.path("hid-kestrel"));
        ASSERT_TRUE(h.report(2, "\xA5"));
        EXPECT_TRUE(h.s.closed(2000ms));
        EXPECT_FALSE(exists(b.path("hid-kestrel")));
        EXPECT_TRUE(b.wait_log("UNPLUG\n"));
    }
}

TEST(BoardPacing, BaudRateHoldsBothDirections) {
    BoardProc b({"--target", "egret", "--baud", "38400", "--stream", "2000"});
    ASSERT_TRUE(b.wait_log("READY com1"));
    Pty p(b.path("com1"));
    std::string img = place_dcd("egret", test_image("egret", 1700), example_writes("egret"), false);
    p.write(bytes(frame(0x0404, kEgretLoad, 0, 1700, 0, 0xAA)));
    ASSERT_EQ(p.read(4, 1000ms), word(kDevelop));
    auto t0 = Clock::now();
    p.write(img); // 1700 bytes at 3840 bytes/s
    ASSERT_TRUE(b.wait_log("IMAGE ", 3000ms));
    double in_s = seconds_since(t0);
    EXPECT_GE(in_s, 0.38);
    EXPECT_LT(in_s, 1.5);
    p.write(bytes(frame(0x0505)));
    ASSERT_EQ(p.read(4, 1000ms), word(kDone));
    auto t1 = Clock::now();
    std::string out = p.read_until("STREAM END", 5000ms);
    out += p.read_until("\r\n", 1000ms);
    double out_s = seconds_since(t1);
    EXPECT_GE(out_s, double(out.size()) / 3840 * 0.85) << out.size();
    EXPECT_LT(out_s, 2.5);
}

TEST(BoardPacing, HidIntervalSpacesReportsBothWays) {
    BoardProc b({"--target", "kestrel", "--hid-interval-us", "20000"});
    ASSERT_TRUE(b.wait_log("READY hid"));
    HidClient h(b.path("hid-kestrel"));
    auto t0 = Clock::now();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(h.report(2, "x"));
    EXPECT_GE(seconds_since(t0), 0.17);
    ASSERT_TRUE(h.report(1, bytes(frame(0x0505))));
    auto w1 = h.word(1000ms);
    auto t1 = Clock::now();
    auto w2 = h.word(1000ms);
    EXPECT_EQ(w1, kDevelop);
    EXPECT_EQ(w2, kTrailer);
    EXPECT_GE(seconds_since(t1), 0.015);
}

TEST(BoardPacing, UsbRateDelaysTheReply) {
    BoardProc b({"--target", "egret", "--transport", "usb", "--usb-rate", "20000"});
    ASSERT_TRUE(b.wait_log("READY usb"));
    UsbClient u(b.path("usb"));
    auto dev = u.attached(2000ms);
    ASSERT_TRUE(dev);
    std::string img = test_image("egret", 8000);
    ASSERT_EQ(u.out(*dev, bytes(frame(0x0404, kEgretLoad, 0, 8000, 0, 0xAA))), 0u);
    auto t0 = Clock::now();
    EXPECT_EQ(u.out(*dev, img, 0x01, 3000ms), 0u);
    double s = seconds_since(t0);
    EXPECT_GE(s, 0.35);
    EXPECT_LT(s, 1.5);
}

// The pattern of --stream: 64 characters and CR LF per line, CR LF at its very end.
std::string pattern(size_t n) {
    static const char a[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        size_t col = i % 66;
        s[i] = col == 64 ? '\r' : col == 65 ? '\n' : a[(i / 66 + col) % 62];
    }
    if (n >= 2)
        s.replace(n - 2, 2, "\r\n");
    return s;
}

// "STREAM BEGIN <n> bytes", the n bytes, then "STREAM END <n> 0x<sum>" where the sum is
// sum * 31 + byte over the n bytes.
void check_stream(const std::string& out, size_t n) {
    std::string begin = "STREAM BEGIN " + std::to_string(n) + " bytes\r\n";
    size_t at = out.find(begin);
    ASSERT_NE(at, std::string::npos) << out.substr(0, 400);
    EXPECT_NE(out.rfind("DDR test: PASS\r\n" + begin, at), std::string::npos);
    std::string body = out.substr(at + begin.size(), n);
    std::string want = pattern(n);
    auto diff = std::mismatch(body.begin(), body.end(), want.begin(), want.end());
    ASSERT_TRUE(body == want) << "first difference at " << (diff.first - body.begin()) << " of "
                              << body.size();
    uint32_t sum = 0;
    for (unsigned char c : body)
        sum = sum * 31 + c;
    char end[96];
    snprintf(end, sizeof end, "STREAM END %zu 0x%08x\r\n", n, sum);
    EXPECT_EQ(out.substr(at + begin.size() + n, strlen(end)), end);
}

TEST(BoardStream, SerialStreamArrivesWhole) {
    BoardProc b({"--target", "egret", "--stream", "100000"});
    ASSERT_TRUE(b.wait_log("READY com1"));
    Pty p(b.path("com1"));
    std::string img = place_dcd("egret", test_image("egret", 1700), example_writes("egret"), false);
    p.write(bytes(frame(0x0404, kEgretLoad, 0, 1700, 0, 0xAA)));
    p.read(4, 1000ms);
    p.write(img);
    ASSERT_TRUE(b.wait_log("IMAGE "));
    p.write(bytes(frame(0x0505)));
    ASSERT_EQ(p.read(4, 1000ms), word(kDone));
    // A key during the stream is answered after its end line.
    std::string out = p.read_until("STREAM BEGIN", 2000ms);
    p.write("k");
    out += p.read_until("STREAM END", 10000ms);
    out += p.read_until("Key 0x6b\r\n", 1000ms);
    check_stream(out, 100000);
    EXPECT_EQ(out.substr(out.size() - 10), "Key 0x6b\r\n");
}

TEST(BoardStream, HidStreamArrivesWhole) {
    BoardProc b({"--target", "hobby", "--reappear-after", "10", "--stream", "5000"});
    ASSERT_TRUE(b.wait_log("READY hid"));
    {
        HidClient h(b.path("hid-hobby"));
        for (const Write& w : example_writes("hobby")) {
            h.report(1, bytes(frame(0x0202, w.addr, 0x20, 0, w.value)));
            h.word(1000ms);
            h.word(1000ms);
        }
        h.report(1, bytes(frame(0x0404, kFalconLoad, 0, 1700, 0, 0xAA)));
        h.data(test_image("hobby", 1700));
        h.report(1, bytes(frame(0x0B0B, kFalconLoad)));
    }
    ASSERT_TRUE(b.wait_count("READY hid-hobby", 2));
    HidClient h(b.path("hid-hobby"));
    ASSERT_TRUE(h.report(2, "\xA5"));
    std::string out = h.text_until("STREAM END", 5000ms);
    out += h.text_until("\r\n", 1000ms);
    check_stream(out, 5000);
}

TEST(BoardStream, UsbStreamArrivesWhole) {
    BoardProc b(
        {"--target", "egret", "--transport", "usb", "--reappear-after", "10", "--stream", "700"});
    ASSERT_TRUE(b.wait_log("READY usb"));
    UsbClient u(b.path("usb"));
    auto dev = usb_to_program(b, u, usb_image());
    ASSERT_TRUE(dev);
    u.in.clear();
    ASSERT_EQ(u.out(*dev, "\x0d\x90\x0d\x90"), 0u);
    ASSERT_EQ(u.take_in(4, 1000ms), "\x0d\x90\x0d\x90");
    std::string text;
    while (text.find("STREAM END") == std::string::npos ||
           text.substr(text.find("STREAM END")).find("\r\n") == std::string::npos) {
        std::string w = u.take_in(4, 1000ms);
        if (w.size() != 4)
            break;
        text += w[0];
    }
    check_stream(text, 700);
}

TEST(BoardOutput, ZeroByteInTheMiddleOfALine) {
    BoardProc b({"--target", "egret", "--zero-in-output"});
    ASSERT_TRUE(b.wait_log("READY com1"));
    Pty p(b.path("com1"));
    std::string img = place_dcd("egret", test_image("egret", 1700), example_writes("egret"), false);
    p.write(bytes(frame(0x0404, kEgretLoad, 0, 1700, 0, 0xAA)));
    p.read(4, 1000ms);
    p.write(img);
    ASSERT_TRUE(b.wait_log("IMAGE "));
    p.write(bytes(frame(0x0505)));
    std::string out = p.read_until("DDR test: PASS\r\n", 2000ms);
    EXPECT_NE(out.find(std::string("ZERO BYTE\0 SKIPPED\r\n", 20)), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\0'), 1);
}

} // namespace
