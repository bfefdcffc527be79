// The USB driver layer, the stand-in driver and the USB bulk transport, against an egret
// board on the virtual USB bus.
#include "romproto/romproto.h"
#include "tests/unit/usb/usb_test.h"
#include "transport/usbbulk/usbbulk.h"

#include <atomic>
#include <thread>

using namespace usbtest;
using namespace std::chrono_literals;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testsupport::eventually;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kVendor = 0x2F5A, kEgret = 0x0110;

// The driver layer's callbacks, recorded.
struct Recorder {
    std::mutex m;
    uint32_t accept = 1;
    std::vector<DeviceCtx*> attached, detached;
    static uint32_t on_attach(DeviceCtx* d, DeviceInfo*, void* ctx) {
        auto* r = static_cast<Recorder*>(ctx);
        std::lock_guard<std::mutex> lk(r->m);
        r->attached.push_back(d);
        return r->accept;
    }
    static uint32_t on_detach(DeviceCtx* d, void* ctx) {
        auto* r = static_cast<Recorder*>(ctx);
        std::lock_guard<std::mutex> lk(r->m);
        r->detached.push_back(d);
        return 0;
    }
    EventTable table() { return {&on_attach, &on_detach, nullptr, this}; }
    DeviceCtx* last() {
        std::lock_guard<std::mutex> lk(m);
        return attached.empty() ? nullptr : attached.back();
    }
    size_t attaches() {
        std::lock_guard<std::mutex> lk(m);
        return attached.size();
    }
    void set_accept(uint32_t a) {
        std::lock_guard<std::mutex> lk(m);
        accept = a;
    }
    size_t detaches() {
        std::lock_guard<std::mutex> lk(m);
        return detached.size();
    }
};

MatchEntry match(uint16_t vendor, uint16_t product) {
    MatchEntry e{};
    e.vendor_id = vendor;
    e.product_id = product;
    return e;
}

// Written by the wait thread.
DeviceCtx* claimed() {
    return std::atomic_ref<DeviceCtx*>(usb_link.device).load();
}

DriverCtx* invalid() {
    return reinterpret_cast<DriverCtx*>(DRV_INVALID_CONNECTION);
}

// Nothing of the driver layer may outlive a test.
struct Usb : ::testing::Test {
    unitboard::Board board;
    void SetUp() override { unsetenv("LARKSPUR_DRIVER_VERSION"); }
    void TearDown() override {
        CloseUSB();
        usb_set_verbosity(0);
        EXPECT_EQ(connection_count, 0);
        EXPECT_EQ(device_list_lock, nullptr);
        EXPECT_EQ(posix::driver_open_handles(), 0);
        EXPECT_EQ(posix::driver_registrations(), 0);
    }
    void start_egret(const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {"--target", "egret", "--transport", "usb"};
        args.insert(args.end(), options.begin(), options.end());
        board.start(args);
    }
};

TEST_F(Usb, FailedOpensLeaveNothingBehind) {
    Recorder rec;
    EventTable table = rec.table();
    MatchEntry m = match(kVendor, kEgret);
    struct Case {
        const char* version;
        const MatchEntry* table;
        uint32_t count;
        DrvStatus want;
    } cases[] = {{"599", &m, 1, DRV_VERSION_TOO_OLD},
                 {"600", nullptr, 1, DRV_NO_RESOURCES},
                 {"600", &m, 0, DRV_NO_RESOURCES}};
    for (const Case& c : cases) {
        setenv("LARKSPUR_DRIVER_VERSION", c.version, 1);
        DriverCtx* ctx = nullptr;
        EXPECT_EQ(DriverOpen(&ctx, c.table, c.count, &table, 1), c.want) << c.version;
        EXPECT_EQ(ctx, invalid());
        EXPECT_EQ(connection_count, 0);
        EXPECT_EQ(device_list_lock, nullptr);
        EXPECT_EQ(posix::driver_open_handles(), 0);
        EXPECT_EQ(posix::driver_registrations(), 0);
    }
    DriverCtx* ctx = nullptr;
    ASSERT_EQ(DriverOpen(&ctx, &m, 1, &table, 1), DRV_OK);
    DriverClose(ctx);
}

