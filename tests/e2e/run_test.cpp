// Whole runs of the real larkspur against the real larkspur-board, on every target and
// transport: what the user sees, and what reached the board.
#include "tests/e2e/board.h"

#include "app/utility.h"

#include <cstdio>
#include <regex>

using namespace e2e;
using testsupport::lines;

namespace {

struct RunSetup {
    const char* name;
    std::string board; // target, transport, options
    std::string head;  // the first lines of the run
    uint32_t load_addr;
    const char* image_size = "";
    friend void PrintTo(const RunSetup& c, std::ostream* os) { *os << c.name; } // not its bytes
};

const RunSetup kSetups[] = {
    {"egret_serial", "egret uart", kSerialRun, 0xF8006000},
    {"heron_serial", "heron uart", kSerialRun, 0x1FFE6000},
    {"egret_usb", "egret usb", kEgretUsbRun, 0xF8006000},
    {"heron_usb", "heron usb", kHeronUsbRun, 0x1FFE6000},
    {"kestrel", "kestrel hid", "KESTREL opened.\n" + kFalconRun, 0x00907000},
    {"merlin", "merlin hid", "MERLIN opened.\n" + kFalconRun, 0x00907000},
    {"hobby", "hobby hid", "HOBBY opened.\n" + kFalconRun, 0x00907000},
    // The largest image a full-speed link carries in 0.1 s.
    {"egret_full_speed_usb", "egret usb --usb-rate 1000000", kEgretUsbRun, 0xF8006000, "106496"},
    {"heron_full_speed_usb", "heron usb --usb-rate 1000000", kHeronUsbRun, 0x1FFE6000, "106496"},
};

// The script's writes, read here apart from the host's parser.
std::vector<dcd_node> script_entries(const std::string& path) {
    const std::string text = testsupport::read_file(path);
    const std::regex setmem("\nsetmem /32 (0x\\w+) = (0x\\w+)");
    std::vector<dcd_node> nodes;
    for (std::sregex_iterator m(text.begin(), text.end(), setmem), end; m != end; ++m)
        nodes.push_back({uint32_t(std::stoul((*m)[1], nullptr, 16)),
                         uint32_t(std::stoul((*m)[2], nullptr, 16))});
    return nodes;
}

// The DCD region the board must receive, built here independently of the host's encoder.
std::string expected_region(bool egret, bool usb, const std::vector<dcd_node>& nodes) {
    size_t entries = egret ? 200 : 136;
    size_t flag = egret ? 192 : 128;
    std::string out;
    auto put = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<char>(egret ? v >> (24 - 8 * i) : v >> (8 * i)));
    };
    for (size_t i = 0; i < entries; ++i) {
        uint32_t addr = egret ? 0xF801DC00 : 0x1FFFDC00, value = 0xDEADC0DE;
        if (i < nodes.size()) {
            addr = nodes[i].addr;
            value = nodes[i].value;
        } else if (i == flag && usb) {
            addr = egret ? 0xF801DC10 : 0x1FFFDC10;
            value = 0x55AA55AA;
        }
        if (!egret)
            put(4);
        put(addr);
        put(value);
    }
    return out;
}

class FullRun : public testing::TestWithParam<RunSetup> {};

