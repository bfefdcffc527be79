#include "tests/unit/hid/virtual_hid.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace vhid {

namespace {

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

bool send_msg(int fd, const Bytes& msg) {
    return ::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(msg.size());
}

} // namespace

VirtualHid::VirtualHid(const std::string& dir, const std::string& name, uint16_t vid, uint16_t pid,
                       uint16_t in_len, uint16_t out_len)
    : path_(dir + "/hid-" + name) {
    hello_ = {'H'};
    put16(hello_, vid);
    put16(hello_, pid);
    put16(hello_, in_len);
    put16(hello_, out_len);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("pipe2");
    bind_socket();
    thread_ = std::thread([this] { run(); });
}

VirtualHid::~VirtualHid() {
    {
        std::lock_guard<std::mutex> lk(m_);
        stop_ = true;
    }
    char b = 0;
    [[maybe_unused]] ssize_t rc = ::write(wake_[1], &b, 1);
    thread_.join();
    drop_all();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void VirtualHid::bind_socket() {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || path_.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket");
    std::memcpy(addr.sun_path, path_.c_str(), path_.size());
    ::unlink(path_.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0)
        throw std::runtime_error("bind " + path_);
    listen_fd_ = fd;
}

void VirtualHid::drop_all() {
    if (listen_fd_ >= 0) {
        ::unlink(path_.c_str());
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
    for (auto& c : conns_)
        ::close(c.fd);
    conns_.clear();
    std::lock_guard<std::mutex> lk(m_);
    open_ = 0;
}

void VirtualHid::broadcast(const Bytes& msg) {
    for (size_t i = 0; i < conns_.size();) {
        if (send_msg(conns_[i].fd, msg)) {
            ++i;
            continue;
        }
        ::close(conns_[i].fd);
        conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(i));
        std::lock_guard<std::mutex> lk(m_);
        open_ = conns_.size();
    }
}

// Runs job on the helper thread, which owns every socket, and waits for it (bounded).
void VirtualHid::call(std::function<void()> job) {
    std::unique_lock<std::mutex> lk(m_);
    jobs_.push_back(std::move(job));
    const size_t ticket = ++jobs_posted_;
    char b = 1;
    [[maybe_unused]] ssize_t rc = ::write(wake_[1], &b, 1);
    if (!cv_.wait_for(lk, std::chrono::seconds(5), [&] { return jobs_done_ >= ticket; }))
        throw std::runtime_error("virtual HID device does not respond");
}

void VirtualHid::set_hello(const Bytes& hello) {
    call([this, hello] { hello_ = hello; });
}

void VirtualHid::bad_hello_from(size_t n, const Bytes& bad_hello) {
    call([this, n, bad_hello] {
        bad_hello_from_ = n;
        bad_hello_ = bad_hello;
    });
}

void VirtualHid::withhold_acks_from(size_t n) {
    std::lock_guard<std::mutex> lk(m_);
    ack_limit_ = n;
}

void VirtualHid::ack_all() {
    call([this] {
        {
            std::lock_guard<std::mutex> lk(m_);
            ack_limit_ = std::numeric_limits<size_t>::max();
        }
        for (auto& c : conns_) {
            for (; c.unacked > 0; --c.unacked)
                send_msg(c.fd, Bytes{'A'});
        }
    });
}

void VirtualHid::pause_reading(bool paused) {
    call([this, paused] { paused_ = paused; });
}

void VirtualHid::vanish_after(size_t n) {
    std::lock_guard<std::mutex> lk(m_);
    vanish_after_ = n;
}

void VirtualHid::send_input(const Bytes& report) {
    Bytes msg{'I'};
    msg.insert(msg.end(), report.begin(), report.end());
    send_raw(msg);
}

void VirtualHid::send_raw(const Bytes& msg) {
    call([this, msg] { broadcast(msg); });
}

void VirtualHid::vanish() {
    call([this] { drop_all(); });
}

void VirtualHid::come_back() {
    call([this] {
        if (listen_fd_ < 0)
            bind_socket();
    });
}

std::vector<Bytes> VirtualHid::reports() const {
    std::lock_guard<std::mutex> lk(m_);
    return reports_;
}

size_t VirtualHid::accepted() const {
    std::lock_guard<std::mutex> lk(m_);
    return accepted_;
}

size_t VirtualHid::open_connections() const {
    std::lock_guard<std::mutex> lk(m_);
    return open_;
}

bool VirtualHid::wait_reports(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, timeout, [&] { return reports_.size() >= n; });
}

void VirtualHid::on_readable(size_t i) {
    Bytes buf(70000);
    ssize_t n = ::recv(conns_[i].fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        ::close(conns_[i].fd);
        conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(i));
        std::lock_guard<std::mutex> lk(m_);
        open_ = conns_.size();
        return;
    }
    if (buf[0] != 'O')
        return;
    bool ack = false;
    bool vanish = false;
    {
        std::lock_guard<std::mutex> lk(m_);
        reports_.emplace_back(buf.begin() + 1, buf.begin() + n);
        ack = reports_.size() - 1 < ack_limit_;
        vanish = vanish_after_ != 0 && reports_.size() >= vanish_after_;
    }
    cv_.notify_all();
    if (vanish) {
        drop_all();
        return;
    }
    if (ack)
        send_msg(conns_[i].fd, Bytes{'A'});
    else
        ++conns_[i].unacked;
}

void VirtualHid::run() {
    for (;;) {
        std::vector<pollfd> pf;
        pf.push_back({wake_[0], POLLIN, 0});
        pf.push_back({listen_fd_, POLLIN, 0});
        for (auto& c : conns_)
            pf.push_back({c.fd, short(paused_ ? 0 : POLLIN), 0});
        if (::poll(pf.data(), pf.size(), -1) < 0)
            continue;
        if (pf[0].revents) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
            std::deque<std::function<void()>> jobs;
            {
                std::lock_guard<std::mutex> lk(m_);
                if (stop_)
                    return;
                jobs.swap(jobs_);
            }
            for (auto& job : jobs) {
                job();
                std::lock_guard<std::mutex> lk(m_);
                ++jobs_done_;
            }
            cv_.notify_all();
            continue; // the sockets may have changed
        }
        if (listen_fd_ >= 0 && (pf[1].revents & POLLIN)) {
            int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard<std::mutex> lk(m_);
                const Bytes& hello = accepted_ >= bad_hello_from_ ? bad_hello_ : hello_;
                if (!hello.empty())
                    send_msg(fd, hello);
                conns_.push_back({fd, 0});
                ++accepted_;
                open_ = conns_.size();
            }
            continue;
        }
        for (size_t i = 0; i < conns_.size(); ++i) {
            if (pf[i + 2].revents) {
                on_readable(i);
                break; // the connection list may have changed
            }
        }
    }
}

} // namespace vhid