TEST_F(Usb, RegistrationRecords) {
    Tap tap;
    Recorder rec;
    MatchEntry m[2] = {match(kVendor, kEgret), match(0x1234, 0x5678)};
    m[1].reserved[5] = 0xAB; // copied as given
    EventTable full = rec.table(), attach_only = {&Recorder::on_attach, nullptr, nullptr, &rec};
    EventTable none = {nullptr, &Recorder::on_detach, nullptr, &rec};
    full.power = [](DeviceCtx*, uint32_t, void*) -> uint32_t { return 0; };
    struct Case {
        const EventTable* table;
        uint32_t count, options, size, mask;
    } cases[] = {{&full, 2, 5, 78, 0x3FF3}, {&attach_only, 1, 0, 68, 1}, {&none, 0, 1, 0, 0}};
    for (const Case& c : cases) {
        tap.clear();
        DriverCtx* ctx = nullptr;
        ASSERT_EQ(DriverOpen(&ctx, c.count ? m : nullptr, c.count, c.table, c.options), DRV_OK);
        ASSERT_EQ(tap.of(DRV_IOCTL_VERSION).size(), 1u);
        EXPECT_EQ(tap.of(DRV_IOCTL_VERSION)[0].b.size(), 132u);
        auto regs = tap.of(DRV_IOCTL_EVENT_REGISTER);
        if (!c.size) { // no attach callback: no registration, no wait thread
            EXPECT_TRUE(regs.empty());
            EXPECT_EQ(ctx->reg, nullptr);
            DriverClose(ctx);
            EXPECT_EQ(tap.size(), 1u);
            continue;
        }
        ASSERT_EQ(regs.size(), 1u);
        const Tap::Request& r = regs[0];
        EXPECT_EQ(r.b.size(), c.size);
        EXPECT_EQ(r.u32(0), 0u);
        EXPECT_EQ(r.u32(4), c.mask);
        EXPECT_EQ(r.u32(16), 0xFFFFFFFEu);
        EXPECT_EQ(r.u32(24), c.options);
        EXPECT_EQ(r.u32(48), 1u);
        EXPECT_EQ(r.u32(52), c.count);
        EXPECT_EQ(std::memcmp(r.b.data() + 56, m, sizeof(MatchEntry) * c.count), 0);
        EXPECT_EQ(r.u32(56), 0x01102F5Au);
        // The wait is enabled, disabled and the registration ended with the driver's handle.
        const uint32_t handle = ctx->reg->wait.handle;
        EXPECT_NE(handle, 0u);
        DriverClose(ctx);
        for (uint32_t code :
             {DRV_IOCTL_WAIT_ENABLE, DRV_IOCTL_WAIT_DISABLE, DRV_IOCTL_EVENT_UNREGISTER}) {
            auto q = tap.of(code);
            ASSERT_EQ(q.size(), 1u) << std::hex << code;
            EXPECT_EQ(q[0].u32(0), handle);
        }
        auto unreg = tap.of(DRV_IOCTL_EVENT_UNREGISTER)[0];
        EXPECT_EQ(unreg.u32(16), 0u);
        EXPECT_EQ(unreg.u32(52), 1u);
        EXPECT_EQ(tap.of(DRV_IOCTL_WAIT_ENABLE)[0].b.size(), 48u);
    }
}

TEST_F(Usb, WaitOutcome2WaitsAgainAnd1EndsTheLoop) {
    Tap tap;
    std::vector<uint32_t> script = {2, 2, 0, 2, 5, 1};
    std::atomic<size_t> step{0};
    tap.set_answer([&](uint32_t code, void* rec, uint32_t* status) {
        if (code != DRV_IOCTL_WAIT)
            return false;
        size_t i = step++;
        static_cast<WaitRec*>(rec)->outcome = i < script.size() ? script[i] : 1;
        *status = DRV_OK;
        return true;
    });
    static std::atomic<int> handled;
    handled = 0;
    WaitRec wait{};
    WaitThread wt{};
    wt.wait = &wait;
    wt.handler = [](void*) { ++handled; };
    std::thread t([&] { WaitLoop(&wt); }); // ends at the latest when the script runs out
    t.join();
    EXPECT_EQ(handled.load(), 2); // outcomes 0 and 5
    EXPECT_EQ(step.load(), 6u);
    tap.set_answer(nullptr);
}

