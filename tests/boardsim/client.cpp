#include "tests/boardsim/client.h"

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace bt {
namespace {

using Clock = std::chrono::steady_clock;

int left_ms(Clock::time_point end) {
    auto l = std::chrono::duration_cast<ms>(end - Clock::now()).count();
    return l < 0 ? 0 : int(l);
}

} // namespace

std::string board_exe() {
    return LARKSPUR_BOARD_EXE;
}

testsupport::RunOptions opts(std::map<std::string, std::string> env, ms timeout) {
    testsupport::RunOptions o;
    o.env = std::move(env);
    o.timeout = timeout;
    return o;
}

BoardProc::BoardProc(std::vector<std::string> args, std::map<std::string, std::string> env) {
    args.insert(args.begin(), board_exe());
    testsupport::RunOptions opt;
    env.emplace("LARKSPUR_DEVICES", dir.path());
    opt.env = env;
    proc = std::make_unique<testsupport::Background>(args, opt);
}

size_t BoardProc::count(const std::string& text) const {
    std::string l = log();
    size_t n = 0;
    for (size_t pos = l.find(text); pos != std::string::npos; pos = l.find(text, pos + 1))
        ++n;
    return n;
}

bool BoardProc::wait_count(const std::string& text, size_t n, ms timeout) const {
    return testsupport::eventually([&] { return count(text) >= n; }, timeout);
}

std::vector<std::string> BoardProc::lines(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& l : testsupport::lines(log()))
        if (l.rfind(prefix, 0) == 0)
            out.push_back(l);
    return out;
}

std::string BoardProc::entry() const {
    auto r = lines("READY ");
    return r.empty() ? "" : r.back().substr(6);
}

std::array<uint8_t, 16> frame(uint16_t code, uint32_t addr, uint8_t width, uint32_t length,
                              uint32_t value, uint8_t tail) {
    std::array<uint8_t, 16> f{};
    f[0] = uint8_t(code >> 8);
    f[1] = uint8_t(code);
    for (int i = 0; i < 4; ++i) {
        f[2 + i] = uint8_t(addr >> (24 - 8 * i));
        f[7 + i] = uint8_t(length >> (24 - 8 * i));
        f[11 + i] = uint8_t(value >> (24 - 8 * i));
    }
    f[6] = width;
    f[15] = tail;
    return f;
}

std::string bytes(const std::array<uint8_t, 16>& f) {
    return std::string(reinterpret_cast<const char*>(f.data()), f.size());
}

std::string word(uint32_t w) {
    std::string s(4, '\0');
    set_le32(s, 0, w);
    return s;
}

std::string hex(const std::string& s) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

uint32_t be32(const std::string& s, size_t off) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | uint8_t(s[off + i]);
    return v;
}

uint32_t le32(const std::string& s, size_t off) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | uint8_t(s[off + i]);
    return v;
}

void set_be32(std::string& s, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[off + i] = char(v >> (24 - 8 * i));
}

void set_le32(std::string& s, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[off + i] = char(v >> (8 * i));
}

