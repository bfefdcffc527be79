// The USB bulk transport against the stand-in driver and a virtual bus.
#include "tests/unit/usb/usb_test_support.h"
#include "transport/usbbulk/usbbulk.h"

#include <atomic>
#include <thread>

using namespace usbtest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testsupport::eventually;

namespace {

using Clock = std::chrono::steady_clock;

class UsbBulk : public UsbTest {
  protected:
    void TearDown() override {
        CloseUSB();
        usb_set_verbosity(0);
        UsbTest::TearDown();
    }
    VirtualBus& bus_with_egret() {
        VirtualBus& bus = start_bus();
        bus.attach(egret_board(1));
        return bus;
    }
    static DeviceCtx* claimed() { return std::atomic_ref<DeviceCtx*>(usb_link.device).load(); }
};

TEST_F(UsbBulk, TableRowsAndPipes) {
    EXPECT_EQ(usb_device_table.size(), 14u);
    EXPECT_EQ(usb_device_table[12].vendor_id, 0x2F5Au);
    EXPECT_EQ(usb_device_table[12].product_id, 0x0111u);
    EXPECT_EQ(usb_device_table[13].vendor_id, 0x2F5Au);
    EXPECT_EQ(usb_device_table[13].product_id, 0x0110u);
    for (uint32_t i = 0; i < 12; ++i) {
        EXPECT_NE(usb_device_table[i].product_id, 0x0110u);
        EXPECT_NE(usb_device_table[i].product_id, 0x0111u);
    }
    EXPECT_EQ(usb_out_pipe, 0x01u);
    EXPECT_EQ(usb_in_pipe, 0x82u);
}

TEST_F(UsbBulk, OpenReturnsOnceTheBoardIsClaimed) {
    VirtualBus& bus = bus_with_egret();
    auto t0 = Clock::now();
    ASSERT_EQ(OpenUSB(13, 10), 1);
    EXPECT_LT(Clock::now() - t0, 3s);
    EXPECT_EQ(usb_opened, 1);
    EXPECT_EQ(usb_vendor_id, 0x2F5A);
    EXPECT_EQ(usb_product_id, 0x0110);
    EXPECT_NE(claimed(), nullptr);
    EXPECT_EQ(usb_link.claim_status, 0u);
    ASSERT_EQ(bus.sets().size(), 1u);
    EXPECT_EQ(bus.sets()[0].interface_number, 0);
    EXPECT_EQ(bus.sets()[0].alternate_setting, 0);
    EXPECT_EQ(connection_count, 1);
    CloseUSB();
    EXPECT_EQ(usb_opened, 0);

    // A board that attaches while the open waits.
    bus.detach(1);
    BusDevice heron = egret_board(2);
    heron.product_id = kHeron;
    std::thread plug([&] {
        std::this_thread::sleep_for(300ms);
        bus.attach(heron);
    });
    t0 = Clock::now();
    EXPECT_EQ(OpenUSB(12, 10), 1);
    auto took = Clock::now() - t0;
    plug.join();
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 3s);
}