TEST_F(Usb, TwoConnectionsKeepTheLockUntilTheLastCloses) {
    DriverCtx *a = nullptr, *b = nullptr;
    ASSERT_EQ(DriverOpen(&a, nullptr, 0, nullptr, 0), DRV_OK);
    HANDLE lock = device_list_lock;
    ASSERT_EQ(DriverOpen(&b, nullptr, 0, nullptr, 0), DRV_OK);
    EXPECT_EQ(device_list_lock, lock);
    DriverClose(a);
    DriverClose(nullptr);
    DriverClose(invalid());
    EXPECT_EQ(connection_count, 1);
    EXPECT_EQ(device_list_lock, lock);
    EXPECT_EQ(OsEventWait(device_list_lock, 1), DRV_OK); // free, and one wait takes it
    EXPECT_EQ(OsEventWait(device_list_lock, 0), DRV_TIMEOUT);
    EXPECT_EQ(OsEventSet(device_list_lock), DRV_OK);
    DeviceCtx* d = nullptr;
    EXPECT_EQ(DeviceListFind(1, &d), DRV_NOT_FOUND);
    DriverClose(b);
    EXPECT_EQ(WaitForSingleObject(lock, 0), WAIT_FAILED); // closed
    HANDLE ev = nullptr;
    ASSERT_EQ(OsEventCreate(&ev), DRV_OK);
    auto t0 = Clock::now();
    EXPECT_EQ(OsEventWait(ev, 1), DRV_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, 990ms);
    OsEventClose(ev);
}

