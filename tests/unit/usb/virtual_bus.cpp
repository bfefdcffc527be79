#include "tests/unit/usb/virtual_bus.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace usbtest {
namespace {

void le32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void le16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
uint32_t rd32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::vector<uint8_t> attach_msg(const BusDevice& d) {
    std::vector<uint8_t> m = {'A'};
    le32(m, d.number);
    le16(m, d.vendor_id);
    le16(m, d.product_id);
    m.push_back(d.interface_number);
    m.push_back(d.alternate_setting);
    m.push_back(static_cast<uint8_t>(d.endpoints.size()));
    for (const BusEndpoint& e : d.endpoints) {
        m.push_back(e.address);
        m.push_back(e.attributes);
        le16(m, e.max_packet);
    }
    return m;
}

} // namespace

VirtualBus::VirtualBus(const std::string& dir) : path_(dir + "/usb") {
    listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (listen_fd_ < 0 || path_.size() >= sizeof addr.sun_path)
        throw std::runtime_error("virtual bus: no socket");
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    ::unlink(path_.c_str());
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 4) != 0 || ::pipe(stop_pipe_) != 0)
        throw std::runtime_error("virtual bus: cannot listen on " + path_);
    thread_ = std::thread([this] { serve(); });
}

VirtualBus::~VirtualBus() {
    (void)!::write(stop_pipe_[1], "x", 1);
    thread_.join();
    ::unlink(path_.c_str());
    if (conn_fd_ >= 0)
        ::close(conn_fd_);
    ::close(listen_fd_);
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
}

void VirtualBus::send_locked(const std::vector<uint8_t>& msg) {
    if (conn_fd_ >= 0)
        (void)::send(conn_fd_, msg.data(), msg.size(), MSG_NOSIGNAL);
}

void VirtualBus::reply_locked(uint32_t seq, uint32_t status, uint32_t accepted) {
    std::vector<uint8_t> m = {'R'};
    le32(m, seq);
    le32(m, status);
    le32(m, accepted);
    send_locked(m);
}

void VirtualBus::attach(const BusDevice& dev) {
    std::lock_guard<std::mutex> lk(m_);
    devices_[dev.number] = dev;
    send_locked(attach_msg(dev));
}

void VirtualBus::detach(uint32_t number) {
    std::lock_guard<std::mutex> lk(m_);
    devices_.erase(number);
    std::vector<uint8_t> m = {'D'};
    le32(m, number);
    send_locked(m);
}

void VirtualBus::send_in(uint32_t number, uint8_t endpoint, const std::vector<uint8_t>& data) {
    std::lock_guard<std::mutex> lk(m_);
    size_t off = 0;
    do {
        size_t n = std::min<size_t>(data.size() - off, 64 * 1024);
        std::vector<uint8_t> m = {'I'};
        le32(m, number);
        m.push_back(endpoint);
        m.insert(m.end(), data.begin() + static_cast<long>(off),
                 data.begin() + static_cast<long>(off + n));
        send_locked(m);
        off += n;
    } while (off < data.size());
}

void VirtualBus::send_raw(const std::vector<uint8_t>& msg) {
    std::lock_guard<std::mutex> lk(m_);
    send_locked(msg);
}

void VirtualBus::drop_connection() {
    std::lock_guard<std::mutex> lk(m_);
    if (conn_fd_ >= 0) {
        ::shutdown(conn_fd_, SHUT_RDWR);
    }
}

bool VirtualBus::connected() {
    std::lock_guard<std::mutex> lk(m_);
    return conn_fd_ >= 0;
}

bool VirtualBus::wait_connected(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!connected()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void VirtualBus::set_interface_status(uint32_t status) {
    std::lock_guard<std::mutex> lk(m_);
    set_status_ = status;
}

void VirtualBus::set_out_policy(uint32_t out_status, uint32_t delay_ms, int answer_outs) {
    std::lock_guard<std::mutex> lk(m_);
    out_status_ = out_status;
    out_delay_ms_ = delay_ms;
    out_answers_left_ = answer_outs;
}

void VirtualBus::answer_withheld(uint32_t status) {
    std::lock_guard<std::mutex> lk(m_);
    for (const OutRequest& o : withheld_)
        reply_locked(o.seq, status, static_cast<uint32_t>(o.data.size()));
    withheld_.clear();
}

std::vector<SetRequest> VirtualBus::sets() {
    std::lock_guard<std::mutex> lk(m_);
    return sets_;
}

std::vector<OutRequest> VirtualBus::outs() {
    std::lock_guard<std::mutex> lk(m_);
    return outs_;
}

std::vector<uint8_t> VirtualBus::out_bytes(uint32_t device, uint8_t endpoint) {
    std::lock_guard<std::mutex> lk(m_);
    std::vector<uint8_t> all;
    for (const OutRequest& o : outs_) {
        if (o.device == device && o.endpoint == endpoint)
            all.insert(all.end(), o.data.begin(), o.data.end());
    }
    return all;
}

void VirtualBus::on_message(const uint8_t* p, size_t n) {
    uint32_t delay = 0;
    {
        std::lock_guard<std::mutex> lk(m_);
        delay = out_delay_ms_;
    }
    if (n >= 10 && p[0] == 'O' && delay)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    std::lock_guard<std::mutex> lk(m_);
    if (n == 11 && p[0] == 'S') {
        SetRequest s{rd32(p + 1), rd32(p + 5), p[9], p[10]};
        sets_.push_back(s);
        reply_locked(s.seq, set_status_, 0);
    } else if (n >= 10 && p[0] == 'O') {
        OutRequest o{rd32(p + 1), rd32(p + 5), p[9], std::vector<uint8_t>(p + 10, p + n)};
        outs_.push_back(o);
        if (out_answers_left_ == 0) {
            withheld_.push_back(o);
            return;
        }
        if (out_answers_left_ > 0)
            --out_answers_left_;
        reply_locked(o.seq, out_status_, static_cast<uint32_t>(o.data.size()));
    } else {
        ++garbage_;
    }
}

void VirtualBus::serve() {
    std::vector<uint8_t> buf(70 * 1024);
    for (;;) {
        int conn;
        {
            std::lock_guard<std::mutex> lk(m_);
            conn = conn_fd_;
        }
        pollfd fds[3] = {{stop_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}, {conn, POLLIN, 0}};
        if (::poll(fds, conn >= 0 ? 3 : 2, 200) < 0)
            continue;
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                std::lock_guard<std::mutex> lk(m_);
                if (conn_fd_ >= 0)
                    ::close(conn_fd_);
                conn_fd_ = c;
                ++accepted_;
                for (const auto& [n, d] : devices_)
                    send_locked(attach_msg(d));
            }
            continue;
        }
        if (conn >= 0 && fds[2].revents) {
            ssize_t got = ::recv(conn, buf.data(), buf.size(), MSG_DONTWAIT);
            if (got > 0) {
                on_message(buf.data(), static_cast<size_t>(got));
            } else if (got == 0 || (fds[2].revents & (POLLHUP | POLLERR))) {
                std::lock_guard<std::mutex> lk(m_);
                if (conn_fd_ == conn) {
                    ::close(conn_fd_);
                    conn_fd_ = -1;
                    withheld_.clear();
                }
            }
        }
    }
}

} // namespace usbtest
