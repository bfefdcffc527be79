// The USB driver layer against the stand-in driver: connections, registration, the wait
// thread, event handling and the device operations.
#include "tests/unit/usb/usb_test_support.h"

#include <atomic>
#include <thread>

using namespace usbtest;
using testsupport::eventually;

namespace {

class DriverLayer : public UsbTest {};

TEST_F(DriverLayer, VersionBelow600FailsAndLeavesNothingBehind) {
    Recorder rec;
    EventTable table = rec.table();
    MatchEntry m = match(kVendor, kEgret);
    setenv("LARKSPUR_DRIVER_VERSION", "599", 1);
    DriverCtx* c = nullptr;
    EXPECT_EQ(DriverOpen(&c, &m, 1, &table, 1), DRV_VERSION_TOO_OLD);
    EXPECT_EQ(c, invalid_connection());
    EXPECT_EQ(connection_count, 0);
    EXPECT_EQ(device_list_lock, nullptr);
    EXPECT_EQ(posix::driver_open_handles(), 0);
    EXPECT_EQ(posix::driver_registrations(), 0);

    setenv("LARKSPUR_DRIVER_VERSION", "600", 1);
    ASSERT_EQ(DriverOpen(&c, &m, 1, &table, 1), DRV_OK);
    EXPECT_EQ(connection_count, 1);
    EXPECT_NE(device_list_lock, nullptr);
    EXPECT_EQ(posix::driver_registrations(), 1);
    DriverClose(c);
}

TEST_F(DriverLayer, WithoutAttachCallbackNoRegistrationNoThread) {
    Tap tap;
    EventTable table = {nullptr, &Recorder::on_detach, nullptr, nullptr};
    DriverCtx* c = nullptr;
    ASSERT_EQ(DriverOpen(&c, nullptr, 0, &table, 1), DRV_OK);
    EXPECT_EQ(c->reg, nullptr);
    EXPECT_NE(c->handle, nullptr);
    EXPECT_EQ(posix::driver_registrations(), 0);
    EXPECT_TRUE(tap.of(DRV_IOCTL_EVENT_REGISTER).empty());
    EXPECT_TRUE(tap.of(DRV_IOCTL_WAIT_ENABLE).empty());
    ASSERT_EQ(tap.of(DRV_IOCTL_VERSION).size(), 1u);
    EXPECT_EQ(tap.of(DRV_IOCTL_VERSION)[0].size, 132u);
    DriverClose(c);
    EXPECT_EQ(tap.total(), 1u); // no unregister either
}

TEST_F(DriverLayer, MatchTableAndCountMustComeTogether) {
    Recorder rec;
    EventTable table = rec.table();
    MatchEntry m = match(kVendor, kEgret);
    DriverCtx* c = nullptr;
    EXPECT_EQ(DriverOpen(&c, nullptr, 1, &table, 1), DRV_NO_RESOURCES);
    EXPECT_EQ(c, invalid_connection());
    EXPECT_EQ(DriverOpen(&c, &m, 0, &table, 1), DRV_NO_RESOURCES);
    EXPECT_EQ(c, invalid_connection());
    EXPECT_EQ(connection_count, 0);
    EXPECT_EQ(device_list_lock, nullptr);
    EXPECT_EQ(posix::driver_open_handles(), 0);
    // Neither given: a registration without match entries.
    ASSERT_EQ(DriverOpen(&c, nullptr, 0, &table, 1), DRV_OK);
    DriverClose(c);
}

TEST_F(DriverLayer, RegistrationRecordCarriesMaskOptionsAndEntries) {
    Tap tap;
    Recorder rec;
    MatchEntry m[2] = {match(kVendor, kEgret), match(0x1234, 0x5678)};
    m[1].reserved[5] = 0xAB; // copied as given

    EventTable full = rec.table(true);
    DriverCtx* c = nullptr;
    ASSERT_EQ(DriverOpen(&c, m, 2, &full, 5), DRV_OK);
    auto regs = tap.of(DRV_IOCTL_EVENT_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    const Tap::Request& r = regs[0];
    EXPECT_EQ(r.size, 78u);
    EXPECT_EQ(r.u32(0), 0u);
    EXPECT_EQ(r.u32(4), 0x3FF3u);
    EXPECT_EQ(r.u32(16), 0xFFFFFFFEu);
    EXPECT_EQ(r.u32(24), 5u);
    EXPECT_EQ(r.u32(36), 0u);
    EXPECT_EQ(r.u32(48), 1u);
    EXPECT_EQ(r.u32(52), 2u);
    EXPECT_EQ(std::memcmp(r.bytes.data() + 56, m, 20), 0);
    EXPECT_EQ(r.bytes[56], 0x5A);
    EXPECT_EQ(r.bytes[57], 0x2F);
    EXPECT_EQ(r.bytes[58], 0x10);
    EXPECT_EQ(r.bytes[59], 0x01);
    // The wait is enabled with the handle the driver gave the registration.
    auto enables = tap.of(DRV_IOCTL_WAIT_ENABLE);
    ASSERT_EQ(enables.size(), 1u);
    EXPECT_EQ(enables[0].size, 48u);
    EXPECT_NE(enables[0].u32(0), 0u);
    EXPECT_EQ(enables[0].u32(0), c->reg->wait.handle);
    const uint32_t handle = c->reg->wait.handle;
    DriverClose(c);
    // Closing: wait disable, then unregister with the registration's handle.
    auto disables = tap.of(DRV_IOCTL_WAIT_DISABLE);
    auto unregs = tap.of(DRV_IOCTL_EVENT_UNREGISTER);
    ASSERT_EQ(disables.size(), 1u);
    ASSERT_EQ(unregs.size(), 1u);
    EXPECT_EQ(disables[0].u32(0), handle);
    EXPECT_EQ(unregs[0].u32(0), handle);
    EXPECT_EQ(unregs[0].u32(16), 0u);
    EXPECT_EQ(unregs[0].u32(48), 1u);
    EXPECT_EQ(unregs[0].u32(52), 1u);

    tap.clear();
    EventTable attach_only = {&Recorder::on_attach, nullptr, nullptr, &rec};
    ASSERT_EQ(DriverOpen(&c, m, 1, &attach_only, 0), DRV_OK);
    regs = tap.of(DRV_IOCTL_EVENT_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].size, 68u);
    EXPECT_EQ(regs[0].u32(4), 1u);
    EXPECT_EQ(regs[0].u32(24), 0u);
    EXPECT_EQ(regs[0].u32(52), 1u);
    DriverClose(c);
}

TEST_F(DriverLayer, AcceptedAttachIsListedAndRepliedWithBit1) {
    VirtualBus& bus = start_bus();
    Tap tap;
    Recorder rec;
    EventTable table = rec.table();
    MatchEntry m = match(kVendor, 0); // any product of the vendor
    DriverCtx* c = nullptr;
    ASSERT_EQ(DriverOpen(&c, &m, 1, &table, 1), DRV_OK);
    ASSERT_TRUE(bus.wait_connected(3s));

    bus.attach(egret_board(1));
    ASSERT_TRUE(eventually([&] { return !tap.of(DRV_IOCTL_EVENT_REPLY).empty(); }, 3s));
    auto replies = tap.of(DRV_IOCTL_EVENT_REPLY);
    EXPECT_EQ(replies[0].u32(4), DRV_ACTION_ATTACH);
    EXPECT_EQ(replies[0].u32(24) & 3u, 3u);
    EXPECT_EQ(replies[0].u32(36), rec.last_id());
    DeviceCtx* d = nullptr;
    EXPECT_EQ(DeviceListFind(rec.last_id(), &d), DRV_OK);
    EXPECT_EQ(d, rec.last());
    EXPECT_EQ(rec.interface_numbers.back(), 0u);
    EXPECT_EQ(rec.endpoint_counts.back(), 2u);

    // A rejected attach: replied with bit 1 clear and taken off the list.
    rec.set_accept(0);
    BusDevice other = egret_board(2);
    other.product_id = kHeron;
    bus.attach(other);
    ASSERT_TRUE(eventually([&] { return tap.of(DRV_IOCTL_EVENT_REPLY).size() == 2; }, 3s));
    replies = tap.of(DRV_IOCTL_EVENT_REPLY);
    EXPECT_EQ(replies[1].u32(24) & 3u, 1u);
    const uint32_t rejected = replies[1].u32(36);
    EXPECT_NE(rejected, rec.attached_ids.front());
    EXPECT_EQ(DeviceListFind(rejected, &d), DRV_NOT_FOUND);
    EXPECT_EQ(d, nullptr);

    // Its detach calls nothing; the accepted one's detach calls the callback.
    bus.detach(2);
    bus.detach(1);
    ASSERT_TRUE(eventually([&] { return rec.detaches() == 1; }, 3s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.detaches(), 1u);
    EXPECT_EQ(rec.detached[0], rec.attached[0]);
    DriverClose(c);
}

TEST_F(DriverLayer, DispatchOfDetachForUnlistedIdCallsNothing) {
    Recorder rec;
    EventTable table = rec.table(true);
    DriverCtx* c = nullptr;
    ASSERT_EQ(DriverOpen(&c, nullptr, 0, &table, 1), DRV_OK);
    EventRec ev{};
    ev.action = DRV_ACTION_DETACH;
    ev.unique_id = 0x7777;
    EventDispatch(&ev, c);
    ev.action = 64; // a power change for an unlisted device
    EventDispatch(&ev, c);
    ev.action = 3; // no such action
    EventDispatch(&ev, c);
    EXPECT_EQ(rec.detaches(), 0u);
    EXPECT_TRUE(rec.power.empty());
    EXPECT_EQ(ev.options, 0u);
    DriverClose(c);
}

// The connection's own devices only: two connections may list the same unique ID.
TEST_F(DriverLayer, DispatchFindsOnlyTheConnectionsOwnDevice) {
    Tap tap;
    tap.answer([](uint32_t code, void* rec, uint32_t, uint32_t* status) {
        if (code != DRV_IOCTL_DEVICE_INFO)
            return false;
        auto* p = static_cast<ParamsInfo*>(rec);
        if (!p->buffer)
            p->size = sizeof(DeviceInfo);
        else
            std::memset(p->buffer, 0, sizeof(DeviceInfo));
        *status = DRV_OK;
        return true;
    });
    Recorder ra, rb;
    DriverCtx *a = nullptr, *b = nullptr;
    ASSERT_EQ(DriverOpen(&a, nullptr, 0, nullptr, 0), DRV_OK);
    ASSERT_EQ(DriverOpen(&b, nullptr, 0, nullptr, 0), DRV_OK);
    // Callbacks as a registration would have them; no wait thread runs here.
    auto accept_all = [](DeviceCtx* d, DeviceInfo*, void* ctx) -> uint32_t {
        static_cast<Recorder*>(ctx)->attached.push_back(d);
        return 1;
    };
    a->attach = accept_all;
    a->detach = &Recorder::on_detach;
    a->context = &ra;
    b->attach = accept_all;
    b->detach = &Recorder::on_detach;
    b->context = &rb;
    EventRec ev{};
    ev.action = DRV_ACTION_ATTACH;
    ev.unique_id = 42;
    EventDispatch(&ev, a);
    EXPECT_EQ(ev.options, DRV_EVENT_ACCEPT);
    ev.options = 0;
    EventDispatch(&ev, b);
    ASSERT_EQ(ra.attached.size(), 1u);
    ASSERT_EQ(rb.attached.size(), 1u);

    ev.action = DRV_ACTION_DETACH;
    EventDispatch(&ev, a); // b's device is the newer one at the head of the list
    ASSERT_EQ(ra.detached.size(), 1u);
    EXPECT_EQ(ra.detached[0], ra.attached[0]);
    DeviceCtx* d = nullptr;
    EXPECT_EQ(DeviceListFind(42, &d, a), DRV_NOT_FOUND);
    EXPECT_EQ(DeviceListFind(42, &d, b), DRV_OK);
    EXPECT_EQ(d, rb.attached[0]);
    tap.answer(nullptr);
    DriverClose(a);
    DriverClose(b);
}

TEST_F(DriverLayer, HandlerRepliesWhenAskedAndDispatchesOnlyActions) {
    Tap tap;
    HANDLE h = CreateFileA("\\\\.\\WINDRVR6", GENERIC_READ, 3, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Pulled {
        uint32_t action, options;
    };
    Pulled next{0, DRV_EVENT_REPLY_WANTED};
    tap.answer([&](uint32_t code, void* rec, uint32_t, uint32_t* status) {
        if (code == DRV_IOCTL_EVENT_REPLY) {
            *status = DRV_OK;
            return true;
        }
        if (code != DRV_IOCTL_EVENT_PULL)
            return false;
        auto* e = static_cast<EventRec*>(rec);
        e->action = next.action;
        e->options = next.options;
        e->unique_id = 9;
        *status = DRV_OK;
        return true;
    });
    static int dispatched;
    dispatched = 0;
    EventReg reg{};
    reg.handle = h;
    reg.wait.handle = 77;
    reg.dispatch = [](EventRec* e, void*) {
        ++dispatched;
        e->options |= DRV_EVENT_ACCEPT;
    };

    EventHandler(&reg); // action 0, reply wanted
    EXPECT_EQ(dispatched, 0);
    auto pulls = tap.of(DRV_IOCTL_EVENT_PULL);
    ASSERT_EQ(pulls.size(), 1u);
    EXPECT_EQ(pulls[0].u32(0), 77u);
    EXPECT_EQ(pulls[0].u32(48), 1u);
    EXPECT_EQ(pulls[0].u32(52), 1u);
    auto replies = tap.of(DRV_IOCTL_EVENT_REPLY);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].u32(4), 0u);
    EXPECT_EQ(replies[0].u32(24), DRV_EVENT_REPLY_WANTED);

    next = {DRV_ACTION_ATTACH, 0}; // no reply wanted
    EventHandler(&reg);
    EXPECT_EQ(dispatched, 1);
    EXPECT_EQ(tap.of(DRV_IOCTL_EVENT_REPLY).size(), 1u);

    next = {DRV_ACTION_ATTACH, DRV_EVENT_REPLY_WANTED};
    EventHandler(&reg);
    EXPECT_EQ(dispatched, 2);
    replies = tap.of(DRV_IOCTL_EVENT_REPLY);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].u32(24), DRV_EVENT_REPLY_WANTED | DRV_EVENT_ACCEPT);
    EXPECT_EQ(replies[1].u32(36), 9u);
    tap.answer(nullptr);
    CloseHandle(h);
}