TEST_F(Usb, AttachedDeviceIsListedAskedAndDetached) {
    start_egret();
    Tap tap;
    Recorder rec;
    EventTable table = rec.table();
    MatchEntry m = match(kVendor, 0); // any product of the vendor
    DriverCtx* c = nullptr;
    ASSERT_EQ(DriverOpen(&c, &m, 1, &table, 1), DRV_OK);
    ASSERT_TRUE(eventually([&] { return !tap.of(DRV_IOCTL_EVENT_REPLY).empty(); }, 3s));
    DeviceCtx* dev = rec.last();
    auto reply = tap.of(DRV_IOCTL_EVENT_REPLY)[0];
    EXPECT_EQ(reply.u32(4), DRV_ACTION_ATTACH);
    EXPECT_EQ(reply.u32(24) & 3u, 3u);
    EXPECT_EQ(reply.u32(36), dev->unique_id);
    DeviceCtx* found = nullptr;
    EXPECT_EQ(DeviceListFind(dev->unique_id, &found), DRV_OK);
    EXPECT_EQ(found, dev);

    // Device information: a size query, then the fetch into one block.
    tap.clear();
    DeviceInfo* info = nullptr;
    ASSERT_EQ(DeviceGetInfo(dev, &info), DRV_OK);
    auto reqs = tap.of(DRV_IOCTL_DEVICE_INFO);
    ASSERT_EQ(reqs.size(), 2u);
    auto first = reqs[0].as<ParamsInfo>(), second = reqs[1].as<ParamsInfo>();
    EXPECT_EQ(reqs[0].b.size(), sizeof(ParamsInfo));
    EXPECT_EQ(first.unique_id, dev->unique_id);
    EXPECT_EQ(first.buffer, nullptr);
    EXPECT_EQ(second.buffer, info);
    auto* lo = reinterpret_cast<uint8_t*>(info);
    auto inside = [&](const void* p, size_t n) {
        return p >= lo && static_cast<const uint8_t*>(p) + n <= lo + second.size;
    };
    ASSERT_TRUE(inside(info->iface, sizeof(InterfaceRec)));
    const AltSettingRec* alt = info->iface->alt;
    ASSERT_TRUE(inside(alt, sizeof(AltSettingRec)));
    EXPECT_EQ(alt->descriptor[2], 0);
    ASSERT_EQ(alt->descriptor[4], 2);
    ASSERT_TRUE(inside(alt->pipes, 2 * sizeof(PipeRec)));
    EXPECT_EQ(alt->pipes[0].pipe_number, 0x01u);
    EXPECT_EQ(alt->pipes[1].pipe_number, 0x82u);
    EXPECT_EQ(alt->pipes[1].type, 2u);
    EXPECT_EQ(alt->pipes[1].max_packet, 512u);
    std::free(info);

    // Set interface: the board's status is the request's.
    EXPECT_EQ(DeviceSetInterface(dev, 0, 0), DRV_OK);
    ASSERT_EQ(tap.of(DRV_IOCTL_SET_INTERFACE).size(), 1u);
    EXPECT_EQ(tap.of(DRV_IOCTL_SET_INTERFACE)[0].b.size(), 16u);
    EXPECT_EQ(tap.of(DRV_IOCTL_SET_INTERFACE)[0].u32(0), dev->unique_id);
    EXPECT_NE(DeviceSetInterface(dev, 0, 1), DRV_OK);
    EXPECT_TRUE(board.count("set interface 0/1 on device 1: status 2"));

    uint8_t in[16];
    uint32_t moved = 0;

    // A rejected attach is replied with bit 1 clear and not listed; its detach calls nothing.
    rec.set_accept(0);
    bus_says(attach_msg(9, 0x0111));
    ASSERT_TRUE(eventually([&] { return tap.of(DRV_IOCTL_EVENT_REPLY).size() == 1; }, 3s));
    reply = tap.of(DRV_IOCTL_EVENT_REPLY)[0];
    EXPECT_EQ(reply.u32(24) & 3u, 1u);
    EXPECT_EQ(DeviceListFind(reply.u32(36), &found), DRV_NOT_FOUND);
    bus_says(detach_msg(9));
    bus_says(detach_msg(1));
    ASSERT_TRUE(eventually([&] { return rec.detaches() == 1; }, 3s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rec.detaches(), 1u);
    EXPECT_EQ(rec.detached[0], dev);

    // A closed connection's device is not found, and no request goes out for it.
    rec.set_accept(1);
    bus_says(attach_msg(1));
    ASSERT_TRUE(eventually([&] { return rec.attaches() == 3; }, 3s));
    bus_says(attach_msg(1)); // a repeated attach replaces the device
    ASSERT_TRUE(eventually([&] { return rec.attaches() == 4 && rec.detaches() == 2; }, 3s));
    dev = rec.last();
    Recorder late; // a held device goes to no other registration
    EventTable late_table = late.table();
    DriverCtx* held = nullptr;
    ASSERT_EQ(DriverOpen(&held, &m, 1, &late_table, 1), DRV_OK);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(late.attaches(), 0u);
    DriverClose(held);
    DriverCtx* other = nullptr;
    ASSERT_EQ(DriverOpen(&other, nullptr, 0, nullptr, 0), DRV_OK); // keeps the lock alive
    DriverClose(c);
    tap.clear();
    EXPECT_EQ(DeviceGetInfo(dev, &info), DRV_NOT_FOUND);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(DeviceTransfer(dev, 1, 0, 0, in, 4, &moved, nullptr, 50), DRV_NOT_FOUND);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(tap.size(), 0u);
    DriverClose(other);
}

// A device operation racing the device's detach and re-attach on the wait thread.
TEST_F(Usb, OperationsRacingDetachStaySafe) {
    start_egret();
    Recorder rec;
    EventTable table = rec.table();
    MatchEntry m = match(kVendor, kEgret);
    DriverCtx* c = nullptr;
    ASSERT_EQ(DriverOpen(&c, &m, 1, &table, 1), DRV_OK);
    ASSERT_TRUE(eventually([&] { return rec.last() != nullptr; }, 3s));
    std::atomic<bool> churned{false};
    std::thread churn([&] {
        for (int i = 0; i < 100; ++i) {
            bus_says(detach_msg());
            std::this_thread::sleep_for(1ms);
            bus_says(attach_msg());
            std::this_thread::sleep_for(2ms);
        }
        churned = true;
    });
    uint8_t buf[16] = {};
    int ok = 0, gone = 0;
    for (auto end = Clock::now() + 10s; !churned && Clock::now() < end;) {
        DeviceCtx* d = rec.last(); // may have been freed by a detach meanwhile
        DeviceInfo* info = nullptr;
        DrvStatus s = DeviceGetInfo(d, &info);
        std::free(info);
        uint32_t moved = 0;
        if (s == DRV_OK)
            s = DeviceTransfer(d, 0x01, 0, 0, buf, sizeof buf, &moved, nullptr, 200);
        (s == DRV_OK ? ok : gone)++;
        ASSERT_TRUE(s == DRV_OK || s == DRV_NOT_FOUND) << std::hex << s;
    }
    churn.join();
    EXPECT_GT(ok, 0);
    EXPECT_GT(gone, 0);
    DriverClose(c);
}

// The stand-in driver between the driver layer and the bus: OUT in messages of at most
// 64 KiB, each answered; IN takes what is queued and ends short.
TEST_F(Usb, TransfersCarryWhatTheBusAnswers) {
    start_egret({"--usb-rate", "131072"}); // 64 KiB answered in 500 ms
    Recorder rec;
    EventTable table = rec.table();
    MatchEntry m = match(kVendor, kEgret);
    DriverCtx* c = nullptr;
    ASSERT_EQ(DriverOpen(&c, &m, 1, &table, 1), DRV_OK);
    ASSERT_TRUE(eventually([&] { return rec.last() != nullptr; }, 3s));
    DeviceCtx* d = rec.last();
    Bytes data(150000, 0);
    uint32_t moved = 1;
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, data.data(), 131072, &moved, nullptr, 750),
              DRV_TIMEOUT);
    EXPECT_EQ(moved, 65536u);

    rom_command gate;
    rom_build_command(&gate, ROM_CMD_GATE, 0, 0, 0, 0, 0);
    uint8_t in[8] = {};
    auto t0 = Clock::now();
    EXPECT_EQ(DeviceTransfer(d, 0x82, 1, 0, in, 8, &moved, nullptr, 100), DRV_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, 90ms);
    EXPECT_EQ(moved, 0u);
    // The answer to a frame sent while the read waits ends the read, short of its length.
    std::thread frame([&] {
        std::this_thread::sleep_for(200ms);
        uint32_t n = 0;
        EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, gate.bytes.data(), 16, &n, nullptr, 3000), DRV_OK);
    });
    EXPECT_EQ(DeviceTransfer(d, 0x82, 1, 0, in, 8, &moved, nullptr, 5000), DRV_OK);
    frame.join();
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ(Bytes(in, in + 4), (Bytes{0x56, 0x78, 0x78, 0x56}));
    // A pipe the device lacks, or the wrong direction, is refused.
    EXPECT_NE(DeviceTransfer(d, 0x83, 1, 0, in, 8, &moved, nullptr, 100), DRV_OK);
    EXPECT_NE(DeviceTransfer(d, 0x82, 0, 0, in, 8, &moved, nullptr, 100), DRV_OK);
    EXPECT_NE(DeviceTransfer(d, 0x01, 1, 0, in, 8, &moved, nullptr, 100), DRV_OK);
    DriverClose(c);

    start_egret(); // at full speed
    ASSERT_EQ(DriverOpen(&c, &m, 1, &table, 1), DRV_OK);
    ASSERT_TRUE(eventually([&] { return rec.last() != d; }, 3s));
    EXPECT_EQ(DeviceTransfer(rec.last(), 0x01, 0, 0, data.data(), 150000, &moved, nullptr, 5000),
              DRV_OK);
    EXPECT_EQ(moved, 150000u);
    DriverClose(c);
}

