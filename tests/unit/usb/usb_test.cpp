// The USB driver layer, the stand-in driver over libusb, the USB bulk transport and the
// memory read where a whole run does not reach: request records, wait loop outcomes, the
// shared list lock, the device's own descriptors, offers passed on, a detach racing the
// device operations, long and short transfers and their timeouts.
#include "platform/posix/usbdriver.h"
#include "romproto/romproto.h"
#include "tests/e2e/board.h"
#include "transport/transport.h"
#include "transport/usbbulk/usbbulk.h"
#include "transport/usbdriver/usbdriver.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>

using namespace std::chrono_literals;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testsupport::eventually;
using Clock = std::chrono::steady_clock;

namespace {

using Bytes = std::vector<uint8_t>;

// Under umockdev's preload, this process reaches a board's emulated devices once
// UMOCKDEV_DIR names the board's test bed; without it the preload changes nothing.
[[maybe_unused]] const bool g_preloaded = testsupport::rerun_under_umockdev();

// Every request the stand-in driver gets, with its record as it arrived. An answer
// function may serve a request in the driver's place.
struct Tap {
    struct Request {
        uint32_t code;
        Bytes b;
        template <class T = uint32_t> T at(size_t off = 0) const {
            T v{};
            if (off < b.size())
                std::memcpy(&v, b.data() + off, std::min(sizeof v, b.size() - off));
            return v;
        }
    };
    std::mutex m;
    std::vector<Request> log;
    std::function<bool(uint32_t code, void* rec, uint32_t* status)> answer;