uint32_t crc32(const std::string& s) {
    uint32_t c = 0xFFFFFFFF;
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

std::vector<Write> example_writes(const std::string& target) {
    std::ifstream f(std::string(LARKSPUR_SOURCE_DIR) + "/examples/" + target + ".inc");
    std::vector<Write> out;
    std::string line;
    while (std::getline(f, line)) {
        line = line.substr(0, line.find("//"));
        std::istringstream ws(line);
        std::vector<std::string> w;
        for (std::string x; ws >> x;)
            w.push_back(x);
        if (w.size() >= 5 && w[0] == "setmem")
            out.push_back(
                {uint32_t(std::stoul(w[2], nullptr, 16)), uint32_t(std::stoul(w[4], nullptr, 16))});
    }
    return out;
}

std::string test_image(const std::string& target, uint32_t size) {
    testsupport::TempDir d;
    auto r = testsupport::run(
        {board_exe(), "--write-images", d.path(), "--image-size", std::to_string(size)});
    if (r.exit_code != 0)
        return {};
    return testsupport::read_file(d.file("larkspur-" + target + ".bin"));
}

std::string place_dcd(const std::string& target, std::string image, const std::vector<Write>& w,
                      bool usb) {
    if (target == "egret") {
        for (size_t i = 0; i < 200; ++i) {
            size_t at = 52 + 8 * i;
            Write e = i < w.size() ? w[i] : Write{0xF801DC00, 0xDEADC0DE};
            if (usb && i == 192)
                e = {0xF801DC10, 0x55AA55AA};
            set_be32(image, at, e.addr);
            set_be32(image, at + 4, e.value);
        }
    } else {
        for (size_t i = 0; i < 136; ++i) {
            size_t at = 36 + 12 * i;
            Write e = i < w.size() ? w[i] : Write{0x1FFFDC00, 0xDEADC0DE};
            if (usb && i == 128)
                e = {0x1FFFDC10, 0x55AA55AA};
            set_le32(image, at, 4);
            set_le32(image, at + 4, e.addr);
            set_le32(image, at + 8, e.value);
        }
    }
    return image;
}

// ---- pty ------------------------------------------------------------------------------

Pty::Pty(const std::string& path) {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

Pty::~Pty() {
    if (fd >= 0)
        close(fd);
}

bool Pty::write(const std::string& s) {
    size_t off = 0;
    auto end = Clock::now() + 10s;
    while (off < s.size()) {
        ssize_t n = ::write(fd, s.data() + off, s.size() - off);
        if (n > 0) {
            off += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() > end)
            return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    return true;
}

std::string Pty::read(size_t n, ms timeout) {
    std::string out;
    auto end = Clock::now() + timeout;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left_ms(end)) <= 0)
            break;
        char buf[4096];
        ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0)
            break;
        out.append(buf, size_t(r));
    }
    return out;
}

std::string Pty::read_until(const std::string& text, ms timeout) {
    std::string out;
    auto end = Clock::now() + timeout;
    while (out.find(text) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left_ms(end)) <= 0)
            break;
        char buf[4096];
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r <= 0)
            break;
        out.append(buf, size_t(r));
    }
    return out;
}

// ---- sockets --------------------------------------------------------------------------

Seq::Seq(const std::string& path) {
    fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        fd = -1;
    }
}

Seq::~Seq() {
    if (fd >= 0)
        close(fd);
}

bool Seq::send(const std::string& m) {
    return fd >= 0 && ::send(fd, m.data(), m.size(), MSG_NOSIGNAL) == ssize_t(m.size());
}

std::optional<std::string> Seq::recv(ms timeout) {
    if (fd < 0)
        return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) <= 0)
        return std::nullopt;
    std::string buf(70000, '\0');
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0)
        return std::nullopt;
    buf.resize(size_t(n));
    return buf;
}

bool Seq::closed(ms timeout) {
    auto end = Clock::now() + timeout;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left_ms(end)) <= 0)
            return false;
        char buf[70000];
        if (::recv(fd, buf, sizeof buf, 0) <= 0)
            return true;
    }
}

HidClient::HidClient(const std::string& path) : s(path) {
    if (auto m = s.recv(2000ms))
        hello = *m;
}

bool HidClient::report(uint8_t id, const std::string& payload, ms timeout) {
    std::string m(66, '\0');
    m[0] = 'O';
    m[1] = char(id);
    m.replace(2, std::min<size_t>(64, payload.size()), payload.substr(0, 64));
    if (!s.send(m))
        return false;
    auto end = Clock::now() + timeout;
    for (;;) {
        auto r = s.recv(ms(left_ms(end)));
        if (!r)
            return false;
        if (*r == "A")
            return true;
        if ((*r)[0] == 'I')
            inputs.push_back(r->substr(1));
    }
}

