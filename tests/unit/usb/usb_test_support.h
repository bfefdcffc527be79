// Shared pieces of the USB tests: a fresh device directory per test, a tap on the
// stand-in driver's requests, and a recorder for the driver layer's callbacks.
#pragma once

#include "platform/posix/usbdriver.h"
#include "tests/support/process.h"
#include "tests/unit/usb/virtual_bus.h"
#include "transport/usbdriver/usbdriver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace usbtest {

using namespace std::chrono_literals;

constexpr uint16_t kVendor = 0x2F5A;
constexpr uint16_t kEgret = 0x0110;
constexpr uint16_t kHeron = 0x0111;

inline BusDevice egret_board(uint32_t number = 1) {
    BusDevice d;
    d.number = number;
    d.vendor_id = kVendor;
    d.product_id = kEgret;
    return d;
}

// Every request the stand-in driver gets, with a copy of its record as it arrived.
// An answer function may serve a request in the driver's place.
class Tap {
  public:
    struct Request {
        uint32_t code;
        uint32_t size;
        std::vector<uint8_t> bytes;
        template <class T> T as() const {
            T t{};
            std::memcpy(&t, bytes.data(), std::min(sizeof t, bytes.size()));
            return t;
        }
        uint32_t u32(size_t off) const {
            uint32_t v = 0;
            if (off + 4 <= bytes.size())
                std::memcpy(&v, bytes.data() + off, 4);
            return v;
        }
    };
    using Answer = std::function<bool(uint32_t code, void* rec, uint32_t size, uint32_t* status)>;

    Tap() { posix::driver_set_tap(&Tap::hook, this); }
    ~Tap() { posix::driver_set_tap(nullptr, nullptr); }

    void answer(Answer a) {
        std::lock_guard<std::mutex> lk(m_);
        answer_ = std::move(a);
    }
    std::vector<Request> of(uint32_t code) {
        std::lock_guard<std::mutex> lk(m_);
        std::vector<Request> r;
        for (const Request& q : log_) {
            if (q.code == code)
                r.push_back(q);
        }
        return r;
    }
    size_t total() {
        std::lock_guard<std::mutex> lk(m_);
        return log_.size();
    }
    void clear() {
        std::lock_guard<std::mutex> lk(m_);
        log_.clear();
    }

  private:
    static bool hook(void* ctx, uint32_t code, void* rec, uint32_t size, uint32_t* status) {
        auto* self = static_cast<Tap*>(ctx);
        Answer a;
        {
            std::lock_guard<std::mutex> lk(self->m_);
            Request q{code, size, {}};
            if (rec)
                q.bytes.assign(static_cast<uint8_t*>(rec), static_cast<uint8_t*>(rec) + size);
            self->log_.push_back(std::move(q));
            a = self->answer_;
        }
        return a && a(code, rec, size, status);
    }
    std::mutex m_;
    std::vector<Request> log_;
    Answer answer_;
};

// The driver layer's callbacks, recorded.
struct Recorder {
    std::mutex m;
    uint32_t accept = 1;
    std::vector<DeviceCtx*> attached;
    std::vector<uint32_t> attached_ids;
    std::vector<uint32_t> interface_numbers;
    std::vector<uint32_t> endpoint_counts;
    std::vector<DeviceCtx*> detached;
    std::vector<uint32_t> power;

    static uint32_t on_attach(DeviceCtx* d, DeviceInfo* info, void* ctx) {
        auto* r = static_cast<Recorder*>(ctx);
        std::lock_guard<std::mutex> lk(r->m);
        r->attached.push_back(d);
        r->attached_ids.push_back(d->unique_id);
        r->interface_numbers.push_back(info->iface->alt->descriptor[2]);
        r->endpoint_counts.push_back(info->iface->alt->descriptor[4]);
        return r->accept;
    }
    static uint32_t on_detach(DeviceCtx* d, void* ctx) {
        auto* r = static_cast<Recorder*>(ctx);
        std::lock_guard<std::mutex> lk(r->m);
        r->detached.push_back(d);
        return 0;
    }
    static uint32_t on_power(DeviceCtx*, uint32_t action, void* ctx) {
        auto* r = static_cast<Recorder*>(ctx);
        std::lock_guard<std::mutex> lk(r->m);
        r->power.push_back(action);
        return 0;
    }
    EventTable table(bool with_power = false) {
        return {&Recorder::on_attach, &Recorder::on_detach,
                with_power ? &Recorder::on_power : nullptr, this};
    }
    size_t attaches() {
        std::lock_guard<std::mutex> lk(m);
        return attached.size();
    }
    size_t detaches() {
        std::lock_guard<std::mutex> lk(m);
        return detached.size();
    }
    DeviceCtx* last() {
        std::lock_guard<std::mutex> lk(m);
        return attached.empty() ? nullptr : attached.back();
    }
    uint32_t last_id() {
        std::lock_guard<std::mutex> lk(m);
        return attached_ids.empty() ? 0 : attached_ids.back();
    }
    void set_accept(uint32_t a) {
        std::lock_guard<std::mutex> lk(m);
        accept = a;
    }
};

inline MatchEntry match(uint16_t vendor, uint16_t product) {
    MatchEntry e{};
    e.vendor_id = vendor;
    e.product_id = product;
    return e;
}

inline DriverCtx* invalid_connection() {
    return reinterpret_cast<DriverCtx*>(DRV_INVALID_CONNECTION);
}

// Each test gets its own device directory; nothing of the driver layer may outlive it.
class UsbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("LARKSPUR_DEVICES", dir_.path().c_str(), 1);
        unsetenv("LARKSPUR_DRIVER_VERSION");
    }
    void TearDown() override {
        EXPECT_EQ(connection_count, 0);
        EXPECT_EQ(device_list_lock, nullptr);
        EXPECT_EQ(posix::driver_open_handles(), 0);
        EXPECT_EQ(posix::driver_registrations(), 0);
    }
    VirtualBus& start_bus() {
        bus_ = std::make_unique<VirtualBus>(dir_.path());
        return *bus_;
    }
    void stop_bus() { bus_.reset(); }

    testsupport::TempDir dir_;
    std::unique_ptr<VirtualBus> bus_;
};

} // namespace usbtest
