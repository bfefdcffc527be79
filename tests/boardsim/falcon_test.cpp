// The falcon boot ROM and test program over the virtual HID device.
#include "tests/boardsim/client.h"

#include <gtest/gtest.h>

using namespace bt;

namespace {

constexpr uint32_t kDevelop = 0x56787856, kCmd = 0x128A8A12, kDone = 0x88888888;
constexpr uint32_t kLoad = 0x00907000;

struct HidBoard {
    BoardProc b;
    std::unique_ptr<HidClient> h;
    std::string target;
    explicit HidBoard(std::vector<std::string> args) : b(args), target(args.at(1)) {
        if (b.wait_log("READY hid-"))
            h = std::make_unique<HidClient>(b.path("hid-" + target));
    }
    bool ok() const { return h && h->s.ok() && !h->hello.empty(); }
    bool send(const std::array<uint8_t, 16>& f, uint8_t id = 1) { return h->report(id, bytes(f)); }
    bool quiet() { return !h->input(150ms); }
};

// Register writes of the sample script, the image, the jump; then the comeback.
void bring_up(HidBoard& x, const std::string& image) {
    for (const Write& w : example_writes(x.target)) {
        ASSERT_TRUE(x.send(frame(0x0202, w.addr, 0x20, 0, w.value)));
        ASSERT_EQ(x.h->word(1000ms), kDevelop);
        ASSERT_EQ(x.h->word(1000ms), kCmd);
    }
    ASSERT_TRUE(x.send(frame(0x0404, kLoad, 0, uint32_t(image.size()), 0, 0xAA)));
    EXPECT_FALSE(x.h->input(100ms)) << "no word between the frame and the data";
    ASSERT_TRUE(x.h->data(image));
    ASSERT_EQ(x.h->word(1000ms), kDevelop);
    ASSERT_EQ(x.h->word(1000ms), kDone);
    ASSERT_TRUE(x.send(frame(0x0B0B, kLoad)));
    ASSERT_EQ(x.h->word(1000ms), kDevelop);
    EXPECT_TRUE(x.h->s.closed(2000ms)) << "the boot ROM's device goes away";
}

TEST(FalconRom, HelloCarriesTheIdsOfEachVariant) {
    for (auto [target, pid] :
         {std::pair{"kestrel", 0x0101}, std::pair{"merlin", 0x0102}, std::pair{"hobby", 0x0103}}) {
        HidBoard x({"--target", target});
        ASSERT_TRUE(x.ok()) << target;
        EXPECT_EQ(hex(x.h->hello), "48"
                                   "5a2f" +
                                       hex(std::string{char(pid & 0xFF), char(pid >> 8)}) +
                                       "4100"
                                       "4100");
    }
}

TEST(FalconRom, GateIsTwoReportsWithIdOne) {
    HidBoard x({"--target", "kestrel"});
    ASSERT_TRUE(x.ok());
    ASSERT_TRUE(x.send(frame(0x0505)));
    auto r1 = x.h->input(1000ms), r2 = x.h->input(1000ms);
    ASSERT_TRUE(r1 && r2);
    EXPECT_EQ(*r1, "\x01" + word(kDevelop) + std::string(60, '\0'));
    EXPECT_EQ(*r2, "\x01" + word(0xF0F0F0F0) + std::string(60, '\0'));
    EXPECT_TRUE(x.quiet());
    EXPECT_TRUE(x.b.wait_log("FRAME 05050000000000000000000000000000\nACK 0x56787856\n"
                             "ACK 0xf0f0f0f0\n"));
}

TEST(FalconRom, RegisterWritesAndReadBack) {
    HidBoard x({"--target", "merlin"});
    ASSERT_TRUE(x.ok());
    for (auto [a, v] : {std::pair{0x021B0000u, 0x841A0000u}, std::pair{0x021B001Cu, 0x8033u},
                        std::pair{0x021B001Cu, 0u}}) {
        ASSERT_TRUE(x.send(frame(0x0202, a, 0x20, 0, v)));
        EXPECT_EQ(x.h->word(1000ms), kDevelop);
        EXPECT_EQ(x.h->word(1000ms), kCmd);
    }
    auto regs = x.b.lines("REG ");
    ASSERT_EQ(regs.size(), 3u);
    EXPECT_EQ(regs[1], "REG 0x021b001c 0x00008033");
    EXPECT_EQ(regs[2], "REG 0x021b001c 0x00000000");
    ASSERT_TRUE(x.send(frame(0x0101, 0x021B0000, 0x20, 100)));
    EXPECT_EQ(x.h->word(1000ms), kDevelop);
    auto d1 = x.h->input(1000ms), d2 = x.h->input(1000ms);
    ASSERT_TRUE(d1 && d2);
    EXPECT_EQ(d1->substr(1, 4), word(0x841A0000));
    EXPECT_EQ(d2->substr(1, 36), std::string(36, '\0'));
}

TEST(FalconRom, ReportIdsAreChecked) {
    HidBoard x({"--target", "hobby"});
    ASSERT_TRUE(x.ok());
    ASSERT_TRUE(x.send(frame(0x0505), 3));
    EXPECT_TRUE(x.b.wait_log("REJECT report ID 3: frames take report ID 1"));
    ASSERT_TRUE(x.send(frame(0x0505), 2));
    EXPECT_TRUE(x.b.wait_log("REJECT image data (report ID 2) without a download"));
    EXPECT_TRUE(x.quiet());
    // During the download only ID 2 carries data; anything else is refused and skipped.
    std::string img = test_image("hobby", 2000);
    ASSERT_TRUE(x.send(frame(0x0404, kLoad, 0, 2000, 0, 0xAA)));
    ASSERT_TRUE(x.h->data(img.substr(0, 640)));
    ASSERT_TRUE(x.send(frame(0x0505), 1));
    EXPECT_TRUE(x.b.wait_log("REJECT report ID 1 during the image download"));
    ASSERT_TRUE(x.h->data(img.substr(640)));
    EXPECT_EQ(x.h->word(1000ms), kDevelop);
    EXPECT_EQ(x.h->word(1000ms), kDone);
    EXPECT_TRUE(x.b.wait_log("IMAGE 2000 0x00907000\n"));
}

TEST(FalconRom, WrongFramesRefusedWithoutAnswer) {
    HidBoard x({"--target", "kestrel"});
    ASSERT_TRUE(x.ok());
    const std::array<uint8_t, 16> bad[] = {
        frame(0x0303),                              // egret/heron's gate query
        frame(0x0B0A, kLoad),                       // code bytes differ
        frame(0x0505, 0, 0x20),                     // width must be zero
        frame(0x0B0B, kLoad),                       // jump before any image
        frame(0x0404, 0x00900000, 0, 100, 0, 0xAA), // wrong load address
        frame(0x0404, kLoad, 0, 300000, 0, 0xAA),   // beyond IRAM
    };
    size_t n = 0;
    for (const auto& f : bad) {
        ASSERT_TRUE(x.send(f));
        ASSERT_TRUE(x.b.wait_count("REJECT ", ++n)) << hex(bytes(f)) << x.b.log();
        EXPECT_TRUE(x.quiet()) << hex(bytes(f));
    }
    std::string img = test_image("kestrel", 1700);
    ASSERT_TRUE(x.send(frame(0x0404, kLoad, 0, 1700, 0, 0xAA)));
    ASSERT_TRUE(x.h->data(img));
    EXPECT_EQ(x.h->word(1000ms), kDevelop);
    EXPECT_EQ(x.h->word(1000ms), kDone);
    ASSERT_TRUE(x.send(frame(0x0B0B, 0x00907004)));
    EXPECT_TRUE(x.b.wait_log("REJECT jump to 0x00907004"));
    EXPECT_TRUE(x.quiet());
}

TEST(FalconProgram, ComesBackTakesTheGreetingAndPasses) {
    HidBoard x({"--target", "kestrel", "--reappear-after", "50"});
    ASSERT_TRUE(x.ok());
    bring_up(x, test_image("kestrel"));
    EXPECT_TRUE(x.b.wait_log("JUMP 0x00907000\nCONSOLE hid\n")) << x.b.log();
    EXPECT_TRUE(x.b.wait_log("GONE\n"));
    ASSERT_TRUE(x.b.wait_count("READY hid-kestrel", 2)) << x.b.log();
    EXPECT_TRUE(x.b.wait_log("BACK\nREADY hid-kestrel\n"));
    HidClient h(x.b.path("hid-kestrel"));
    ASSERT_FALSE(h.hello.empty());
    EXPECT_FALSE(h.input(150ms)) << "silent until greeted";
    ASSERT_TRUE(h.report(2, "\xA5"));
    EXPECT_TRUE(x.b.wait_log("GREETING\n"));
    std::string text = h.text_until("DDR test: PASS\r\n", 3000ms);
    EXPECT_NE(text.find("Console: hid\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Image check: OK\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DDR test: PASS\r\n"), std::string::npos) << text;
    ASSERT_TRUE(h.report(2, "q"));
    EXPECT_EQ(h.text_until("\r\n", 2000ms), "Key 0x71\r\n");
    ASSERT_TRUE(h.report(2, "r"));
    text = h.text_until("DDR test: PASS\r\n", 3000ms);
    EXPECT_NE(text.find("pass 2\r\n"), std::string::npos) << text;
    EXPECT_TRUE(x.b.wait_log("KEY 0x71\n"));
}

TEST(FalconProgram, FailNamesTheRegisterThatIsOff) {
    HidBoard x({"--target", "merlin", "--reappear-after", "20", "--reject-write", "31"});
    ASSERT_TRUE(x.ok());
    auto w = example_writes("merlin");
    std::string img = test_image("merlin");
    // The bring-up with the 31st write (0x021b0008, set once) refused by the board.
    for (size_t i = 0; i < w.size(); ++i) {
        ASSERT_TRUE(x.send(frame(0x0202, w[i].addr, 0x20, 0, w[i].value)));
        ASSERT_EQ(x.h->word(1000ms), kDevelop);
        ASSERT_EQ(x.h->word(1000ms), i == 30 ? ~kCmd : kCmd) << i;
    }
    ASSERT_TRUE(x.send(frame(0x0404, kLoad, 0, uint32_t(img.size()), 0, 0xAA)));
    ASSERT_TRUE(x.h->data(img));
    ASSERT_EQ(x.h->word(1000ms), kDevelop);
    ASSERT_EQ(x.h->word(1000ms), kDone);
    ASSERT_TRUE(x.send(frame(0x0B0B, kLoad)));
    ASSERT_TRUE(x.b.wait_count("READY hid-merlin", 2)) << x.b.log();
    HidClient h(x.b.path("hid-merlin"));
    ASSERT_TRUE(h.report(2, "\xA5"));
    std::string text = h.text_until("DDR test: FAIL", 3000ms);
    text += h.text_until("\r\n", 1000ms);
    char want[128];
    snprintf(want, sizeof want,
             "DDR test: FAIL, register 0x%08x was never written, expected 0x%08x\r\n", w[30].addr,
             w[30].value);
    EXPECT_NE(text.find(want), std::string::npos) << text;
    EXPECT_TRUE(x.b.wait_log("REJECT register write 31 to 0x021b0008 (--reject-write)"));
}

} // namespace
