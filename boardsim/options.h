// The virtual board's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace board {

enum class Transport { Uart, Usb, Hid };

// The acknowledgement exchanges a fault option can name.
enum class Exchange { Gate, Gate2, WriteGate, WriteCmd, ImageGate, ImageCmd, Jump, ReadGate };

struct Options {
    std::string target;
    Transport transport = Transport::Uart;
    int com = 0;          // 0: the lowest free number
    std::string port;     // an emulated board's USB port (1-N[.M...]); empty: the next free
    std::string devices;  // empty: from the environment
    std::string log_file; // empty: standard error
    bool log_times = false;
    std::string save_image;
    bool gate_product = false;
    std::set<Exchange> wrong_ack;
    std::set<Exchange> silent;
    uint64_t reject_write = 0; // 0: none
    bool no_handshake = false;
    uint32_t reappear_after_ms = 300;
    bool never_reappear = false;
    std::optional<uint64_t> unplug_after_bytes;
    std::optional<uint32_t> unplug_during_relay_ms;
    uint32_t baud = 0;                  // 0: as fast as the pty
    uint32_t hid_interval_us = 0;       // 0: no pacing
    uint32_t hid_declared_payload = 64; // payload bytes the report descriptor declares
    uint64_t usb_rate = 0;              // bytes per second, 0: unlimited
    uint64_t stream_bytes = 0;
    bool zero_in_output = false;
    std::vector<std::string> beside;       // falcon boards whose boot ROM devices are there too
    std::vector<std::string> beside_ports; // and their ports
    std::vector<std::string> command;      // after "--": run in the board's reach, end with it

    std::string write_images_dir; // --write-images: write the files and exit
    uint32_t image_size = 0;      // 0: the default
    bool help = false;
};

// Fills out from the arguments, one Options for each board ("--board" begins the next one's;
// the device directory and the command are common to all). An empty result means success;
// otherwise it is the reason the command line was refused.
std::string parse_options(int argc, const char* const* argv, std::vector<Options>& out);
std::string usage_text();
const char* exchange_name(Exchange e);
const char* transport_name(Transport t);

} // namespace board