TEST_F(DriverLayer, WaitOutcome2WaitsAgainAndOutcome1EndsTheLoop) {
    Tap tap;
    std::mutex m;
    std::vector<uint32_t> script = {2, 2, 0, 2, 5, 1};
    size_t step = 0;
    tap.answer([&](uint32_t code, void* rec, uint32_t, uint32_t* status) {
        if (code != DRV_IOCTL_WAIT)
            return false;
        std::lock_guard<std::mutex> lk(m);
        static_cast<WaitRec*>(rec)->outcome = step < script.size() ? script[step++] : 1;
        *status = DRV_OK;
        return true;
    });
    static std::atomic<int> handled;
    handled = 0;
    WaitRec wait{};
    WaitThread wt{};
    wt.wait = &wait;
    wt.handler = [](void*) { ++handled; };
    std::atomic<bool> done{false};
    std::thread t([&] {
        WaitLoop(&wt);
        done = true;
    });
    bool ended = eventually([&] { return done.load(); }, 5s);
    if (!ended) { // make sure the loop can end before the join
        std::lock_guard<std::mutex> lk(m);
        step = script.size();
    }
    t.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(handled.load(), 2); // outcomes 0 and 5
    EXPECT_EQ(tap.of(DRV_IOCTL_WAIT).size(), 6u);
    tap.answer(nullptr);
}