TEST_F(Usb, BulkOpenClaimsTheBoardAndWaitsForIt) {
    board.start({"--target", "heron", "--transport", "usb"}); // present, not the one asked for
    auto t0 = Clock::now();
    EXPECT_EQ(OpenUSB(13, 1), 0);
    EXPECT_GE(Clock::now() - t0, 990ms);
    EXPECT_EQ(usb_opened, 0);
    EXPECT_EQ(connection_count, 0);
    EXPECT_EQ(posix::driver_registrations(), 0);

    // Without a wait of its own, the open waits 30 s: longer than the board takes to come.
    int opened = -1;
    std::thread open([&] { opened = OpenUSB(13, 0); });
    std::this_thread::sleep_for(1500ms);
    start_egret();
    open.join();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(usb_opened, 1);
    EXPECT_EQ(usb_vendor_id, 0x2F5A);
    EXPECT_EQ(usb_product_id, 0x0110);
    EXPECT_NE(claimed(), nullptr);
    EXPECT_EQ(usb_link.claim_status, 0u);
    EXPECT_EQ(board.count("set interface 0/0 on device 1: status 0"), 1u);
    // An open over an open one, and after a close, leaves one connection.
    ASSERT_EQ(OpenUSB(13, 5), 1);
    EXPECT_EQ(connection_count, 1);
    EXPECT_EQ(posix::driver_registrations(), 1);
    CloseUSB();
    CloseUSB();
    EXPECT_EQ(connection_count, 0);
    ASSERT_EQ(OpenUSB(13, 5), 1);
    EXPECT_EQ(OpenUSB(14, 1), 0); // no such row
    EXPECT_EQ(connection_count, 0);
}