    Tap() {
        posix::driver_set_tap(
            [](void* ctx, uint32_t code, void* rec, uint32_t size, uint32_t* status) {
                auto* t = static_cast<Tap*>(ctx);
                std::lock_guard<std::mutex> lk(t->m);
                auto* p = static_cast<uint8_t*>(rec);
                t->log.push_back({code, p ? Bytes(p, p + size) : Bytes{}});
                return t->answer && t->answer(code, rec, status);
            },
            this);
    }
    ~Tap() { posix::driver_set_tap(nullptr, nullptr); }
    // The requests with this code; 0: all of them.
    std::vector<Request> of(uint32_t code = 0) {
        std::lock_guard<std::mutex> lk(m);
        std::vector<Request> r;
        std::copy_if(log.begin(), log.end(), std::back_inserter(r),
                     [&](const Request& q) { return !code || q.code == code; });
        return r;
    }
    void clear() {
        std::lock_guard<std::mutex> lk(m);
        log.clear();
    }
};

// The driver layer's callbacks, recorded.
struct Recorder {
    std::atomic<uint32_t> accept = 1;
    std::atomic<size_t> attaches = 0, detaches = 0;
    std::atomic<DeviceCtx*> last = nullptr;
    EventTable table() {
        return {[](DeviceCtx* d, DeviceInfo*, void* ctx) {
                    auto* r = static_cast<Recorder*>(ctx);
                    r->last = d;
                    ++r->attaches;
                    return r->accept.load();
                },
                [](DeviceCtx*, void* ctx) {
                    auto* r = static_cast<Recorder*>(ctx);
                    ++r->detaches;
                    return 0u;
                },
                nullptr, this};
    }
};

DrvStatus out(DeviceCtx* d, const void* p, size_t n, uint32_t timeout_ms = 3000) {
    uint32_t moved = 0;
    return DeviceTransfer(d, 0x01, 0, 0, const_cast<void*>(p), uint32_t(n), &moved, nullptr,
                          timeout_ms);
}
DrvStatus in(DeviceCtx* d, uint8_t* p, uint32_t n, uint32_t* moved, uint32_t timeout_ms) {
    return DeviceTransfer(d, 0x82, 1, 0, p, n, moved, nullptr, timeout_ms);
}
// What the device sends until it is silent for 200 ms: the status that ended it.
DrvStatus drain(DeviceCtx* d) {
    uint8_t buf[512];
    uint32_t moved = 0;
    DrvStatus st;
    while ((st = in(d, buf, sizeof buf, &moved, 200)) == DRV_OK) {
    }
    return st;
}
Bytes frame(uint16_t code, uint32_t addr = 0, uint32_t length = 0, uint32_t value = 0) {
    rom_command c;
    const bool word = code == ROM_CMD_WRITE || code == ROM_CMD_READ;
    rom_build_command(&c, code, addr, word ? ROM_WIDTH_32 : 0, length, value, 0);
    return Bytes(c.bytes.begin(), c.bytes.end());
}

void expect_nothing_open() {
    EXPECT_EQ(connection_count, 0);
    EXPECT_EQ(device_list_lock, nullptr);
    EXPECT_EQ(posix::driver_open_handles(), 0);
    EXPECT_EQ(posix::driver_registrations(), 0);
}

// Nothing of the driver layer may outlive a test.
struct Usb : ::testing::Test {
    e2e::Session s;
    Recorder rec;
    EventTable table = rec.table();
    MatchEntry m = {0x2F5A, 0x0110, {}};
    DriverCtx* c = nullptr;
    void SetUp() override { unsetenv("LARKSPUR_DRIVER_VERSION"); }
    void TearDown() override {
        CloseUSB();
        usb_set_verbosity(0);
        expect_nothing_open();
        unsetenv("UMOCKDEV_DIR");
    }
    // A board, "target options...", whose test bed this process enters.
    void board(const std::string& setup) {
        std::string w = setup + " ";
        s.board(w.insert(w.find(' '), " usb"));
        setenv("UMOCKDEV_DIR", s.emulation.at(0).substr(13).c_str(), 1); // "UMOCKDEV_DIR=..."
    }
    // egret's boot ROM, through the driver alone: the USB valid flag, the image, the start.
    // Its device then detaches, and the test program's attaches.
    void start_program(DeviceCtx* d) {
        std::string image = testsupport::read_file(s.image("egret"));
        for (const Bytes& b : {frame(ROM_CMD_WRITE, 0xF801DC10, 0, 0x55AA55AA),
                               frame(ROM_CMD_IMAGE, 0xF8006000, uint32_t(image.size())),
                               Bytes(image.begin(), image.end())}) {
            ASSERT_EQ(out(d, b.data(), b.size()), DRV_OK);
            ASSERT_EQ(drain(d), DRV_TIMEOUT);
        }
        ASSERT_EQ(out(d, frame(ROM_CMD_EXEC).data(), 16), DRV_OK);
    }
    // A connection for egret's boot ROM device; false if it does not come.
    bool open_egret() {
        return DriverOpen(&c, &m, 1, &table, 1) == DRV_OK &&
               eventually([&] { return rec.last.load() != nullptr; }, 3s);
    }
};

// A driver below version 600 is refused and leaves nothing behind; 600 will do.
TEST_F(Usb, RegistrationRecords) {
    setenv("LARKSPUR_DRIVER_VERSION", "599", 1);
    EXPECT_EQ(DriverOpen(&c, &m, 1, &table, 1), DRV_VERSION_TOO_OLD);
    EXPECT_EQ(c, reinterpret_cast<DriverCtx*>(DRV_INVALID_CONNECTION));
    expect_nothing_open();
    setenv("LARKSPUR_DRIVER_VERSION", "600", 1);
    Tap tap;
    MatchEntry two[2] = {m, {0x1234, 0x5678, {}}};
    two[1].reserved[5] = 0xAB; // copied as given
    EventTable full = table, attach_only = {table.attach, nullptr, nullptr, &rec};
    full.power = [](DeviceCtx*, uint32_t, void*) -> uint32_t { return 0; };
    struct Case {
        const EventTable* table;
        uint32_t count, options, size, mask;
    } cases[] = {{&full, 2, 5, 78, 0x3FF3}, {&attach_only, 1, 0, 68, 1}};
    for (const Case& k : cases) {
        tap.clear();
        ASSERT_EQ(DriverOpen(&c, two, k.count, k.table, k.options), DRV_OK);
        EXPECT_EQ(tap.of(DRV_IOCTL_VERSION).at(0).b.size(), 132u);
        auto regs = tap.of(DRV_IOCTL_EVENT_REGISTER);
        ASSERT_EQ(regs.size(), 1u);
        EXPECT_EQ(regs[0].b.size(), k.size);
        const uint32_t want[][2] = {{0, 0},  {4, k.mask},   {16, 0xFFFFFFFE}, {24, k.options},
                                    {48, 1}, {52, k.count}, {56, 0x01102F5A}};
        for (auto [offset, value] : want)
            EXPECT_EQ(regs[0].at(offset), value) << offset;
        EXPECT_EQ(std::memcmp(regs[0].b.data() + 56, two, sizeof(MatchEntry) * k.count), 0);
        // The wait is enabled, disabled and the registration ended with the driver's handle.
        const uint32_t handle = c->reg->wait.handle;
        DriverClose(c);
        for (uint32_t code :
             {DRV_IOCTL_WAIT_ENABLE, DRV_IOCTL_WAIT_DISABLE, DRV_IOCTL_EVENT_UNREGISTER}) {
            auto q = tap.of(code);
            ASSERT_EQ(q.size(), 1u) << std::hex << code;
            EXPECT_EQ(q[0].at(0), handle);
        }
        auto unreg = tap.of(DRV_IOCTL_EVENT_UNREGISTER)[0];
        EXPECT_EQ(unreg.at(16), 0u);
        EXPECT_EQ(unreg.at(52), 1u);
        EXPECT_EQ(tap.of(DRV_IOCTL_WAIT_ENABLE)[0].b.size(), 48u);
    }
}

TEST_F(Usb, WaitOutcome2WaitsAgainAnd1EndsTheLoopThatTheJoinAwaits) {
    Tap tap;
    std::vector<uint32_t> script = {2, 2, 0, 2, 5, 1};
    std::atomic<size_t> step{0};
    tap.answer = [&](uint32_t code, void* r, uint32_t* status) {
        if (code != DRV_IOCTL_WAIT)
            return false;
        size_t i = step++;
        static_cast<WaitRec*>(r)->outcome = i < script.size() ? script[i] : 1;
        *status = DRV_OK;
        return true;
    };
    static std::atomic<int> handled;
    handled = 0;
    WaitRec wait{};
    WaitThread wt{};
    wt.wait = &wait;
    wt.handler = [](void*) { std::this_thread::sleep_for(50ms), ++handled; };
    // The join waits for the loop, which ends at the latest when the script runs out.
    HANDLE thread = nullptr;
    ASSERT_EQ(ThreadStart(&thread, WaitLoop, &wt), DRV_OK);
    ThreadJoin(thread);
    EXPECT_EQ(handled.load(), 2); // outcomes 0 and 5
    EXPECT_EQ(step.load(), 6u);
}

// The lock held past its 30 s wait: a list operation gives up with DRV_TIMEOUT and leaves
// the list alone, and the attach of a board that came meanwhile, which cannot be listed,
// is dropped without a callback.
using DriverFaults = Usb;
TEST_F(DriverFaults, ListLockNotHadWithinItsWait) {
    board("egret");
    DriverCtx* b = nullptr; // makes the lock
    ASSERT_EQ(DriverOpen(&b, nullptr, 0, nullptr, 0), DRV_OK);
    ASSERT_EQ(OsEventWait(device_list_lock, 1), DRV_OK); // held from here on
    ASSERT_EQ(DriverOpen(&c, &m, 1, &table, 1), DRV_OK); // the board's attach waits for it
    DeviceCtx other{};
    auto t0 = Clock::now();
    EXPECT_EQ(DeviceListAdd(&other), DRV_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, 29s);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(OsEventSet(device_list_lock), DRV_OK);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(device_list, nullptr);
    EXPECT_EQ(rec.attaches, 0u);
    VersionRec v{};
    EXPECT_EQ(DriverIoctl(DRV_IOCTL_VERSION, INVALID_HANDLE_VALUE, &v, sizeof v, false),
              DRV_NO_HANDLE);
    DriverClose(c);
    DriverClose(b);
}

TEST_F(Usb, TwoConnectionsKeepTheLockUntilTheLastCloses) {
    DriverCtx* b = nullptr;
    ASSERT_EQ(DriverOpen(&c, nullptr, 0, nullptr, 0), DRV_OK);
    HANDLE lock = device_list_lock;
    ASSERT_EQ(DriverOpen(&b, nullptr, 0, nullptr, 0), DRV_OK);
    EXPECT_EQ(device_list_lock, lock);
    DriverClose(c);
    DriverClose(nullptr);
    DriverClose(reinterpret_cast<DriverCtx*>(DRV_INVALID_CONNECTION));
    EXPECT_EQ(connection_count, 1);
    EXPECT_EQ(device_list_lock, lock);
    EXPECT_EQ(OsEventWait(device_list_lock, 1), DRV_OK); // free, and one wait takes it
    EXPECT_EQ(OsEventWait(device_list_lock, 0), DRV_TIMEOUT);
    EXPECT_EQ(OsEventSet(device_list_lock), DRV_OK);
    DriverClose(b);
    EXPECT_EQ(WaitForSingleObject(lock, 0), WAIT_FAILED); // closed
}

TEST_F(Usb, AttachedDeviceIsDescribedClaimedAndPassedOn) {
    board("egret");
    Tap tap;
    m.product_id = 0; // any product of the vendor
    ASSERT_TRUE(open_egret());
    ASSERT_TRUE(eventually([&] { return !tap.of(DRV_IOCTL_EVENT_REPLY).empty(); }, 3s));
    DeviceCtx* dev = rec.last.load();
    const uint32_t first_id = dev->unique_id;
    auto reply = tap.of(DRV_IOCTL_EVENT_REPLY)[0];
    EXPECT_EQ(reply.at(4), DRV_ACTION_ATTACH);
    EXPECT_EQ(reply.at(24) & 3u, 3u);
    EXPECT_EQ(reply.at(36), first_id);

    // Device information: a size query, then the fetch into one block, from the device's
    // own descriptors.
    tap.clear();
    DeviceInfo* info = nullptr;
    ASSERT_EQ(DeviceGetInfo(dev, &info), DRV_OK);
    auto reqs = tap.of(DRV_IOCTL_DEVICE_INFO);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].at<ParamsInfo>().buffer, nullptr);
    const Bytes device = {18,   1,    0x00, 0x02, 0xFF, 0, 0, 64, 0x5A,
                          0x2F, 0x10, 0x01, 0,    1,    0, 0, 0,  1};
    EXPECT_EQ(Bytes(info->device_descriptor, info->device_descriptor + 18), device);
    ASSERT_EQ(info->interface_count, 1u);
    const AltSettingRec* alt = info->iface->alt;
    EXPECT_EQ(Bytes(alt->descriptor, alt->descriptor + 9), (Bytes{9, 4, 0, 0, 2, 0xFF, 0, 0, 0}));
    const PipeRec want[] = {{0x01, 2, 512, 0, 0}, {0x82, 2, 512, 0, 1}};
    EXPECT_EQ(std::memcmp(alt->pipes, want, sizeof want), 0);
    std::free(info);

    // Set interface claims and selects; a setting the device lacks never reaches it.
    EXPECT_EQ(DeviceSetInterface(dev, 0, 0), DRV_OK);
    EXPECT_NE(DeviceSetInterface(dev, 0, 1), DRV_OK);
    EXPECT_NE(DeviceSetInterface(dev, 1, 0), DRV_OK);
    EXPECT_EQ(s.board_lines("set interface"),
              std::vector<std::string>{"set interface 0/0 on device 2: done"});

    // A held device goes to no other registration.
    Recorder late;
    EventTable late_table = late.table();
    DriverCtx* other = nullptr;
    ASSERT_EQ(DriverOpen(&other, &m, 1, &late_table, 1), DRV_OK);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(late.last.load(), nullptr);

    // The start: the boot ROM's device detaches while the caller's thread keeps using it,
    // and the test program's device, with an ID of its own, is rejected here (replied with
    // bit 1 clear, not listed) and so offered to the other registration.
    rec.accept = 0;
    tap.clear();
    std::atomic<bool> started{false};
    int ok = 0, gone = 0;
    std::thread user([&] {
        uint8_t buf[16];
        while (!started) {
            DeviceInfo* i = nullptr;
            uint32_t moved = 0;
            for (DrvStatus st : {DeviceGetInfo(dev, &i),
                                 DeviceTransfer(dev, 0x01, 1, 0, buf, 16, &moved, nullptr, 50)})
                (st == DRV_NOT_FOUND ? gone : ok)++;
            std::free(i);
        }
    });
    start_program(dev);
    DrvStatus st = DRV_TIMEOUT; // reads go on until the device has gone
    for (auto end = Clock::now() + 5s; st == DRV_TIMEOUT && Clock::now() < end;)
        st = drain(dev);
    EXPECT_EQ(st, DRV_NOT_FOUND);
    EXPECT_TRUE(eventually([&] { return late.last.load() != nullptr; }, 5s));
    started = true;
    user.join();
    EXPECT_GT(ok, 0);
    EXPECT_GT(gone, 0);
    EXPECT_EQ(rec.detaches, 1u);
    EXPECT_EQ(rec.attaches, 2u);
    auto replies = tap.of(DRV_IOCTL_EVENT_REPLY);
    ASSERT_EQ(replies.size(), 2u);
    const uint32_t program_id = replies[0].at(36);
    EXPECT_NE(program_id, first_id);
    EXPECT_EQ(replies[0].at(24) & 3u, 1u);
    EXPECT_EQ(replies[1].at(24) & 3u, 3u);
    EXPECT_EQ(late.last.load()->unique_id, program_id);
    // Let go, it is offered to a registration made after it came, not to the one that
    // declined it.
    DriverClose(other);
    Recorder next;
    EventTable next_table = next.table();
    ASSERT_EQ(DriverOpen(&other, &m, 1, &next_table, 1), DRV_OK);
    EXPECT_TRUE(eventually([&] { return next.attaches == 1; }, 3s));
    EXPECT_EQ(rec.attaches, 2u);
    DriverClose(other);

    // A closed connection's device is not found, and no request goes out for it.
    dev = next.last.load();
    ASSERT_EQ(DriverOpen(&other, nullptr, 0, nullptr, 0), DRV_OK); // keeps the lock alive
    DriverClose(c);
    tap.clear();
    EXPECT_EQ(DeviceGetInfo(dev, &info), DRV_NOT_FOUND);
    EXPECT_EQ(info, nullptr);
    uint8_t buf[4];
    uint32_t moved = 0;
    EXPECT_EQ(DeviceTransfer(dev, 1, 0, 0, buf, 4, &moved, nullptr, 50), DRV_NOT_FOUND);
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(tap.of().empty());
    DriverClose(other);
}