TEST_F(DriverLayer, TwoConnectionsKeepTheLockUntilTheLastCloses) {
    DriverCtx *a = nullptr, *b = nullptr;
    ASSERT_EQ(DriverOpen(&a, nullptr, 0, nullptr, 0), DRV_OK);
    HANDLE lock = device_list_lock;
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(DriverOpen(&b, nullptr, 0, nullptr, 0), DRV_OK);
    EXPECT_EQ(connection_count, 2);
    EXPECT_EQ(device_list_lock, lock);
    DriverClose(a);
    EXPECT_EQ(connection_count, 1);
    EXPECT_EQ(device_list_lock, lock);
    // Still a working lock: free, and taken by one wait.
    EXPECT_EQ(OsEventWait(device_list_lock, 1), DRV_OK);
    EXPECT_EQ(OsEventSet(device_list_lock), DRV_OK);
    DeviceCtx* d = nullptr;
    EXPECT_EQ(DeviceListFind(1, &d), DRV_NOT_FOUND);
    DriverClose(b);
    EXPECT_EQ(connection_count, 0);
    EXPECT_EQ(device_list_lock, nullptr);
    EXPECT_EQ(WaitForSingleObject(lock, 0), WAIT_FAILED); // closed
}

TEST_F(DriverLayer, ClosingNullOrInvalidChangesNothing) {
    DriverCtx* a = nullptr;
    ASSERT_EQ(DriverOpen(&a, nullptr, 0, nullptr, 0), DRV_OK);
    DriverClose(nullptr);
    DriverClose(invalid_connection());
    EXPECT_EQ(connection_count, 1);
    EXPECT_NE(device_list_lock, nullptr);
    DriverClose(a);
}