TEST_F(Usb, BulkTransfersPipesAndVerbosity) {
    start_egret();
    ASSERT_EQ(OpenUSB(13, 5), 1);
    Tap tap;
    rom_command gate;
    rom_build_command(&gate, ROM_CMD_GATE, 0, 0, 0, 0, 0);
    uint8_t in[8] = {};
    EXPECT_EQ(usb_write(16, gate.bytes.data(), 13, 50), 1);
    EXPECT_EQ(usb_read(4, 13, in, 0), 1);
    EXPECT_EQ(in[0], 0x56);
    usb_set_verbosity(1);
    CaptureStdout();
    EXPECT_EQ(usb_write(16, gate.bytes.data(), 13, -1), 1);
    EXPECT_EQ(GetCapturedStdout(), "");
    usb_set_verbosity(2);
    CaptureStdout();
    EXPECT_EQ(usb_read(8, 13, in, 1000), 1); // the board's word: 4 of 8
    EXPECT_EQ(usb_read(8, 13, in, 50), 0);   // failed: nothing printed
    EXPECT_EQ(usb_write(16, gate.bytes.data(), 13, 50), 1);
    EXPECT_EQ(GetCapturedStdout(), "Transferred 4 bytes\nTransferred 16 bytes\n");
    std::vector<uint32_t> timeouts;
    for (const auto& r : tap.of(DRV_IOCTL_TRANSFER)) {
        auto p = r.as<ParamsTransfer>();
        timeouts.push_back(p.timeout_ms);
        EXPECT_EQ(p.pipe, p.direction ? 0x82u : 0x01u);
        EXPECT_EQ(p.options, 0u);
        EXPECT_EQ(std::memcmp(p.SetupPacket, "\0\0\0\0\0\0\0\0", 8), 0);
    }
    EXPECT_EQ(timeouts, (std::vector<uint32_t>{50, 30000, 30000, 1000, 50, 50}));

    // A pipe the interface lacks is named and goes nowhere; pipe 0 goes to the driver.
    tap.clear();
    CaptureStdout();
    EXPECT_EQ(usb_transfer(0, 3, in, 4, 50), 0);
    EXPECT_EQ(GetCapturedStdout(), "The pipe number 0x3 does not exist, please try again.\n");
    EXPECT_TRUE(tap.of(DRV_IOCTL_TRANSFER).empty());
    EXPECT_EQ(usb_transfer(0, 0, in, 4, 50), 0);
    EXPECT_EQ(tap.of(DRV_IOCTL_TRANSFER).size(), 1u);

    // Detached: transfers fail without a word; attached again: claimed and working.
    bus_says(detach_msg());
    ASSERT_TRUE(eventually([] { return claimed() == nullptr; }, 3s));
    CaptureStdout();
    EXPECT_EQ(usb_write(16, gate.bytes.data(), 13, 50), 0);
    EXPECT_EQ(usb_read(4, 13, in, 50), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(usb_opened, 1);
    bus_says(attach_msg());
    ASSERT_TRUE(eventually([] { return claimed() != nullptr; }, 3s));
    usb_set_verbosity(0);
    EXPECT_EQ(usb_write(16, gate.bytes.data(), 13, 500), 1);
    EXPECT_EQ(usb_read(4, 13, in, 1000), 1);
}

} // namespace