// An attach offer its registration never answered passes on when that registration ends.
TEST_F(Usb, AnUnansweredOfferPassesOnWhenItsRegistrationEnds) {
    board("egret");
    Tap tap;
    tap.answer = [](uint32_t code, void*, uint32_t* status) {
        *status = DRV_OK;
        return code == DRV_IOCTL_EVENT_REPLY; // the reply never reaches the driver
    };
    ASSERT_TRUE(open_egret());
    Recorder next;
    EventTable next_table = next.table();
    DriverCtx* b = nullptr;
    ASSERT_EQ(DriverOpen(&b, &m, 1, &next_table, 1), DRV_OK);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(next.last.load(), nullptr) << "the offer is still out";
    DriverClose(c);
    EXPECT_TRUE(eventually([&] { return next.last.load() != nullptr; }, 3s));
    DriverClose(b);
}

// A long OUT that runs out of time, an IN that ends short, one that times out, and
// pipes the device lacks.
TEST_F(Usb, TransfersEndShortOrTimedOut) {
    board("egret --usb-rate 65536"); // 64 KiB carried in a second
    ASSERT_TRUE(open_egret());
    DeviceCtx* d = rec.last.load(); // claimed by its first transfer
    Bytes data(131072);
    uint32_t moved = 1;
    auto t0 = Clock::now();
    EXPECT_EQ(DeviceTransfer(d, 0x01, 0, 0, data.data(), 131072, &moved, nullptr, 1500),
              DRV_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, 1500ms);
    EXPECT_LT(Clock::now() - t0, 3000ms);
    EXPECT_LT(moved, 131072u);
    uint8_t buf[8] = {};
    t0 = Clock::now();
    EXPECT_EQ(in(d, buf, 8, &moved, 100), DRV_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, 100ms);
    EXPECT_EQ(moved, 0u);

    // The answer to a frame sent while the read waits ends the read, short of its length.
    std::thread gate([&] {
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(out(d, frame(ROM_CMD_GATE).data(), 16), DRV_OK);
    });
    EXPECT_EQ(in(d, buf, 8, &moved, 5000), DRV_OK);
    gate.join();
    EXPECT_EQ(Bytes(buf, buf + moved), (Bytes{0x56, 0x78, 0x78, 0x56}));
    // A pipe the device lacks, or the wrong direction, is refused.
    const std::pair<uint32_t, uint32_t> refused[] = {{0x83, 1}, {0x82, 0}, {0x01, 1}};
    for (auto [pipe, direction] : refused)
        EXPECT_NE(DeviceTransfer(d, pipe, direction, 0, buf, 8, &moved, nullptr, 100), DRV_OK);
    DriverClose(c);
}

