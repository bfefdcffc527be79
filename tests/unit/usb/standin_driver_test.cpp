// The stand-in USB kernel driver and its virtual bus: how devices reach registrations,
// how transfers move, and what it does with bad requests and bus garbage.
#include "tests/unit/usb/usb_test_support.h"

#include <atomic>
#include <thread>

using namespace usbtest;
using testsupport::eventually;

namespace {

class StandIn : public UsbTest {
  protected:
    // A connection that accepts whatever matches.
    DriverCtx* open(Recorder& rec, uint16_t product = kEgret, uint32_t options = 1) {
        EventTable table = rec.table();
        MatchEntry m = match(kVendor, product);
        DriverCtx* c = nullptr;
        EXPECT_EQ(DriverOpen(&c, &m, 1, &table, options), DRV_OK);
        return c;
    }
    DeviceCtx* wait_device(Recorder& rec, size_t attaches) {
        EXPECT_TRUE(eventually([&] { return rec.attaches() >= attaches; }, 3s));
        DeviceCtx* d = rec.last();
        EXPECT_TRUE(eventually(
            [&] {
                DeviceCtx* x = nullptr;
                return DeviceListFind(rec.last_id(), &x) == DRV_OK;
            },
            3s));
        return d;
    }
    static uint32_t raw_ioctl(HANDLE h, uint32_t code, void* rec, uint32_t size) {
        uint32_t status = 0x12345678;
        DWORD got = 0;
        DeviceIoControl(h, code, rec, size, &status, sizeof status, &got, nullptr);
        return status;
    }
};

TEST_F(StandIn, ReportsItsVersionAndRefusesOtherRequests) {
    HANDLE h = CreateFileA("\\\\.\\WINDRVR6", GENERIC_READ, 3, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    VersionRec v{};
    EXPECT_EQ(raw_ioctl(h, DRV_IOCTL_VERSION, &v, sizeof v), DRV_OK);
    EXPECT_GE(v.version, 600u);
    setenv("LARKSPUR_DRIVER_VERSION", "0x300", 1);
    EXPECT_EQ(raw_ioctl(h, DRV_IOCTL_VERSION, &v, sizeof v), DRV_OK);
    EXPECT_EQ(v.version, 0x300u);

    // Unknown codes and records too short for their request fail, and nothing is written
    // past the size given.
    uint8_t buf[200];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_NE(raw_ioctl(h, 0x95382447, buf, sizeof buf), DRV_OK);
    EXPECT_NE(raw_ioctl(h, 0x12345678, buf, sizeof buf), DRV_OK);
    const uint32_t codes[] = {DRV_IOCTL_VERSION,  DRV_IOCTL_DEVICE_INFO,    DRV_IOCTL_SET_INTERFACE,
                              DRV_IOCTL_TRANSFER, DRV_IOCTL_EVENT_REGISTER, DRV_IOCTL_EVENT_PULL,
                              DRV_IOCTL_WAIT,     DRV_IOCTL_WAIT_ENABLE};
    for (uint32_t code : codes) {
        uint32_t s = raw_ioctl(h, code, buf, 8);
        EXPECT_NE(s, DRV_OK) << std::hex << code;
        EXPECT_NE(s, 0x12345678u) << std::hex << code;
        EXPECT_NE(raw_ioctl(h, code, nullptr, 200), DRV_OK);
    }
    for (size_t i = 8; i < sizeof buf; ++i)
        ASSERT_EQ(buf[i], 0xEE) << i;
    // A registration whose count claims more entries than the record holds.
    EventRec rec{};
    rec.match_count = 5;
    EXPECT_NE(raw_ioctl(h, DRV_IOCTL_EVENT_REGISTER, &rec, sizeof rec), DRV_OK);
    // Requests about a registration that does not exist.
    rec.handle = 0xBAD;
    EXPECT_NE(raw_ioctl(h, DRV_IOCTL_EVENT_PULL, &rec, sizeof rec), DRV_OK);
    WaitRec w{};
    w.handle = 0xBAD;
    EXPECT_EQ(raw_ioctl(h, DRV_IOCTL_WAIT, &w, sizeof w), DRV_OK);
    EXPECT_EQ(w.outcome, DRV_WAIT_END);
    // No room for the status word: not served.
    uint16_t small = 0;
    DWORD got = 0;
    EXPECT_FALSE(DeviceIoControl(h, DRV_IOCTL_VERSION, &v, sizeof v, &small, 2, &got, nullptr));
    EXPECT_EQ(small, 0);
    EXPECT_EQ(posix::driver_registrations(), 0);
    CloseHandle(h);
}

TEST_F(StandIn, OpensWithoutBusAndFindsABusStartedLater) {
    Recorder rec;
    DriverCtx* c = open(rec);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(rec.attaches(), 0u);
    VirtualBus& bus = start_bus();
    bus.attach(egret_board(3));
    EXPECT_TRUE(eventually([&] { return rec.attaches() == 1; }, 3s));
    DriverClose(c);
}

TEST_F(StandIn, EachAttachGetsItsOwnIdAndDevicesPresentAreTold) {
    VirtualBus& bus = start_bus();
    bus.attach(egret_board(1)); // present before any connection
    Recorder rec;
    DriverCtx* c = open(rec);
    wait_device(rec, 1);
    bus.detach(1);
    ASSERT_TRUE(eventually([&] { return rec.detaches() == 1; }, 3s));
    bus.attach(egret_board(1)); // the same bus device number again
    wait_device(rec, 2);
    EXPECT_NE(rec.attached_ids[0], rec.attached_ids[1]);
    // A wait thread ends on close even while the device stays attached.
    DriverClose(c);
    // The next connection is told of the device nobody holds now.
    Recorder again;
    c = open(again);
    wait_device(again, 1);
    EXPECT_NE(again.attached_ids[0], 0u);
    DriverClose(c);
}

TEST_F(StandIn, AHeldDeviceGoesToNobodyElseARejectedOneToTheNext) {
    VirtualBus& bus = start_bus();
    Recorder a, b;
    DriverCtx* ca = open(a);
    bus.attach(egret_board(1));
    wait_device(a, 1);
    DriverCtx* cb = open(b);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(b.attaches(), 0u); // a holds it
    DriverClose(ca);
    wait_device(b, 1); // released with a's close
    DriverClose(cb);

    // Rejected by the first registration, offered to the second.
    Recorder r1, r2;
    r1.set_accept(0);
    DriverCtx* c1 = open(r1);
    ASSERT_TRUE(eventually([&] { return r1.attaches() == 1; }, 3s));
    DriverCtx* c2 = open(r2);
    wait_device(r2, 1);
    EXPECT_EQ(r1.attaches(), 1u);
    EXPECT_EQ(r1.attached_ids[0], r2.attached_ids[0]); // the same attach
    // Another product does not match.
    Recorder r3;
    DriverCtx* c3 = open(r3, kHeron);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(r3.attaches(), 0u);
    DriverClose(c3);
    DriverClose(c2);
    DriverClose(c1);
}

TEST_F(StandIn, GarbageFromTheBusIsIgnored) {
    VirtualBus& bus = start_bus();
    Recorder rec;
    DriverCtx* c = open(rec);
    bus.attach(egret_board(1));
    DeviceCtx* d = wait_device(rec, 1);
    const std::vector<std::vector<uint8_t>> junk = {
        {},
        {'A'},
        {'A', 1, 0, 0, 0, 0x5A, 0x2F, 0x10, 0x01, 0, 0, 2, 0x01, 2, 0, 2}, // one endpoint short
        {'A', 2, 0, 0, 0, 0x5A, 0x2F, 0x10, 0x01, 0, 0, 0, 9},             // trailing byte
        {'D', 1, 0, 0},
        {'D', 1, 0, 0, 0, 0},
        {'D', 9, 0, 0, 0},
        {'I', 1, 0, 0, 0},
        {'I', 7, 0, 0, 0, 0x82, 1, 2, 3},
        {'I', 1, 0, 0, 0, 0x01, 9, 9}, // IN data for an OUT endpoint
        {'I', 1, 0, 0, 0, 0x85, 9, 9}, // for an endpoint the device lacks
        {'R', 1, 0, 0, 0},
        {'R', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, // no such request
        {'Z', 1, 2, 3},
        {0xFF},
    };
    for (const auto& m : junk)
        bus.send_raw(m);
    std::vector<uint8_t> big = {'I', 1, 0, 0, 0, 0x82};
    big.resize(6 + 64 * 1024 + 1, 0x33); // one byte over the limit
    bus.send_raw(big);
    big.resize(100 * 1024); // longer than any message may be
    bus.send_raw(big);
    bus.send_in(1, 0x82, {1, 2, 3});

    uint8_t in[8] = {};
    uint32_t moved = 0;
    EXPECT_EQ(DeviceTransfer(d, 0x82, 1, 0, in, sizeof in, &moved, nullptr, 2000), DRV_OK);
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(in[0], 1);
    EXPECT_EQ(in[2], 3);
    EXPECT_EQ(DeviceTransfer(d, 0x82, 1, 0, in, sizeof in, &moved, nullptr, 100), DRV_TIMEOUT);
    EXPECT_EQ(rec.attaches(), 1u);
    EXPECT_EQ(rec.detaches(), 0u);
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, in, 4, &moved, nullptr, 2000), DRV_OK);
    EXPECT_EQ(bus.garbage_received(), 0);
    DriverClose(c);
}

TEST_F(StandIn, InTransfersTakeQueuedDataAndEndShort) {
    VirtualBus& bus = start_bus();
    Recorder rec;
    DriverCtx* c = open(rec);
    bus.attach(egret_board(1));
    DeviceCtx* d = wait_device(rec, 1);
    uint8_t in[8] = {};
    uint32_t moved = 0;

    // Nothing queued: the timeout, and no bytes.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DeviceTransfer(d, 0x82, 1, 0, in, 8, &moved, nullptr, 150), DRV_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 140ms);
    EXPECT_EQ(moved, 0u);

    bus.send_in(1, 0x82, {1, 2, 3, 4});
    bus.send_in(1, 0x82, {5, 6, 7, 8, 9, 10});
    ASSERT_TRUE(eventually(
        [&] {
            return DeviceTransfer(d, 0x82, 1, 0, in, 8, &moved, nullptr, 100) == DRV_OK &&
                   moved > 0;
        },
        3s));
    // The two messages were queued in order; the first take may have seen only one.
    std::vector<uint8_t> got(in, in + moved);
    while (got.size() < 10) {
        ASSERT_EQ(DeviceTransfer(d, 0x82, 1, 0, in, 8, &moved, nullptr, 1000), DRV_OK);
        got.insert(got.end(), in, in + moved);
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

    // Data that arrives during the wait ends it early, short of the length.
    std::thread later([&] {
        std::this_thread::sleep_for(100ms);
        bus.send_in(1, 0x82, {42});
    });
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DeviceTransfer(d, 0x82, 1, 0, in, 8, &moved, nullptr, 5000), DRV_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    later.join();
    EXPECT_EQ(moved, 1u);
    EXPECT_EQ(in[0], 42);

    // A pipe the device lacks, or the wrong direction, is refused.
    EXPECT_NE(DeviceTransfer(d, 0x83, 1, 0, in, 8, &moved, nullptr, 100), DRV_OK);
    EXPECT_NE(DeviceTransfer(d, 0x82, 0, 0, in, 8, &moved, nullptr, 100), DRV_OK);
    EXPECT_NE(DeviceTransfer(d, 0x01, 1, 0, in, 8, &moved, nullptr, 100), DRV_OK);
    DriverClose(c);
}

TEST_F(StandIn, OutTransfersGoIn64KiBMessagesEachAnswered) {
    VirtualBus& bus = start_bus();
    Recorder rec;
    DriverCtx* c = open(rec);
    bus.attach(egret_board(4));
    DeviceCtx* d = wait_device(rec, 1);
    std::vector<uint8_t> data(150000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    uint32_t moved = 0;
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, data.data(), 150000, &moved, nullptr, 3000), DRV_OK);
    EXPECT_EQ(moved, 150000u);
    auto outs = bus.outs();
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_EQ(outs[0].data.size(), 65536u);
    EXPECT_EQ(outs[1].data.size(), 65536u);
    EXPECT_EQ(outs[2].data.size(), 150000u - 131072u);
    EXPECT_EQ(outs[0].device, 4u);
    EXPECT_EQ(outs[0].endpoint, 0x01);
    EXPECT_NE(outs[0].seq, outs[1].seq);
    EXPECT_EQ(bus.out_bytes(4, 0x01), data);

    // A withheld answer: the timeout; the late answer is ignored; the next one works.
    bus.set_out_policy(0, 0, 0);
    uint8_t word[4] = {1, 2, 3, 4};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, word, 4, &moved, nullptr, 200), DRV_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 190ms);
    EXPECT_EQ(moved, 0u);
    bus.answer_withheld(0);
    bus.set_out_policy(0, 0, -1);
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, word, 4, &moved, nullptr, 2000), DRV_OK);
    EXPECT_EQ(moved, 4u);
    // A delayed answer within the timeout.
    bus.set_out_policy(0, 150, -1);
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, word, 4, &moved, nullptr, 2000), DRV_OK);
    // A failure status from the bus.
    bus.set_out_policy(0x20000013, 0, -1);
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, word, 4, &moved, nullptr, 2000), 0x20000013u);
    DriverClose(c);
}

