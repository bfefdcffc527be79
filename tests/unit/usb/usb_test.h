// What the USB tests share: the board's bus in a private device directory, a tap on the
// stand-in driver's requests, and the board's attach as the bus sends it, so a test can
// detach and attach the device by itself.
#pragma once

#include "platform/posix/usbdriver.h"
#include "tests/unit/usb/board.h"
#include "transport/usbdriver/usbdriver.h"

#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

namespace usbtest {

using Bytes = std::vector<uint8_t>;

// Every request the stand-in driver gets, with its record as it arrived. An answer
// function may serve a request in the driver's place.
struct Tap {
    struct Request {
        uint32_t code;
        Bytes b;
        uint32_t u32(size_t off) const {
            uint32_t v = 0;
            if (off + 4 <= b.size())
                std::memcpy(&v, b.data() + off, 4);
            return v;
        }
        template <class T> T as() const {
            T t{};
            std::memcpy(&t, b.data(), std::min(sizeof t, b.size()));
            return t;
        }
    };
    std::mutex m;
    std::vector<Request> log;
    std::function<bool(uint32_t code, void* rec, uint32_t* status)> answer;

    Tap() { posix::driver_set_tap(&hook, this); }
    ~Tap() { posix::driver_set_tap(nullptr, nullptr); }
    static bool hook(void* ctx, uint32_t code, void* rec, uint32_t size, uint32_t* status) {
        auto* t = static_cast<Tap*>(ctx);
        std::lock_guard<std::mutex> lk(t->m);
        auto* p = static_cast<uint8_t*>(rec);
        t->log.push_back({code, p ? Bytes(p, p + size) : Bytes{}});
        return t->answer && t->answer(code, rec, status);
    }
    std::vector<Request> of(uint32_t code) {
        std::lock_guard<std::mutex> lk(m);
        std::vector<Request> r;
        for (const Request& q : log)
            if (q.code == code)
                r.push_back(q);
        return r;
    }
    void clear() {
        std::lock_guard<std::mutex> lk(m);
        log.clear();
    }
    size_t size() {
        std::lock_guard<std::mutex> lk(m);
        return log.size();
    }
    void set_answer(std::function<bool(uint32_t, void*, uint32_t*)> a) {
        std::lock_guard<std::mutex> lk(m);
        answer = std::move(a);
    }
};

// egret's boot ROM device as the board attaches it: bus number 1, bulk OUT 0x01, IN 0x82.
inline Bytes attach_msg(uint32_t number = 1, uint16_t product = 0x0110) {
    return {'A',
            uint8_t(number),
            0,
            0,
            0,
            0x5A,
            0x2F,
            uint8_t(product),
            uint8_t(product >> 8),
            0,
            0,
            2,
            0x01,
            2,
            0,
            2,
            0x82,
            2,
            0,
            2};
}
inline void bus_says(const Bytes& m) {
    posix::driver_bus_message(m.data(), m.size());
}
inline Bytes detach_msg(uint32_t number = 1) {
    return {'D', uint8_t(number), 0, 0, 0};
}
inline Bytes in_msg(const Bytes& data, uint32_t number = 1) {
    Bytes m = {'I', uint8_t(number), 0, 0, 0, 0x82};
    m.insert(m.end(), data.begin(), data.end());
    return m;
}

} // namespace usbtest