TEST_F(Usb, BulkOpenTakesOnlyItsBoardAndTransfersOnItsPipes) {
    board("heron");
    EXPECT_EQ(OpenUSB(USB_ROW_EGRET, 1), 0);
    expect_nothing_open();
    EXPECT_EQ(OpenUSB(USB_DEVICE_ROWS, 1), 0) << "a row past the table";
    expect_nothing_open();
    ASSERT_EQ(OpenUSB(USB_ROW_HERON, 0), 1);
    Tap tap;
    uint8_t in[8] = {};
    usb_set_verbosity(1);
    CaptureStdout();
    EXPECT_EQ(usb_write(16, frame(ROM_CMD_GATE).data(), 12, -1), 1);
    usb_set_verbosity(2);
    EXPECT_EQ(usb_read(8, 12, in, 0), 1);  // the board's word: 4 of 8
    EXPECT_EQ(usb_read(8, 12, in, 50), 0); // failed: nothing printed
    // A pipe the interface lacks is named and goes nowhere.
    EXPECT_EQ(usb_transfer(0, 3, in, 4, 50), 0);
    EXPECT_EQ(GetCapturedStdout(), "Transferred 4 bytes\n"
                                   "The pipe number 0x3 does not exist, please try again.\n");
    std::vector<uint32_t> timeouts;
    for (const auto& r : tap.of(DRV_IOCTL_TRANSFER)) {
        auto p = r.at<ParamsTransfer>();
        timeouts.push_back(p.timeout_ms);
        EXPECT_EQ(p.pipe, p.direction ? 0x82u : 0x01u);
        EXPECT_EQ(p.options, 0u);
        EXPECT_EQ(std::memcmp(p.SetupPacket, "\0\0\0\0\0\0\0\0", 8), 0);
    }
    EXPECT_EQ(timeouts, (std::vector<uint32_t>{30000, 30000, 50}));
}

