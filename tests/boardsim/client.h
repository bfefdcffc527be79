// The host's side of the wire, written for the tests alone: a board process in a fresh
// device directory, raw pty and SOCK_SEQPACKET clients, and frames built by hand.
#pragma once

#include "tests/support/process.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bt {

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

// A running larkspur-board with its own device directory (LARKSPUR_DEVICES).
struct BoardProc {
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::Background> proc;

    explicit BoardProc(std::vector<std::string> args, std::map<std::string, std::string> env = {});
    std::string log() const { return proc->log(); }
    bool wait_log(const std::string& text, ms timeout = 3000ms) const {
        return proc->wait_for_log(text, timeout);
    }
    // Waits for the n-th (1-based) occurrence of text.
    bool wait_count(const std::string& text, size_t n, ms timeout = 3000ms) const;
    size_t count(const std::string& text) const;
    // The log lines that start with prefix.
    std::vector<std::string> lines(const std::string& prefix) const;
    // The device entry named in the last "READY <entry>" line; empty until there is one.
    std::string entry() const;
    std::string path(const std::string& name) const { return dir.file(name); }
};

std::string board_exe();
testsupport::RunOptions opts(std::map<std::string, std::string> env = {}, ms timeout = 20000ms);

// Frames as the host sends them: 16 bytes, multi-byte fields most significant byte first.
std::array<uint8_t, 16> frame(uint16_t code, uint32_t addr = 0, uint8_t width = 0,
                              uint32_t length = 0, uint32_t value = 0, uint8_t tail = 0);
std::string bytes(const std::array<uint8_t, 16>& f);
std::string word(uint32_t w); // 4 bytes, least significant first
std::string hex(const std::string& s);

uint32_t be32(const std::string& s, size_t off);
uint32_t le32(const std::string& s, size_t off);
void set_be32(std::string& s, size_t off, uint32_t v);
void set_le32(std::string& s, size_t off, uint32_t v);
uint32_t crc32(const std::string& s); // standard CRC-32 (reflected, 0xEDB88320)

// The writes of examples/<target>.inc, read by the tests' own few lines of parsing.
struct Write {
    uint32_t addr, value;
};
std::vector<Write> example_writes(const std::string& target);
// A test image from `larkspur-board --write-images` for the target.
std::string test_image(const std::string& target, uint32_t size = 8192);
// The egret or heron image with its DCD region holding the given entries, the rest of it
// the host's filler; plus the USB valid flag entry when usb is set.
std::string place_dcd(const std::string& target, std::string image, const std::vector<Write>& w,
                      bool usb);

// A raw serial client on the board's pty.
struct Pty {
    int fd = -1;
    explicit Pty(const std::string& path);
    ~Pty();
    bool write(const std::string& s);
    // Up to n bytes, waiting at most timeout in all.
    std::string read(size_t n, ms timeout);
    // Everything until text has arrived (or the timeout).
    std::string read_until(const std::string& text, ms timeout);
};

// A raw SOCK_SEQPACKET client.
struct Seq {
    int fd = -1;
    explicit Seq(const std::string& path);
    ~Seq();
    bool ok() const { return fd >= 0; }
    bool send(const std::string& m);
    std::optional<std::string> recv(ms timeout);
    // True when the board closed the connection within the timeout.
    bool closed(ms timeout);
};

// The host side of a virtual HID device.
struct HidClient {
    Seq s;
    std::string hello;              // the 'H' message
    std::deque<std::string> inputs; // input reports (65 bytes) not yet taken
    explicit HidClient(const std::string& path);
    // Sends one output report (id + payload, zero padded to 65) and waits for its 'A'.
    bool report(uint8_t id, const std::string& payload, ms timeout = 2000ms);
    std::optional<std::string> input(ms timeout);
    // The first 4 payload bytes of the next input report, as a little-endian word.
    std::optional<uint32_t> word(ms timeout);
    // Payload text of input reports up to the first zero byte each, until text shows.
    std::string text_until(const std::string& text, ms timeout);
    // Sends data in ID-2 reports of 64 bytes each, the last one zero padded.
    bool data(const std::string& bytes);
};

// The driver's side of the virtual USB bus.
struct UsbClient {
    Seq s;
    uint32_t seq = 0;
    std::deque<std::string> events; // 'A' and 'D' messages in order
    std::string in;                 // IN data of endpoint 0x82, concatenated
    std::vector<std::string> order; // "I", "R", "A", "D" as received
    explicit UsbClient(const std::string& path);
    // Pumps messages until pred or timeout.
    template <class P> bool pump_until(P pred, ms timeout);
    void pump(ms timeout);
    std::optional<uint32_t> attached(ms timeout); // device number of the next 'A'
    std::optional<uint32_t> detached(ms timeout);
    // Sends 'O' and waits for its 'R'; the reply's status, or nullopt without a reply.
    std::optional<uint32_t> out(uint32_t dev, const std::string& data, uint8_t ep = 0x01,
                                ms timeout = 2000ms);
    std::optional<uint32_t> set_interface(uint32_t dev, uint8_t iface, uint8_t alt);
    std::string take_in(size_t n, ms timeout);
    std::optional<std::string> last_reply; // the last 'R' message
  private:
    bool handle(const std::string& m);
};

template <class P> bool UsbClient::pump_until(P pred, ms timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        auto left = std::chrono::duration_cast<ms>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        auto m = s.recv(left);
        if (!m)
            return pred();
        handle(*m);
    }
    return true;
}

} // namespace bt