TEST_P(FullRun, ToEscWithBootRomExchangesOnTheWire) {
    const RunSetup& s = GetParam();
    const std::vector<std::string> board = words(s.board);
    const std::string target = board[0], transport = board[1];
    const bool usb = transport == "usb", falcon = transport == "hid";
    Session session(s.image_size);
    session.board(s.board);
    auto run = session.start(session.args_for(s.board));

    ASSERT_TRUE(run->wait_for_output(kRunning, 60s)) << run->out();
    ASSERT_TRUE(run->wait_for_output("DDR test: PASS", 20s)) << run->out() << session.board_log();
    EXPECT_NE(run->out().find("Image check: OK"), std::string::npos) << run->out();
    std::vector<std::string> want = lines(s.head + "\n"), shown = lines(run->out());
    shown.resize(want.size());
    EXPECT_EQ(shown, want);

    // A key reaches the test program in the transport's framing.
    session.send(*run, "q");
    ASSERT_TRUE(testsupport::eventually(
        [&] { return session.board_log().find("KEY 0x71") != std::string::npos; }, 10s))
        << session.board_log();
    // Before the key only the handshake word or the greeting report went out.
    auto rx = session.board_lines("RX ");
    ASSERT_EQ(rx.size(), transport == "uart" ? 1u : 2u) << session.board_log();
    // A byte, a 4-byte word, or a 64-byte report with ID 2.
    std::string q = transport == "uart" ? "RX 71" : falcon ? "RX 02 71" : "RX 71 00 00 00";
    for (int i = 0; falcon && i < 63; ++i)
        q += " 00";
    EXPECT_EQ(rx.back(), q);
    EXPECT_TRUE(run->wait_for_output("Key 0x71", 10s)) << run->out();

    // ESC ends the run and sends nothing.
    session.send(*run, "\x1b");
    EXPECT_EQ(run->wait_exit(10s), 0) << run->out();
    EXPECT_TRUE(wine_exe() || run->err().empty()) << run->err();
    testsupport::eventually([] { return false; }, 300ms);
    EXPECT_EQ(session.board_lines("RX ").size(), rx.size());

    // What reached the boot ROM.
    std::string image = testsupport::read_file(session.image(target));
    std::string received = session.received_image();
    auto frames = session.board_lines("FRAME ");
    auto nodes = script_entries(session.dir.file(target + ".inc"));
    std::vector<std::string> want_frames;
    if (falcon) {
        want_frames.push_back(frame(0x0505, 0, 0, 0, 0, 0));
        for (const dcd_node& n : nodes)
            want_frames.push_back(frame(0x0202, n.addr, 0x20, 0, n.value, 0));
        want_frames.push_back(frame(0x0404, s.load_addr, 0, uint32_t(image.size()), 0, 0xAA));
        want_frames.push_back(frame(0x0B0B, 0x00907000, 0, 0, 0, 0));
        EXPECT_EQ(received, image) << "a falcon image goes byte for byte";
        auto regs = session.board_lines("REG ");
        ASSERT_EQ(regs.size(), nodes.size());
        for (size_t i = 0; i < nodes.size(); ++i) {
            char want[64];
            std::snprintf(want, sizeof want, "REG 0x%08x 0x%08x", nodes[i].addr, nodes[i].value);
            EXPECT_EQ(regs[i], want);
        }
    } else {
        want_frames.push_back(frame(0x0303, 0, 0, 0, 0, 0));
        want_frames.push_back(frame(0x0404, s.load_addr, 0, uint32_t(image.size()), 0, 0xAA));
        want_frames.push_back(frame(0x0505, 0, 0, 0, 0, 0));
        EXPECT_TRUE(session.board_lines("REG ").empty());
        size_t off = target == "egret" ? 52 : 36;
        std::string region = expected_region(target == "egret", usb, nodes);
        ASSERT_EQ(received.size(), image.size());
        EXPECT_EQ(received.substr(0, off), image.substr(0, off));
        EXPECT_EQ(received.substr(off, region.size()), region);
        EXPECT_EQ(received.substr(off + region.size()), image.substr(off + region.size()));
        EXPECT_EQ(session.board_lines("DCD ").size(), region.size() / (off == 52 ? 8 : 12));
    }
    EXPECT_EQ(frames, want_frames);
    char jump[32];
    std::snprintf(jump, sizeof jump, "JUMP 0x%08x", s.load_addr);
    EXPECT_EQ(session.board_lines("JUMP "), std::vector<std::string>{jump});
}

INSTANTIATE_TEST_SUITE_P(Targets, FullRun, testing::ValuesIn(kSetups),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