// The memory read, which no run makes: its frame, and the switch's USB reads cut into
// pieces of 1024 bytes, the first failed one ending the read.
TEST_F(Usb, MemoryReadIsReadInPiecesOf1024) {
    board("egret");
    target_id = TARGET_EGRET;
    use_usb = 1;
    dev_set_usb_row(USB_ROW_EGRET);
    dev_set_usb_waits(5, 50);
    ASSERT_EQ(dev_open_usb(0), 1);
    Tap tap;
    auto in_sizes = [&] {
        std::vector<uint32_t> sizes;
        for (const auto& r : tap.of(DRV_IOCTL_TRANSFER))
            if (auto p = r.at<ParamsTransfer>(); p.direction == 1)
                sizes.push_back(p.size);
        tap.clear();
        return sizes;
    };
    Bytes whole(2500, 0xEE), buf(2500, 0xEE);
    EXPECT_NE(rom_read(0x63FD9000, whole.data(), 2500), 0u);
    EXPECT_EQ(s.board_lines("READ "), std::vector<std::string>{"READ 0x63fd9000 2500"});
    EXPECT_EQ(in_sizes(), (std::vector<uint32_t>{4, 1024, 1024, 452}));

    // The device sends 1024 bytes: the second piece finds nothing and ends the read.
    uint32_t written = 0;
    ASSERT_EQ(dev_write(frame(ROM_CMD_READ, 0x63FD9000, 1024).data(), 16, &written), 1);
    ASSERT_EQ(dev_read(buf.data(), 4), 1); // its acknowledgement
    tap.clear();
    EXPECT_EQ(dev_read(buf.data(), 2500), 0);
    EXPECT_EQ(in_sizes(), (std::vector<uint32_t>{1024, 1024}));
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 1024), Bytes(whole.begin(), whole.begin() + 1024));
    EXPECT_EQ(buf[1024], 0xEE);
    EXPECT_EQ(dev_read(buf.data(), 0), 0); // nothing to read: nothing asked
    EXPECT_TRUE(in_sizes().empty());
    dev_close();
    target_id = TARGET_NONE;
    use_usb = 0;
}

} // namespace