TEST_F(StandIn, ADeviceGoneEndsItsTransfersAndALostBusIsFoundAgain) {
    VirtualBus& bus = start_bus();
    Recorder rec;
    DriverCtx* c = open(rec);
    bus.attach(egret_board(1));
    DeviceCtx* d = wait_device(rec, 1);
    const uint32_t id = rec.last_id();
    uint8_t in[8];
    uint32_t moved = 0;
    std::thread unplug([&] {
        std::this_thread::sleep_for(100ms);
        bus.detach(1);
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DeviceTransfer(d, 0x82, 1, 0, in, 8, &moved, nullptr, 10000), DRV_NOT_FOUND);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    unplug.join();
    ASSERT_TRUE(eventually([&] { return rec.detaches() == 1; }, 3s));
    // Asking the driver directly about the old ID.
    ParamsInfo p{};
    p.unique_id = id;
    EXPECT_EQ(DriverIoctl(DRV_IOCTL_DEVICE_INFO, c->handle, &p, sizeof p, false), DRV_NOT_FOUND);

    // The bus drops the connection: the driver connects again and hears of the device anew.
    bus.attach(egret_board(1));
    d = wait_device(rec, 2);
    bus.set_out_policy(0, 0, 0); // the OUT transfer below hangs until the bus goes
    std::thread drop([&] {
        std::this_thread::sleep_for(100ms);
        bus.drop_connection();
    });
    uint8_t word[4] = {};
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, word, 4, &moved, nullptr, 10000), DRV_NOT_FOUND);
    drop.join();
    ASSERT_TRUE(eventually([&] { return rec.detaches() == 2; }, 3s));
    bus.set_out_policy(0, 0, -1);
    d = wait_device(rec, 3);
    EXPECT_GE(bus.connections_accepted(), 2);
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, word, 4, &moved, nullptr, 2000), DRV_OK);
    DriverClose(c);
}

TEST_F(StandIn, ARegistrationWithoutReplyOptionIsOnlyTold) {
    VirtualBus& bus = start_bus();
    bus.attach(egret_board(1));
    Tap tap;
    Recorder a, b;
    DriverCtx* ca = open(a, kEgret, 0);
    DriverCtx* cb = open(b, kEgret, 0);
    // Without replies the driver cannot learn who took the device, so both hear of it.
    wait_device(a, 1);
    wait_device(b, 1);
    EXPECT_TRUE(tap.of(DRV_IOCTL_EVENT_REPLY).empty());
    bus.detach(1);
    EXPECT_TRUE(eventually([&] { return a.detaches() == 1 && b.detaches() == 1; }, 3s));
    DriverClose(cb);
    DriverClose(ca);
}

} // namespace
