// A minimal virtual HID device for tests: the device side of the hid-<name> socket
// protocol, written apart from the host code so that a fault there is not mirrored here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vhid {

using Bytes = std::vector<uint8_t>;

class VirtualHid {
  public:
    // Binds <dir>/hid-<name> and serves it until destroyed.
    VirtualHid(const std::string& dir, const std::string& name, uint16_t vid, uint16_t pid,
               uint16_t in_len = 65, uint16_t out_len = 65);
    ~VirtualHid();
    VirtualHid(const VirtualHid&) = delete;
    VirtualHid& operator=(const VirtualHid&) = delete;

    const std::string& path() const { return path_; }

    // The hello that new connections get (default: 'H' and the constructor's numbers);
    // empty: none. Connections from the n-th on (counted from 0) get bad_hello instead.
    void set_hello(const Bytes& hello);
    void bad_hello_from(size_t n, const Bytes& bad_hello);
    // Output reports with a running index (over all connections) of n or more are not
    // acknowledged; ack_all() acknowledges everything withheld and ends withholding.
    void withhold_acks_from(size_t n);
    void ack_all();
    // While paused the device reads nothing, so the host's socket fills up.
    void pause_reading(bool paused);
    // Vanish as soon as n output reports have arrived in all (0: never).
    void vanish_after(size_t n);

    // 'I' + report to every open connection.
    void send_input(const Bytes& report);
    // Any datagram to every open connection.
    void send_raw(const Bytes& msg);

    // Unlink the socket and close every connection; come_back() binds it again.
    void vanish();
    void come_back();

    // The output reports received so far (without the 'O'), in arrival order.
    std::vector<Bytes> reports() const;
    size_t accepted() const;
    size_t open_connections() const;
    bool wait_reports(size_t n, std::chrono::milliseconds timeout) const;

  private:
    struct Conn {
        int fd;
        size_t unacked;
    };

    void run();
    void call(std::function<void()> job);
    void bind_socket();
    void drop_all();
    void broadcast(const Bytes& msg);
    void on_readable(size_t i);

    std::string path_;
    Bytes hello_;
    Bytes bad_hello_;
    size_t bad_hello_from_ = std::numeric_limits<size_t>::max();
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::vector<Conn> conns_; // helper thread only

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    size_t jobs_done_ = 0;
    size_t jobs_posted_ = 0;
    bool stop_ = false;
    std::vector<Bytes> reports_;
    size_t ack_limit_ = std::numeric_limits<size_t>::max();
    size_t vanish_after_ = 0;
    bool paused_ = false; // helper thread only
    size_t accepted_ = 0;
    size_t open_ = 0;
    std::thread thread_;
};

} // namespace vhid
