// Boot ROM frames byte-exact, and the transport switch's USB reads, cut into pieces of
// 1024 bytes, against an egret board on the virtual USB bus.
#include "platform/shared.h"
#include "romproto/romproto.h"
#include "tests/unit/usb/usb_test.h"
#include "transport/transport.h"

#include <gtest/gtest.h>

using namespace usbtest;
using namespace std::chrono_literals;

namespace {

TEST(Frames, ByteExact) {
    struct Case {
        uint16_t code;
        uint32_t addr;
        uint8_t width;
        uint32_t length, value;
        uint8_t tail;
        Bytes bytes;
    } cases[] = {
        {ROM_CMD_FALCON_JUMP,
         0x00907000,
         0,
         0,
         0,
         0,
         {0x0B, 0x0B, 0x00, 0x90, 0x70, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {ROM_CMD_IMAGE,
         0xF8006000,
         0,
         0x00012345,
         0,
         0xAA,
         {0x04, 0x04, 0xF8, 0x00, 0x60, 0x00, 0, 0x00, 0x01, 0x23, 0x45, 0, 0, 0, 0, 0xAA}},
        {ROM_CMD_WRITE,
         0x021B0000,
         ROM_WIDTH_32,
         0,
         0x841A0000,
         0,
         {0x02, 0x02, 0x02, 0x1B, 0x00, 0x00, 0x20, 0, 0, 0, 0, 0x84, 0x1A, 0x00, 0x00, 0}},
    };
    for (const Case& c : cases) {
        rom_command cmd;
        cmd.bytes.fill(0xEE);
        rom_build_command(&cmd, c.code, c.addr, c.width, c.length, c.value, c.tail);
        EXPECT_EQ(Bytes(cmd.bytes.begin(), cmd.bytes.end()), c.bytes) << std::hex << c.code;
    }
}

struct UsbRoute : ::testing::Test {
    unitboard::Board board;
    Tap tap;
    void SetUp() override {
        board.start({"--target", "egret", "--transport", "usb"});
        target_id = TARGET_EGRET;
        use_usb = 1;
        dev_set_usb_row(13);
        dev_set_usb_waits(5, 50);
        ASSERT_EQ(dev_open_usb(0), 1);
    }
    void TearDown() override {
        dev_close();
        target_id = TARGET_NONE;
        use_usb = 0;
    }
    std::vector<uint32_t> in_sizes() {
        std::vector<uint32_t> sizes;
        for (const auto& r : tap.of(DRV_IOCTL_TRANSFER))
            if (auto p = r.as<ParamsTransfer>(); p.direction == 1)
                sizes.push_back(p.size);
        return sizes;
    }
};

TEST_F(UsbRoute, MemoryReadIsReadInPiecesOf1024) {
    std::vector<uint8_t> buf(2500, 0xEE);
    EXPECT_NE(rom_read(0x63FD9000, buf.data(), 2500), 0u);
    EXPECT_EQ(board.count("FRAME 010163fd900020000009c40000000000\n"), 1u);
    EXPECT_EQ(board.count("READ 0x63fd9000 2500"), 1u);
    EXPECT_EQ(in_sizes(), (std::vector<uint32_t>{4, 1024, 1024, 452}));
}

TEST_F(UsbRoute, TheFirstFailedPieceEndsTheRead) {
    Bytes data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7);
    bus_says(in_msg(data));
    std::vector<uint8_t> buf(2500, 0xEE);
    EXPECT_EQ(dev_read(buf.data(), 2500), 0);
    EXPECT_EQ(in_sizes(), (std::vector<uint32_t>{1024, 1024}));
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 1024), data);
    EXPECT_EQ(buf[1024], 0xEE);
    EXPECT_EQ(dev_read(buf.data(), 0), 0); // nothing to read: nothing asked
    EXPECT_EQ(in_sizes().size(), 2u);

    // A word that is no GATE ack ends a memory read with its line.
    bus_says(in_msg({0x88, 0x88, 0x88, 0x88}));
    testing::internal::CaptureStdout();
    EXPECT_EQ(rom_read(0x63FD9000, buf.data(), 8), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "rom_read: reading GATE ack failed: 0x88888888\n");
}

TEST(SerialRoute, ZeroByteReadIssuesNothing) {
    target_id = TARGET_HERON;
    use_usb = 0;
    uint8_t buf[2] = {7, 7};
    // No port is open: a read that were issued would fail on the handle, not return early.
    EXPECT_EQ(dev_read(buf, 0), 0);
    EXPECT_EQ(buf[0], 7);
    target_id = TARGET_NONE;
}

} // namespace
