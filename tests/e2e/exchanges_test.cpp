// What no board can make a whole run show: every boot ROM exchange on a line that hung up,
// a piece of the image the line takes only in part, and the memory read.
#include "tests/e2e/board.h"

#include "romproto/romproto.h"
#include "transport/transport.h"
#include "transport/uart/uart.h"

#include <functional>
#include <regex>

using namespace e2e;

namespace {

std::string captured(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Exchanges, EveryOneOnAHungUpLine) {
    Session s;
    s.board("egret uart --com 3");
    setenv("LARKSPUR_DEVICES", s.devices().c_str(), 1);
    // The switch's own open: nothing for a falcon board not yet probed or absent, nor for a
    // value that names no target (no table read outside its rows either).
    for (int usb : {0, 1}) {
        use_usb = usb;
        for (int target :
             {int{TARGET_NONE}, int{TARGET_FALCON}, int{TARGET_KESTREL}, TARGET_HOBBY + 1}) {
            target_id = target;
            EXPECT_EQ(dev_open("COM3"), 0);
        }
    }
    target_id = TARGET_EGRET;
    use_usb = 0;
    ASSERT_EQ(dev_open("COM3"), 1);
    s.boards[0].reset(); // the line hangs up

    uint8_t gate = 0;
    std::string out = captured([&] { EXPECT_EQ(rom_check_gate(&gate), 0u); });
    EXPECT_TRUE(
        std::regex_match(out, std::regex("Write COM failed\\.\nrom_check_gate: writing cmd "
                                         "to device failed and error code is [1-9][0-9]*\n")))
        << out;
    const dcd_node nodes[] = {{0x53fd4000, 1}};
    EXPECT_EQ(captured([&] { EXPECT_EQ(write_dcd(nodes, 1), 0u); }),
              "Write COM failed.\nrom_write: writing to device failed\n"
              "ROM Write failed, addr: 0x53fd4000\n");
    std::vector<uint8_t> image(2048, 0x5A);
    EXPECT_EQ(
        captured([&] { EXPECT_EQ(rom_write_image(image.data(), 2048, 0xF8006000, 0xAA), 0u); }),
        "Write COM failed.\nrom_write_image: writing cmd to device failed\n");
    EXPECT_EQ(captured([] { rom_jump(); }),
              "Write COM failed.\nrom_exec: writing cmd to device failed\n");
    uint8_t buf[4];
    EXPECT_EQ(captured([&] { EXPECT_EQ(rom_read(0xF8006000, buf, 4), 0u); }),
              "Write COM failed.\nrom_write: writing to device failed\n");
    dev_close();
    EXPECT_EQ(uart_handle, nullptr);
}

// A piece of the image that goes out only in part (the line's write timeout ran out) ends
// the download there, failed.
TEST(Exchanges, AShortPieceEndsTheDownload) {
    Session s("106496");
    s.board("egret uart --com 3 --baud 1200");
    setenv("LARKSPUR_DEVICES", s.devices().c_str(), 1);
    target_id = TARGET_EGRET;
    ASSERT_EQ(OpenUART("COM3"), 1);
    COMMTIMEOUTS quick = {1000, 500, 5000, 0, 300};
    SetCommTimeouts(uart_handle, &quick);
    const std::string image = testsupport::read_file(s.image("egret"));
    static std::vector<uint32_t> shown;
    const std::string out = captured([&] {
        EXPECT_EQ(rom_write_image(reinterpret_cast<const uint8_t*>(image.data()),
                                  uint32_t(image.size()), 0xF8006000, 0xAA,
                                  [](uint32_t done, uint32_t) { shown.push_back(done); }),
                  0u);
    });
    EXPECT_EQ(out, "rom_write_image: sending file failed\n");
    ASSERT_FALSE(shown.empty()) << "the line took no piece whole";
    EXPECT_LT(shown.back(), image.size() - 2048) << "the pieces after the short one went too";
    dev_close();
}

// The memory read: its frame, then a GATE ack; a wrong ack ends it before the data.
TEST(Exchanges, MemoryReadRefusesAWrongAck) {
    Session s;
    s.board("heron uart --com 3 --wrong-ack read-gate");
    setenv("LARKSPUR_DEVICES", s.devices().c_str(), 1);
    target_id = TARGET_HERON;
    ASSERT_EQ(OpenUART("COM3"), 1);
    uint8_t buf[8] = {};
    const std::string out = captured([&] { EXPECT_EQ(rom_read(0x1FFE6000, buf, 8), 0u); });
    ASSERT_TRUE(testsupport::eventually([&] { return !s.board_lines("ACK ").empty(); }, 3s));
    EXPECT_EQ(out, "rom_read: reading GATE ack failed: " + ack_after_last_frame(s, 0) + "\n");
    EXPECT_EQ(s.board_lines("FRAME "),
              std::vector<std::string>{frame(0x0101, 0x1FFE6000, 0x20, 8, 0, 0)});
    dev_close();
}

} // namespace