std::optional<std::string> HidClient::input(ms timeout) {
    if (inputs.empty()) {
        auto end = Clock::now() + timeout;
        while (inputs.empty()) {
            auto r = s.recv(ms(left_ms(end)));
            if (!r)
                return std::nullopt;
            if ((*r)[0] == 'I')
                inputs.push_back(r->substr(1));
        }
    }
    std::string r = inputs.front();
    inputs.pop_front();
    return r;
}

std::optional<uint32_t> HidClient::word(ms timeout) {
    auto r = input(timeout);
    if (!r || r->size() < 5)
        return std::nullopt;
    return le32(*r, 1);
}

std::string HidClient::text_until(const std::string& text, ms timeout) {
    std::string out;
    auto end = Clock::now() + timeout;
    while (out.find(text) == std::string::npos) {
        auto r = input(ms(left_ms(end)));
        if (!r)
            break;
        std::string payload = r->substr(1);
        out += payload.substr(0, payload.find('\0'));
    }
    return out;
}

bool HidClient::data(const std::string& bytes) {
    for (size_t off = 0; off < bytes.size(); off += 64)
        if (!report(2, bytes.substr(off, 64)))
            return false;
    return true;
}

UsbClient::UsbClient(const std::string& path) : s(path) {}

bool UsbClient::handle(const std::string& m) {
    if (m.empty())
        return false;
    order.push_back(std::string(1, m[0]));
    switch (m[0]) {
    case 'A':
    case 'D':
        events.push_back(m);
        break;
    case 'I':
        if (m.size() >= 6 && uint8_t(m[5]) == 0x82)
            in += m.substr(6);
        break;
    case 'R':
        last_reply = m;
        break;
    }
    return true;
}

void UsbClient::pump(ms timeout) {
    auto end = Clock::now() + timeout;
    while (auto m = s.recv(ms(left_ms(end))))
        handle(*m);
}

std::optional<uint32_t> UsbClient::attached(ms timeout) {
    auto end = Clock::now() + timeout;
    for (;;) {
        while (!events.empty()) {
            std::string e = events.front();
            events.pop_front();
            if (e[0] == 'A')
                return le32(e, 1);
        }
        auto m = s.recv(ms(left_ms(end)));
        if (!m)
            return std::nullopt;
        handle(*m);
    }
}

std::optional<uint32_t> UsbClient::detached(ms timeout) {
    auto end = Clock::now() + timeout;
    for (;;) {
        while (!events.empty()) {
            std::string e = events.front();
            events.pop_front();
            if (e[0] == 'D')
                return le32(e, 1);
        }
        auto m = s.recv(ms(left_ms(end)));
        if (!m)
            return std::nullopt;
        handle(*m);
    }
}

std::optional<uint32_t> UsbClient::out(uint32_t dev, const std::string& data, uint8_t ep,
                                       ms timeout) {
    uint32_t my = ++seq;
    std::string m = "O" + word(my) + word(dev) + std::string(1, char(ep)) + data;
    if (!s.send(m))
        return std::nullopt;
    last_reply.reset();
    bool got = pump_until([&] { return last_reply && le32(*last_reply, 1) == my; }, timeout);
    if (!got)
        return std::nullopt;
    return le32(*last_reply, 5);
}

std::optional<uint32_t> UsbClient::set_interface(uint32_t dev, uint8_t iface, uint8_t alt) {
    uint32_t my = ++seq;
    std::string m =
        "S" + word(my) + word(dev) + std::string(1, char(iface)) + std::string(1, char(alt));
    if (!s.send(m))
        return std::nullopt;
    last_reply.reset();
    if (!pump_until([&] { return last_reply && le32(*last_reply, 1) == my; }, 2000ms))
        return std::nullopt;
    return le32(*last_reply, 5);
}

std::string UsbClient::take_in(size_t n, ms timeout) {
    pump_until([&] { return in.size() >= n; }, timeout);
    std::string r = in.substr(0, std::min(n, in.size()));
    in.erase(0, r.size());
    return r;
}

} // namespace bt
