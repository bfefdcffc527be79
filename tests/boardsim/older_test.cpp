// The egret/heron boot ROM and test program, over the serial line and the USB bus.
#include "tests/boardsim/client.h"

#include <gtest/gtest.h>

using namespace bt;

namespace {

constexpr uint32_t kDevelop = 0x56787856, kProduct = 0x12343412, kCmd = 0x128A8A12,
                   kDone = 0x88888888;
constexpr uint32_t kEgretLoad = 0xF8006000, kHeronLoad = 0x1FFE6000;

struct SerialBoard {
    BoardProc b;
    std::unique_ptr<Pty> pty;
    explicit SerialBoard(std::vector<std::string> args) : b(std::move(args)) {
        if (b.wait_log("READY com"))
            pty = std::make_unique<Pty>(b.path(b.entry()));
    }
    bool ok() const { return pty && pty->fd >= 0; }
    std::string ask(const std::array<uint8_t, 16>& f, size_t n) {
        pty->write(bytes(f));
        return pty->read(n, 2000ms);
    }
    bool quiet() { return pty->read(1, 150ms).empty(); }
};

uint32_t load_of(const std::string& target) {
    return target == "egret" ? kEgretLoad : kHeronLoad;
}

// The console text up to the end of the line that starts with `start`.
std::string read_line_of(Pty& p, const std::string& start, ms timeout = 3000ms) {
    std::string out = p.read_until(start, timeout);
    size_t at = out.find(start);
    if (at != std::string::npos && out.find("\r\n", at) == std::string::npos)
        out += p.read_until("\r\n", 1000ms);
    return out;
}

// Download and start over the serial line; the answers must be exact.
void download_and_start(SerialBoard& s, const std::string& target, const std::string& image) {
    ASSERT_EQ(s.ask(frame(0x0404, load_of(target), 0, uint32_t(image.size()), 0, 0xAA), 4),
              word(kDevelop));
    ASSERT_TRUE(s.pty->write(image));
    char line[64];
    snprintf(line, sizeof line, "IMAGE %zu 0x%08x", image.size(), load_of(target));
    ASSERT_TRUE(s.b.wait_log(line)) << s.b.log();
    ASSERT_EQ(s.ask(frame(0x0505), 4), word(kDone));
    ASSERT_TRUE(s.b.wait_log("JUMP ")) << s.b.log();
}

std::string dcd_line(uint32_t a, uint32_t v) {
    char buf[64];
    snprintf(buf, sizeof buf, "DCD 0x%08x 0x%08x", a, v);
    return buf;
}

TEST(OlderRom, GateTypeDevelopOrProduct) {
    SerialBoard egret({"--target", "egret"});
    ASSERT_TRUE(egret.ok());
    EXPECT_EQ(egret.ask(frame(0x0303), 4), word(kDevelop));
    EXPECT_TRUE(egret.quiet());
    EXPECT_TRUE(egret.b.wait_log("FRAME 03030000000000000000000000000000\nACK 0x56787856\n"))
        << egret.b.log();

    SerialBoard heron({"--target", "heron", "--gate", "product"});
    ASSERT_TRUE(heron.ok());
    EXPECT_EQ(heron.ask(frame(0x0303), 4), word(kProduct));
    // Every GATE ack of a PRODUCT board says so.
    EXPECT_EQ(heron.ask(frame(0x0202, 0x83FD9000, 0x20, 0, 7), 8), word(kProduct) + word(kCmd));
}

TEST(OlderRom, RegisterWritesAppliedInOrderAndReadBack) {
    SerialBoard s({"--target", "egret"});
    ASSERT_TRUE(s.ok());
    const Write writes[] = {{0x63FD9000, 1}, {0x63FD9004, 2}, {0x63FD9000, 3}, {0xF801DC20, 9}};
    for (const Write& w : writes)
        EXPECT_EQ(s.ask(frame(0x0202, w.addr, 0x20, 0, w.value), 8), word(kDevelop) + word(kCmd));
    auto regs = s.b.lines("REG ");
    ASSERT_EQ(regs.size(), 4u);
    EXPECT_EQ(regs[0], "REG 0x63fd9000 0x00000001");
    EXPECT_EQ(regs[1], "REG 0x63fd9004 0x00000002");
    EXPECT_EQ(regs[2], "REG 0x63fd9000 0x00000003");
    EXPECT_EQ(regs[3], "REG 0xf801dc20 0x00000009");
    // The last write wins; memory reads back little-endian words.
    EXPECT_EQ(s.ask(frame(0x0101, 0x63FD9000, 0x20, 8), 12), word(kDevelop) + word(3) + word(2));
    EXPECT_EQ(s.ask(frame(0x0101, 0xF801DC20, 0x20, 4), 8), word(kDevelop) + word(9));
    // An address the chip cannot write is refused with a wrong CMD ack.
    EXPECT_EQ(s.ask(frame(0x0202, 0x12345678, 0x20, 0, 1), 8), word(kDevelop) + word(~kCmd));
    EXPECT_TRUE(s.b.wait_log("REJECT register write to 0x12345678"));
    EXPECT_EQ(s.b.lines("REG ").size(), 4u);
}

TEST(OlderRom, WrongFramesRefusedWithoutAnswer) {
    SerialBoard s({"--target", "egret"});
    ASSERT_TRUE(s.ok());
    const std::array<uint8_t, 16> bad[] = {
        frame(0x0302),                                 // code bytes differ
        frame(0x0B0B, kEgretLoad),                     // not an egret command
        frame(0x0606),                                 // no command at all
        frame(0x0303, 0, 0, 0, 1),                     // value must be zero
        frame(0x0303, 0, 0, 0, 0, 0xAA),               // tail must be zero
        frame(0x0505),                                 // execute before any image
        frame(0x0202, 0x63FD9000, 0x10, 0, 1),         // width not 32
        frame(0x0202, 0x63FD9000, 0x20, 4, 1),         // length must be zero
        frame(0x0404, 0xF8000000, 0, 8192, 0, 0xAA),   // wrong load address
        frame(0x0404, kEgretLoad, 0, 1651, 0, 0xAA),   // shorter than the DCD region's end
        frame(0x0404, kEgretLoad, 0, 106497, 0, 0xAA), // beyond IRAM
        frame(0x0101, 0x63FD9000, 0x20, 0),            // reads nothing
    };
    size_t n = 0;
    for (const auto& f : bad) {
        ASSERT_TRUE(s.pty->write(bytes(f)));
        ++n;
        ASSERT_TRUE(s.b.wait_count("REJECT ", n)) << hex(bytes(f)) << s.b.log();
        EXPECT_TRUE(s.quiet()) << hex(bytes(f));
    }
    EXPECT_EQ(s.b.lines("FRAME ").size(), n);
    EXPECT_TRUE(s.b.lines("ACK ").empty());
    // Frames stay aligned after refusals.
    EXPECT_EQ(s.ask(frame(0x0303), 4), word(kDevelop));
}

TEST(OlderRom, EgretDcdRunsBigEndianAndTheProgramPasses) {
    SerialBoard s({"--target", "egret"});
    ASSERT_TRUE(s.ok());
    auto w = example_writes("egret");
    ASSERT_GT(w.size(), 20u);
    download_and_start(s, "egret", place_dcd("egret", test_image("egret"), w, false));
    auto dcd = s.b.lines("DCD ");
    ASSERT_EQ(dcd.size(), 200u) << s.b.log();
    for (size_t i = 0; i < 200; ++i) {
        Write e = i < w.size() ? w[i] : Write{0xF801DC00, 0xDEADC0DE};
        EXPECT_EQ(dcd[i], dcd_line(e.addr, e.value)) << i;
    }
    EXPECT_TRUE(s.b.wait_log("JUMP 0xf8006000\n"));
    EXPECT_TRUE(s.b.wait_log("CONSOLE uart\n"));
    std::string out = s.pty->read_until("DDR test: PASS\r\n", 3000ms);
    EXPECT_NE(out.find("Larkspur DDR test, egret board, pass 1\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Console: uart\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Image check: OK\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("DDR test: PASS\r\n"), std::string::npos) << out;
    EXPECT_LT(out.size(), 1024u);

    // Keys: each one echoed; r runs the test again.
    ASSERT_TRUE(s.pty->write("x"));
    EXPECT_EQ(s.pty->read_until("\r\n", 2000ms), "Key 0x78\r\n");
    ASSERT_TRUE(s.pty->write("r"));
    out = s.pty->read_until("DDR test: PASS\r\n", 3000ms);
    EXPECT_EQ(out.rfind("Key 0x72\r\nLarkspur DDR test, egret board, pass 2\r\n", 0), 0u) << out;
    EXPECT_TRUE(s.b.wait_log("RX 72\nKEY 0x72\n")) << s.b.log();
    EXPECT_TRUE(s.b.wait_log("RX 78\nKEY 0x78\n"));
}

TEST(OlderRom, HeronDcdRunsLittleEndianAndSkipsWhatItCannotDo) {
    SerialBoard s({"--target", "heron"});
    ASSERT_TRUE(s.ok());
    auto w = example_writes("heron");
    std::string img = place_dcd("heron", test_image("heron"), w, false);
    // Two entries after the script's: a width of 2, and an address outside the chip.
    size_t bad1 = 36 + 12 * w.size(), bad2 = bad1 + 12;
    set_le32(img, bad1, 2);
    set_le32(img, bad2 + 4, 0x00000040);
    download_and_start(s, "heron", img);
    auto dcd = s.b.lines("DCD ");
    ASSERT_EQ(dcd.size(), 134u) << s.b.log();
    for (size_t i = 0; i < w.size(); ++i)
        EXPECT_EQ(dcd[i], dcd_line(w[i].addr, w[i].value)) << i;
    EXPECT_EQ(dcd[w.size()], dcd_line(0x1FFFDC00, 0xDEADC0DE));
    EXPECT_EQ(s.b.count("REJECT DCD entry"), 2u);
    EXPECT_TRUE(s.b.wait_log("width 2")) << s.b.log();
    EXPECT_TRUE(s.b.wait_log("cannot write 0x00000040"));
    EXPECT_TRUE(s.b.wait_log("JUMP 0x1ffe6000\n"));
    std::string out = s.pty->read_until("DDR test: PASS\r\n", 3000ms);
    EXPECT_NE(out.find("Image check: OK\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("DDR test: PASS"), std::string::npos) << out;
}

TEST(OlderRom, DdrFailNamesTheFirstWrongRegister) {
    {
        SerialBoard s({"--target", "egret"});
        ASSERT_TRUE(s.ok());
        auto w = example_writes("egret");
        for (Write& e : w)
            if (e.addr == 0x63FD9010)
                e.value = 0x12345678;
        download_and_start(s, "egret", place_dcd("egret", test_image("egret"), w, false));
        std::string out = read_line_of(*s.pty, "DDR test: ");
        EXPECT_NE(out.find("DDR test: FAIL, register 0x63fd9010 is 0x12345678, expected "
                           "0xff6f8ffe\r\n"),
                  std::string::npos)
            << out;
    }
    {
        // The image as written, its DCD never placed: the placeholders show.
        SerialBoard s({"--target", "heron"});
        ASSERT_TRUE(s.ok());
        download_and_start(s, "heron", test_image("heron"));
        std::string out = read_line_of(*s.pty, "DDR test: ");
        EXPECT_NE(out.find("DCD: the image's placeholder entries ran, no DCD was placed\r\n"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("DDR test: FAIL, register 0x83fd9000 was never written, expected "
                           "0x82a20000\r\n"),
                  std::string::npos)
            << out;
    }
}

TEST(OlderRom, ChangedImageByteFailsTheImageCheck) {
    SerialBoard s({"--target", "egret"});
    ASSERT_TRUE(s.ok());
    std::string img = place_dcd("egret", test_image("egret"), example_writes("egret"), false);
    img[5000] ^= 0x20;
    download_and_start(s, "egret", img);
    std::string out = s.pty->read_until("DDR test: PASS\r\n", 3000ms);
    EXPECT_NE(out.find("Image check: FAILED (crc32 0x"), std::string::npos) << out;
}

TEST(OlderRom, NoTestProgramInAForeignImage) {
    SerialBoard s({"--target", "egret"});
    ASSERT_TRUE(s.ok());
    std::string img = place_dcd("egret", test_image("heron"), example_writes("egret"), false);
    download_and_start(s, "egret", img);
    EXPECT_TRUE(s.b.wait_log("CONSOLE none\n"));
    EXPECT_TRUE(s.b.wait_log("REJECT the image holds no test program for egret"));
    EXPECT_TRUE(s.quiet());
}

TEST(OlderRom, SerialBoardWithUsbFlagTalksNowhere) {
    SerialBoard s({"--target", "egret"});
    ASSERT_TRUE(s.ok());
    download_and_start(s, "egret",
                       place_dcd("egret", test_image("egret"), example_writes("egret"), true));
    EXPECT_TRUE(s.b.wait_log("USB valid flag at 0xf801dc10: 0x55aa55aa\n")) << s.b.log();
    EXPECT_TRUE(s.b.wait_log("CONSOLE usb\n"));
    EXPECT_TRUE(s.b.wait_log("which this serial board does not have"));
    EXPECT_TRUE(s.pty->read(1, 300ms).empty());
}

TEST(OlderRom, SaveImageKeepsTheBytesAsReceived) {
    testsupport::TempDir tmp;
    SerialBoard s({"--target", "heron", "--save-image", tmp.file("got.bin")});
    ASSERT_TRUE(s.ok());
    std::string img = place_dcd("heron", test_image("heron", 4000), example_writes("heron"), false);
    download_and_start(s, "heron", img);
    EXPECT_TRUE(s.b.wait_log("SAVED 4000 bytes"));
    EXPECT_EQ(testsupport::read_file(tmp.file("got.bin")), img);
}

// ---- USB ------------------------------------------------------------------------------

struct UsbBoard {
    BoardProc b;
    std::unique_ptr<UsbClient> u;
    uint32_t dev = 0;
    explicit UsbBoard(std::vector<std::string> args) : b(std::move(args)) {
        if (!b.wait_log("READY usb"))
            return;
        u = std::make_unique<UsbClient>(b.path("usb"));
        if (auto d = u->attached(2000ms))
            dev = *d;
    }
};

TEST(OlderUsb, AttachCarriesTheIdsAndTheEndpoints) {
    for (auto [target, pid] : {std::pair{"egret", 0x0110}, std::pair{"heron", 0x0111}}) {
        BoardProc b({"--target", target, "--transport", "usb"});
        ASSERT_TRUE(b.wait_log("READY usb"));
        Seq s(b.path("usb"));
        auto a = s.recv(2000ms);
        ASSERT_TRUE(a);
        ASSERT_EQ(a->size(), 1u + 4 + 2 + 2 + 3 + 2 * 4);
        EXPECT_EQ((*a)[0], 'A');
        EXPECT_EQ(le32(*a, 1), 1u);
        EXPECT_EQ(uint8_t((*a)[5]) | uint8_t((*a)[6]) << 8, 0x2F5A);
        EXPECT_EQ(uint8_t((*a)[7]) | uint8_t((*a)[8]) << 8, pid);
        EXPECT_EQ(hex(a->substr(9)), "000002"
                                     "01020002"
                                     "82020002");
    }
}

TEST(OlderUsb, AnswersComeAsInDataBeforeTheReply) {
    UsbBoard x({"--target", "egret", "--transport", "usb"});
    ASSERT_EQ(x.dev, 1u);
    EXPECT_EQ(x.u->set_interface(x.dev, 0, 0), 0u);
    EXPECT_NE(x.u->set_interface(x.dev, 1, 0), 0u);
    EXPECT_NE(x.u->set_interface(x.dev + 5, 0, 0), 0u);
    x.u->order.clear();
    EXPECT_EQ(x.u->out(x.dev, bytes(frame(0x0303))), 0u);
    EXPECT_EQ(x.u->in, word(kDevelop));
    ASSERT_EQ(x.u->order.size(), 2u);
    EXPECT_EQ(x.u->order[0], "I");
    EXPECT_EQ(x.u->order[1], "R");
    EXPECT_EQ(le32(*x.u->last_reply, 9), 16u);
    x.u->in.clear();
    // A frame split over two OUT messages is still one frame.
    std::string f = bytes(frame(0x0202, 0x63FD9000, 0x20, 0, 0x84190000));
    EXPECT_EQ(x.u->out(x.dev, f.substr(0, 5)), 0u);
    EXPECT_EQ(x.u->out(x.dev, f.substr(5)), 0u);
    EXPECT_EQ(x.u->take_in(8, 1000ms), word(kDevelop) + word(kCmd));
    EXPECT_TRUE(x.b.wait_log("REG 0x63fd9000 0x84190000"));
    // Wrong endpoint or device: refused with a status, nothing taken.
    EXPECT_NE(x.u->out(x.dev, bytes(frame(0x0303)), 0x02), 0u);
    EXPECT_NE(x.u->out(x.dev + 1, bytes(frame(0x0303))), 0u);
    EXPECT_TRUE(x.u->take_in(4, 200ms).empty());
}

std::string text_from_words(UsbClient& u, const std::string& until, ms timeout) {
    std::string text;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (text.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
        std::string w = u.take_in(4, 100ms);
        if (w.size() == 4) {
            EXPECT_EQ(w.substr(1), std::string(3, '\0'));
            text += w[0];
        }
    }
    return text;
}

void usb_download_and_start(UsbBoard& x, const std::string& target, const std::string& image) {
    ASSERT_EQ(
        x.u->out(x.dev, bytes(frame(0x0404, load_of(target), 0, uint32_t(image.size()), 0, 0xAA))),
        0u);
    ASSERT_EQ(x.u->take_in(4, 1000ms), word(kDevelop));
    for (size_t off = 0; off < image.size(); off += 3000)
        ASSERT_EQ(x.u->out(x.dev, image.substr(off, 3000)), 0u);
    x.u->order.clear();
    ASSERT_EQ(x.u->out(x.dev, bytes(frame(0x0505))), 0u);
    ASSERT_EQ(x.u->take_in(4, 1000ms), word(kDone));
    ASSERT_EQ(x.u->detached(2000ms), x.dev);
    EXPECT_EQ(x.u->order[0], "I");
    EXPECT_EQ(x.u->order[1], "R");
    EXPECT_EQ(x.u->order[2], "D");
}

TEST(OlderUsb, TestProgramComesBackHandshakesAndTalksInWords) {
    UsbBoard x({"--target", "heron", "--transport", "usb", "--reappear-after", "150"});
    ASSERT_EQ(x.dev, 1u);
    usb_download_and_start(x, "heron",
                           place_dcd("heron", test_image("heron"), example_writes("heron"), true));
    auto gone = std::chrono::steady_clock::now();
    auto dev = x.u->attached(3000ms);
    ASSERT_TRUE(dev);
    EXPECT_GE(std::chrono::steady_clock::now() - gone, 100ms);
    EXPECT_EQ(*dev, 2u);
    EXPECT_TRUE(x.b.wait_log("GONE\n"));
    EXPECT_TRUE(x.b.wait_log("BACK\nREADY usb\n"));
    EXPECT_TRUE(x.b.wait_log("CONSOLE usb\n"));
    // Nothing is said before the handshake; the old device is gone.
    EXPECT_NE(x.u->out(x.dev, word('a')), 0u);
    EXPECT_TRUE(x.u->take_in(4, 200ms).empty());
    EXPECT_EQ(x.u->out(*dev, "\x0d\x90\x0d\x90"), 0u);
    EXPECT_EQ(x.u->take_in(4, 1000ms), "\x0d\x90\x0d\x90");
    EXPECT_TRUE(x.b.wait_log("HANDSHAKE\n"));
    std::string text = text_from_words(*x.u, "DDR test: PASS\r\n", 3000ms);
    EXPECT_NE(text.find("Console: usb\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Image check: OK\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DDR test: PASS\r\n"), std::string::npos) << text;
    EXPECT_EQ(x.u->out(*dev, word('k')), 0u);
    EXPECT_EQ(text_from_words(*x.u, "\r\n", 2000ms), "Key 0x6b\r\n");
    EXPECT_TRUE(x.b.wait_log("RX 6b 00 00 00\nKEY 0x6b\n")) << x.b.log();
}

TEST(OlderUsb, BoardWithoutTheFlagTalksOnItsSerialPort) {
    UsbBoard x({"--target", "egret", "--transport", "usb", "--reappear-after", "20"});
    ASSERT_EQ(x.dev, 1u);
    usb_download_and_start(x, "egret",
                           place_dcd("egret", test_image("egret"), example_writes("egret"), false));
    EXPECT_TRUE(x.b.wait_log("CONSOLE uart\n"));
    EXPECT_TRUE(x.b.wait_log("which this USB board does not have"));
    EXPECT_FALSE(x.u->attached(400ms));
}

} // namespace