class DriverDevice : public UsbTest {
  protected:
    void open_with_board() {
        VirtualBus& bus = start_bus();
        table_ = rec_.table();
        m_ = match(kVendor, kEgret);
        ASSERT_EQ(DriverOpen(&c_, &m_, 1, &table_, 1), DRV_OK);
        bus.attach(egret_board(1));
        ASSERT_TRUE(eventually([&] { return rec_.attaches() == 1; }, 3s));
        // Listed once the reply has gone out.
        ASSERT_TRUE(eventually(
            [&] {
                DeviceCtx* d = nullptr;
                return DeviceListFind(rec_.last_id(), &d) == DRV_OK;
            },
            3s));
        dev_ = rec_.last();
    }
    Recorder rec_;
    EventTable table_{};
    MatchEntry m_{};
    DriverCtx* c_ = nullptr;
    DeviceCtx* dev_ = nullptr;
};

TEST_F(DriverDevice, GetInfoSendsSizeQueryThenFetch) {
    open_with_board();
    Tap tap;
    DeviceInfo* info = nullptr;
    ASSERT_EQ(DeviceGetInfo(dev_, &info), DRV_OK);
    ASSERT_NE(info, nullptr);
    auto reqs = tap.of(DRV_IOCTL_DEVICE_INFO);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].size, sizeof(ParamsInfo));
    auto first = reqs[0].as<ParamsInfo>();
    auto second = reqs[1].as<ParamsInfo>();
    EXPECT_EQ(first.unique_id, rec_.last_id());
    EXPECT_EQ(first.buffer, nullptr);
    EXPECT_EQ(first.size, 0u);
    EXPECT_EQ(second.unique_id, rec_.last_id());
    EXPECT_EQ(second.buffer, info);
    EXPECT_GE(second.size, sizeof(DeviceInfo) + sizeof(InterfaceRec) + sizeof(AltSettingRec) +
                               2 * sizeof(PipeRec));
    // Every address points inside the one block.
    auto* lo = reinterpret_cast<uint8_t*>(info);
    auto inside = [&](const void* p, size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        return b >= lo && b + n <= lo + second.size;
    };
    ASSERT_TRUE(inside(info->iface, sizeof(InterfaceRec)));
    ASSERT_TRUE(inside(info->iface->alt, sizeof(AltSettingRec)));
    const AltSettingRec* alt = info->iface->alt;
    EXPECT_EQ(alt->descriptor[0], 9);
    EXPECT_EQ(alt->descriptor[1], 4);
    EXPECT_EQ(alt->descriptor[2], 0);
    ASSERT_EQ(alt->descriptor[4], 2);
    ASSERT_TRUE(inside(alt->pipes, 2 * sizeof(PipeRec)));
    EXPECT_EQ(alt->pipes[0].pipe_number, 0x01u);
    EXPECT_EQ(alt->pipes[1].pipe_number, 0x82u);
    EXPECT_EQ(alt->pipes[1].type, 2u);
    EXPECT_EQ(alt->pipes[1].max_packet, 512u);
    std::free(info);
    DriverClose(c_);
}

