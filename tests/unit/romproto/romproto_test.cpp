// Frames on the wire and the switch's USB read pieces, seen from the stand-in driver.
#include "platform/shared.h"
#include "romproto/romproto.h"
#include "tests/unit/usb/usb_test_support.h"
#include "transport/transport.h"
#include "transport/usbbulk/usbbulk.h"

#include <gtest/gtest.h>

using namespace usbtest;

namespace {

std::vector<uint8_t> frame_bytes(uint16_t code, uint32_t addr, uint8_t width, uint32_t length,
                                 uint32_t value, uint8_t tail) {
    rom_command cmd;
    cmd.bytes.fill(0xEE);
    rom_build_command(&cmd, code, addr, width, length, value, tail);
    return {cmd.bytes.begin(), cmd.bytes.end()};
}

TEST(Frames, ByteExact) {
    EXPECT_EQ(frame_bytes(ROM_CMD_FALCON_JUMP, 0x00907000, 0, 0, 0, 0),
              (std::vector<uint8_t>{0x0B, 0x0B, 0x00, 0x90, 0x70, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(frame_bytes(ROM_CMD_IMAGE, 0xF8006000, 0, 0x00012345, 0, 0xAA),
              (std::vector<uint8_t>{0x04, 0x04, 0xF8, 0x00, 0x60, 0x00, 0x00, 0x00, 0x01, 0x23,
                                    0x45, 0x00, 0x00, 0x00, 0x00, 0xAA}));
    EXPECT_EQ(frame_bytes(ROM_CMD_WRITE, 0x021B0000, ROM_WIDTH_32, 0, 0x841A0000, 0),
              (std::vector<uint8_t>{0x02, 0x02, 0x02, 0x1B, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,
                                    0x00, 0x84, 0x1A, 0x00, 0x00, 0x00}));
    EXPECT_EQ(frame_bytes(ROM_CMD_READ, 0x63FD9000, ROM_WIDTH_32, 16, 0, 0),
              (std::vector<uint8_t>{0x01, 0x01, 0x63, 0xFD, 0x90, 0x00, 0x20, 0x00, 0x00, 0x00,
                                    0x10, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

// egret over USB bulk against the virtual bus, every transfer seen by the driver tap.
class UsbRoute : public UsbTest {
  protected:
    void SetUp() override {
        UsbTest::SetUp();
        target_id = TARGET_EGRET;
        use_usb = 1;
        bus = &start_bus();
        bus->attach(egret_board(1));
        dev_set_usb_row(13);
        dev_set_usb_waits(5, 50);
        ASSERT_EQ(dev_open_usb(0), 1);
    }
    void TearDown() override {
        dev_close();
        target_id = TARGET_NONE;
        use_usb = 0;
        UsbTest::TearDown();
    }
    std::vector<uint32_t> in_sizes() {
        std::vector<uint32_t> sizes;
        for (const auto& r : tap.of(DRV_IOCTL_TRANSFER)) {
            auto p = r.as<ParamsTransfer>();
            if (p.direction == 1)
                sizes.push_back(p.size);
        }
        return sizes;
    }
    void queue(size_t n, uint8_t start = 0) {
        std::vector<uint8_t> data(n);
        for (size_t i = 0; i < n; ++i)
            data[i] = static_cast<uint8_t>(start + i);
        bus->send_in(1, 0x82, data);
    }
    VirtualBus* bus = nullptr;
    Tap tap;
};

TEST_F(UsbRoute, ReadsAreCutIntoPiecesOf1024) {
    queue(2500);
    std::vector<uint8_t> buf(2500, 0xEE);
    testsupport::eventually([] { return false; }, 100ms); // the IN data is queued
    EXPECT_EQ(dev_read(buf.data(), 2500), 1);
    EXPECT_EQ(in_sizes(), (std::vector<uint32_t>{1024, 1024, 452}));
    for (size_t i = 0; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], static_cast<uint8_t>(i)) << i;
}

TEST_F(UsbRoute, FirstFailedPieceEndsTheRead) {
    queue(1024);
    testsupport::eventually([] { return false; }, 100ms);
    std::vector<uint8_t> buf(2500, 0xEE);
    EXPECT_EQ(dev_read(buf.data(), 2500), 0);
    EXPECT_EQ(in_sizes(), (std::vector<uint32_t>{1024, 1024})) << "no piece after the failed one";
    EXPECT_EQ(buf[1023], static_cast<uint8_t>(1023)) << "earlier pieces stay in the buffer";
    EXPECT_EQ(buf[1024], 0xEE);
}

TEST_F(UsbRoute, ZeroByteReadIssuesNothing) {
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(dev_read(buf, 0), 0);
    EXPECT_TRUE(in_sizes().empty());
    EXPECT_EQ(buf[0], 1);
}

TEST_F(UsbRoute, MemoryReadFrameAndData) {
    // GATE ack, then the 8 bytes asked for
    bus->send_in(1, 0x82, {0x56, 0x78, 0x78, 0x56});
    bus->send_in(1, 0x82, {1, 2, 3, 4, 5, 6, 7, 8});
    testsupport::eventually([] { return false; }, 100ms);
    uint8_t buf[8] = {};
    EXPECT_NE(rom_read(0x63FD9000, buf, 8), 0u);
    EXPECT_EQ(buf[7], 8);
    ASSERT_TRUE(testsupport::eventually([&] { return !bus->out_bytes(1, 0x01).empty(); }, 2s));
    EXPECT_EQ(bus->out_bytes(1, 0x01), frame_bytes(ROM_CMD_READ, 0x63FD9000, 0x20, 8, 0, 0));
}

TEST_F(UsbRoute, MemoryReadRefusesAWrongAck) {
    bus->send_in(1, 0x82, {0x88, 0x88, 0x88, 0x88});
    testsupport::eventually([] { return false; }, 100ms);
    uint8_t buf[8] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(rom_read(0x63FD9000, buf, 8), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "rom_read: reading GATE ack failed: 0x88888888\n");
}

TEST(SerialRoute, ZeroByteReadIssuesNothing) {
    target_id = TARGET_HERON;
    use_usb = 0;
    uint8_t buf[2] = {7, 7};
    // no port is open: a read that were issued would fail on the handle, not return early
    EXPECT_EQ(dev_read(buf, 0), 0);
    EXPECT_EQ(buf[0], 7);
    target_id = TARGET_NONE;
}

} // namespace