TEST_F(UsbBulk, NoBoardFailsAfterTheFullWaitLeavingNothingOpen) {
    VirtualBus& bus = start_bus();
    BusDevice heron = egret_board(1);
    heron.product_id = kHeron; // present, but not the board asked for
    bus.attach(heron);
    auto t0 = Clock::now();
    EXPECT_EQ(OpenUSB(13, 1), 0);
    auto took = Clock::now() - t0;
    EXPECT_GE(took, 990ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(usb_opened, 0);
    EXPECT_EQ(connection_count, 0);
    EXPECT_EQ(device_list_lock, nullptr);
    EXPECT_EQ(posix::driver_open_handles(), 0);
    EXPECT_EQ(posix::driver_registrations(), 0);
    EXPECT_TRUE(bus.sets().empty());
}

TEST_F(UsbBulk, AFailedClaimFailsTheOpenAtOnce) {
    VirtualBus& bus = bus_with_egret();
    bus.set_interface_status(0x20000013);
    auto t0 = Clock::now();
    EXPECT_EQ(OpenUSB(13, 10), 0);
    EXPECT_LT(Clock::now() - t0, 3s);
    EXPECT_EQ(bus.sets().size(), 1u);
    EXPECT_EQ(usb_opened, 0);
    EXPECT_EQ(connection_count, 0);
}

TEST_F(UsbBulk, AnotherInterfaceOrASecondBoardIsNotClaimed) {
    VirtualBus& bus = start_bus();
    BusDevice other = egret_board(1);
    other.interface_number = 1;
    bus.attach(other);
    EXPECT_EQ(OpenUSB(13, 1), 0);
    EXPECT_TRUE(bus.sets().empty());

    bus.detach(1);
    bus.attach(egret_board(2));
    ASSERT_EQ(OpenUSB(13, 5), 1);
    bus.attach(egret_board(3)); // a second matching board while one is claimed
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(bus.sets().size(), 1u);
    EXPECT_EQ(bus.sets()[0].device, 2u);
    uint8_t word[4] = {1, 2, 3, 4};
    EXPECT_EQ(usb_write(4, word, 13, 500), 1);
    EXPECT_EQ(bus.out_bytes(2, 0x01).size(), 4u);
    EXPECT_TRUE(bus.out_bytes(3, 0x01).empty());
}

TEST_F(UsbBulk, AWaitOfZeroOrLessIsThirtySeconds) {
    VirtualBus& bus = start_bus();
    for (int32_t wait : {0, -5}) {
        // The board comes after longer than any short wait would last.
        std::thread plug([&] {
            std::this_thread::sleep_for(1500ms);
            bus.attach(egret_board(1));
        });
        auto t0 = Clock::now();
        EXPECT_EQ(OpenUSB(13, wait), 1) << wait;
        EXPECT_GE(Clock::now() - t0, 1400ms);
        plug.join();
        bus.detach(1);
        ASSERT_TRUE(eventually([] { return claimed() == nullptr; }, 3s));
        CloseUSB();
    }
}

TEST_F(UsbBulk, WriteAndReadMoveBytesWithTheGivenOrDefaultTimeout) {
    VirtualBus& bus = bus_with_egret();
    ASSERT_EQ(OpenUSB(13, 5), 1);
    Tap tap;
    const uint8_t frame[16] = {0x04, 0x04, 0xF8, 0, 0x60, 0};
    EXPECT_EQ(usb_write(16, frame, 13, 50), 1);
    EXPECT_EQ(usb_write(16, frame, 0, 0), 1);
    EXPECT_EQ(usb_write(16, frame, 13, -1), 1);
    EXPECT_EQ(bus.out_bytes(1, 0x01).size(), 48u);
    EXPECT_EQ(std::memcmp(bus.out_bytes(1, 0x01).data(), frame, 16), 0);

    bus.send_in(1, 0x82, {0x56, 0x78, 0x78, 0x56});
    uint8_t in[4] = {};
    EXPECT_EQ(usb_read(4, 13, in, 0), 1);
    EXPECT_EQ(in[0], 0x56);
    EXPECT_EQ(in[3], 0x56);

    auto reqs = tap.of(DRV_IOCTL_TRANSFER);
    ASSERT_EQ(reqs.size(), 4u);
    std::vector<uint32_t> timeouts;
    for (const auto& r : reqs)
        timeouts.push_back(r.as<ParamsTransfer>().timeout_ms);
    EXPECT_EQ(timeouts, (std::vector<uint32_t>{50, 30000, 30000, 30000}));
    auto rd = reqs[3].as<ParamsTransfer>();
    EXPECT_EQ(rd.pipe, 0x82u);
    EXPECT_EQ(rd.direction, 1u);
    EXPECT_EQ(rd.options, 0u);
    EXPECT_EQ(rd.size, 4u);
    auto wr = reqs[0].as<ParamsTransfer>();
    EXPECT_EQ(wr.pipe, 0x01u);
    EXPECT_EQ(wr.direction, 0u);
    // The setup packet goes zeroed.
    EXPECT_EQ(std::memcmp(wr.SetupPacket, "\0\0\0\0\0\0\0\0", 8), 0);

    // A read that times out is a failure.
    EXPECT_EQ(usb_read(4, 13, in, 50), 0);
}

TEST_F(UsbBulk, APipeTheInterfaceLacksPrintsItsNumber) {
    VirtualBus& bus = start_bus();
    BusDevice board = egret_board(1);
    board.endpoints = {{0x01, 2, 512}}; // no IN endpoint
    bus.attach(board);
    ASSERT_EQ(OpenUSB(13, 5), 1);
    Tap tap;
    uint8_t buf[4] = {};
    CaptureStdout();
    EXPECT_EQ(usb_transfer(0, 3, buf, 4, 50), 0);
    EXPECT_EQ(GetCapturedStdout(), "The pipe number 0x3 does not exist, please try again.\n");
    CaptureStdout();
    EXPECT_EQ(usb_read(4, 13, buf, 50), 0);
    EXPECT_EQ(GetCapturedStdout(), "The pipe number 0x82 does not exist, please try again.\n");
    EXPECT_TRUE(tap.of(DRV_IOCTL_TRANSFER).empty());
    // Pipe 0 is not looked up: it goes to the driver, which refuses it in silence.
    CaptureStdout();
    EXPECT_EQ(usb_transfer(0, 0, buf, 4, 50), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(tap.of(DRV_IOCTL_TRANSFER).size(), 1u);
}

TEST_F(UsbBulk, AfterADetachTransfersFailSilentlyAndWorkAgainAfterReattach) {
    VirtualBus& bus = bus_with_egret();
    ASSERT_EQ(OpenUSB(13, 5), 1);
    uint8_t word[4] = {0x0D, 0x90, 0x0D, 0x90};
    EXPECT_EQ(usb_write(4, word, 13, 50), 1);
    bus.detach(1);
    ASSERT_TRUE(eventually([] { return claimed() == nullptr; }, 3s));
    usb_set_verbosity(2);
    CaptureStdout();
    EXPECT_EQ(usb_write(4, word, 13, 50), 0);
    EXPECT_EQ(usb_read(4, 13, word, 50), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(usb_opened, 1);

    BusDevice again = egret_board(7);
    bus.attach(again);
    ASSERT_TRUE(eventually([] { return claimed() != nullptr; }, 3s));
    usb_set_verbosity(0);
    EXPECT_EQ(usb_write(4, word, 13, 500), 1);
    EXPECT_EQ(bus.out_bytes(7, 0x01).size(), 4u);
    bus.send_in(7, 0x82, {1, 2, 3, 4});
    EXPECT_EQ(usb_read(4, 13, word, 1000), 1);
    EXPECT_EQ(word[3], 4);
}

TEST_F(UsbBulk, Verbosity2PrintsEachTransfersByteCount) {
    VirtualBus& bus = bus_with_egret();
    ASSERT_EQ(OpenUSB(13, 5), 1);
    uint8_t buf[8] = {};
    usb_set_verbosity(1);
    CaptureStdout();
    EXPECT_EQ(usb_write(4, buf, 13, 500), 1);
    EXPECT_EQ(GetCapturedStdout(), "");

    usb_set_verbosity(2);
    bus.send_in(1, 0x82, {1, 2, 3});
    CaptureStdout();
    EXPECT_EQ(usb_write(4, buf, 13, 500), 1);
    EXPECT_EQ(usb_read(8, 13, buf, 1000), 1); // the driver moved 3 of 8
    EXPECT_EQ(usb_read(8, 13, buf, 50), 0);   // failed: nothing printed
    EXPECT_EQ(GetCapturedStdout(), "Transferred 4 bytes\nTransferred 3 bytes\n");
}

TEST_F(UsbBulk, CloseTwiceIsHarmlessAndOpenAfterCloseWorksLikeTheFirst) {
    CloseUSB(); // never opened
    VirtualBus& bus = bus_with_egret();
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(OpenUSB(13, 5), 1) << round;
        uint8_t word[4] = {static_cast<uint8_t>(round), 0, 0, 0};
        EXPECT_EQ(usb_write(4, word, 13, 500), 1);
        CloseUSB();
        CloseUSB();
        EXPECT_EQ(usb_opened, 0);
        EXPECT_EQ(connection_count, 0);
        EXPECT_EQ(posix::driver_open_handles(), 0);
    }
    EXPECT_EQ(bus.out_bytes(1, 0x01), (std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(bus.sets().size(), 3u);
}

TEST_F(UsbBulk, AnOpenOverAnOpenTransportOrABadRowLeavesOneConnection) {
    bus_with_egret();
    ASSERT_EQ(OpenUSB(13, 5), 1);
    ASSERT_EQ(OpenUSB(13, 5), 1);
    EXPECT_EQ(connection_count, 1);
    EXPECT_EQ(posix::driver_registrations(), 1);
    EXPECT_EQ(OpenUSB(14, 1), 0);
    EXPECT_EQ(connection_count, 0);
}

TEST_F(UsbBulk, AttachAndDetachRacingTransfersStaySafe) {
    VirtualBus& bus = bus_with_egret();
    ASSERT_EQ(OpenUSB(13, 5), 1);
    std::atomic<bool> churned{false};
    std::thread churn([&] {
        for (int i = 0; i < 150; ++i) {
            bus.detach(1);
            std::this_thread::sleep_for(1ms);
            bus.attach(egret_board(1));
            bus.send_in(1, 0x82, {1, 2, 3, 4});
            std::this_thread::sleep_for(2ms);
        }
        churned = true;
    });
    uint8_t buf[64] = {};
    int ok = 0, failed = 0;
    auto end = Clock::now() + 10s;
    CaptureStdout();
    while (!churned && Clock::now() < end) {
        int w = usb_write(sizeof buf, buf, 13, 100);
        int r = usb_read(4, 13, buf, 5);
        ok += w + r;
        failed += 2 - w - r;
    }
    EXPECT_EQ(GetCapturedStdout(), "");
    churn.join();
    EXPECT_TRUE(churned);
    EXPECT_GT(ok, 0);
    EXPECT_GT(failed, 0);
    // Settled: the board is there and claimed again.
    ASSERT_TRUE(eventually([&] { return usb_write(4, buf, 13, 100) == 1; }, 3s));
    CloseUSB();
}

} // namespace