TEST_F(DriverDevice, TransferGivesTheByteCountAlsoOnFailure) {
    open_with_board();
    // The bus takes the first 64 KiB message and stalls the second.
    bus_->set_out_policy(0, 0, 1);
    std::vector<uint8_t> data(70000, 0x5A);
    uint32_t moved = 1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DeviceTransfer(dev_, 0x01, 0, 0, data.data(), 70000, &moved, nullptr, 300),
              DRV_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
    EXPECT_EQ(moved, 65536u);

    // The record the driver gets, and the count it writes, pass through unchanged.
    Tap tap;
    tap.answer([](uint32_t code, void* rec, uint32_t, uint32_t* status) {
        if (code != DRV_IOCTL_TRANSFER)
            return false;
        static_cast<ParamsTransfer*>(rec)->dwBytesTransferred = 7;
        *status = 0x20000013;
        return true;
    });
    const uint8_t setup[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t in[16];
    EXPECT_EQ(DeviceTransfer(dev_, 0x82, 1, 0, in, sizeof in, &moved, setup, 1234), 0x20000013u);
    EXPECT_EQ(moved, 7u);
    auto reqs = tap.of(DRV_IOCTL_TRANSFER);
    ASSERT_EQ(reqs.size(), 1u);
    auto p = reqs[0].as<ParamsTransfer>();
    EXPECT_EQ(reqs[0].size, sizeof(ParamsTransfer));
    EXPECT_EQ(p.unique_id, rec_.last_id());
    EXPECT_EQ(p.pipe, 0x82u);
    EXPECT_EQ(p.direction, 1u);
    EXPECT_EQ(p.buffer, in);
    EXPECT_EQ(p.size, 16u);
    EXPECT_EQ(p.timeout_ms, 1234u);
    EXPECT_EQ(std::memcmp(p.SetupPacket, setup, 8), 0);
    tap.answer(nullptr);
    DriverClose(c_);
}

TEST_F(DriverDevice, SetInterfaceSendsIdInterfaceAndAlternate) {
    open_with_board();
    Tap tap;
    EXPECT_EQ(DeviceSetInterface(dev_, 0, 0), DRV_OK);
    auto reqs = tap.of(DRV_IOCTL_SET_INTERFACE);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].size, 16u);
    EXPECT_EQ(reqs[0].u32(0), rec_.last_id());
    ASSERT_EQ(bus_->sets().size(), 1u);
    EXPECT_EQ(bus_->sets()[0].device, 1u);
    // A failure the bus reports is the request's status.
    bus_->set_interface_status(0x20000013);
    EXPECT_EQ(DeviceSetInterface(dev_, 0, 1), 0x20000013u);
    EXPECT_EQ(bus_->sets().back().alternate_setting, 1);
    DriverClose(c_);
}

