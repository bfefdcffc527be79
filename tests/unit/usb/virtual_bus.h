// A minimal virtual USB bus for tests: the bus side of the `usb` socket, written from the
// bus protocol alone. It serves one driver connection at a time, sends attach, detach and
// IN data, answers set interface and OUT data (or delays or withholds the answer), and
// records what the driver sent.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace usbtest {

struct BusEndpoint {
    uint8_t address;
    uint8_t attributes; // 2 bulk
    uint16_t max_packet;
};

struct BusDevice {
    uint32_t number = 1;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint8_t interface_number = 0;
    uint8_t alternate_setting = 0;
    std::vector<BusEndpoint> endpoints = {{0x01, 2, 512}, {0x82, 2, 512}};
};

struct SetRequest {
    uint32_t seq;
    uint32_t device;
    uint8_t interface_number;
    uint8_t alternate_setting;
};

struct OutRequest {
    uint32_t seq;
    uint32_t device;
    uint8_t endpoint;
    std::vector<uint8_t> data;
};

class VirtualBus {
  public:
    // Binds <dir>/usb and starts serving.
    explicit VirtualBus(const std::string& dir);
    ~VirtualBus();
    VirtualBus(const VirtualBus&) = delete;
    VirtualBus& operator=(const VirtualBus&) = delete;

    // The device is present from now on; 'A' goes out when a driver is connected, and
    // again to every driver that connects later.
    void attach(const BusDevice& dev);
    void detach(uint32_t number);
    // 'I' messages, at most 64 KiB each.
    void send_in(uint32_t number, uint8_t endpoint, const std::vector<uint8_t>& data);
    void send_raw(const std::vector<uint8_t>& msg);
    // Closes the driver's connection (the listening socket stays).
    void drop_connection();

    bool connected();
    bool wait_connected(std::chrono::milliseconds timeout);
    int connections_accepted() const { return accepted_.load(); }

    // Answers: status of every 'S' answer; OUT answers go out after delay_ms, with status
    // out_status; after answer_outs answers the rest are withheld (kept for answer_withheld).
    void set_interface_status(uint32_t status);
    void set_out_policy(uint32_t out_status, uint32_t delay_ms, int answer_outs = -1);
    // Answers the withheld OUT messages now.
    void answer_withheld(uint32_t status);

    std::vector<SetRequest> sets();
    std::vector<OutRequest> outs();
    // All OUT bytes for a device and endpoint, in order.
    std::vector<uint8_t> out_bytes(uint32_t device, uint8_t endpoint);
    int garbage_received() const { return garbage_.load(); }

  private:
    void serve();
    void on_message(const uint8_t* p, size_t n);
    void send_locked(const std::vector<uint8_t>& msg);
    void reply_locked(uint32_t seq, uint32_t status, uint32_t accepted);

    std::string path_;
    int listen_fd_ = -1;
    int conn_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::mutex m_;
    std::map<uint32_t, BusDevice> devices_;
    std::vector<SetRequest> sets_;
    std::vector<OutRequest> outs_;
    std::vector<OutRequest> withheld_;
    uint32_t set_status_ = 0;
    uint32_t out_status_ = 0;
    uint32_t out_delay_ms_ = 0;
    int out_answers_left_ = -1;
    std::atomic<int> accepted_{0};
    std::atomic<int> garbage_{0};
    std::thread thread_;
};

} // namespace usbtest