TEST_F(DriverDevice, ClosedConnectionsDeviceIsNotFoundWithoutARequest) {
    open_with_board();
    DriverCtx* other = nullptr;
    ASSERT_EQ(DriverOpen(&other, nullptr, 0, nullptr, 0), DRV_OK); // keeps the lock alive
    DriverClose(c_);
    Tap tap;
    DeviceInfo* info = reinterpret_cast<DeviceInfo*>(1);
    uint8_t buf[4] = {};
    uint32_t moved = 99;
    EXPECT_EQ(DeviceGetInfo(dev_, &info), DRV_NOT_FOUND);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(DeviceSetInterface(dev_, 0, 0), DRV_NOT_FOUND);
    EXPECT_EQ(DeviceTransfer(dev_, 1, 0, 0, buf, 4, &moved, nullptr, 50), DRV_NOT_FOUND);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(DeviceGetInfo(nullptr, &info), DRV_NOT_FOUND);
    DriverClose(other);
    // With no connection at all there is no lock either.
    EXPECT_EQ(DeviceSetInterface(dev_, 0, 0), DRV_NOT_FOUND);
    EXPECT_EQ(tap.total(), 0u);
}

// A device operation racing the device's detach and re-attach on the wait thread.
TEST_F(DriverDevice, OperationsRacingDetachStaySafe) {
    open_with_board();
    std::atomic<bool> churned{false};
    std::thread churn([&] {
        for (int i = 0; i < 100; ++i) {
            bus_->detach(1);
            std::this_thread::sleep_for(1ms);
            bus_->attach(egret_board(1));
            std::this_thread::sleep_for(2ms);
        }
        churned = true;
    });
    uint8_t buf[8] = {};
    int ok = 0, gone = 0;
    auto end = std::chrono::steady_clock::now() + 10s;
    while (!churned && std::chrono::steady_clock::now() < end) {
        DeviceCtx* d = rec_.last(); // may have been freed by a detach meanwhile
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
    EXPECT_TRUE(churned);
    EXPECT_GT(ok, 0);
    EXPECT_GT(gone, 0);
    DriverClose(c_);
}

TEST(DriverOs, EventWaitTimesOutAndEventsAutoReset) {
    HANDLE ev = nullptr;
    ASSERT_EQ(OsEventCreate(&ev), DRV_OK);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(OsEventWait(ev, 1), DRV_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 990ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(OsEventSet(ev), DRV_OK);
    EXPECT_EQ(OsEventWait(ev, 1), DRV_OK);
    EXPECT_EQ(OsEventWait(ev, 0), DRV_TIMEOUT); // auto-reset
    OsEventClose(ev);
    OsEventClose(nullptr);
    EXPECT_EQ(OsEventWait(ev, 0), DRV_SYSTEM_ERROR);
    EXPECT_EQ(OsEventSet(ev), DRV_SYSTEM_ERROR);
}

TEST(DriverOs, ThreadStartRunsTheFunctionAndJoinWaits) {
    static std::atomic<int> value;
    value = 0;
    HANDLE t = nullptr;
    int arg = 41;
    ASSERT_EQ(ThreadStart(
                  &t,
                  [](void* a) {
                      std::this_thread::sleep_for(50ms);
                      value = *static_cast<int*>(a) + 1;
                  },
                  &arg),
              DRV_OK);
    ASSERT_NE(t, nullptr);
    ThreadJoin(t);
    EXPECT_EQ(value.load(), 42);
}

} // namespace
