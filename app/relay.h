// The test console relay: after the start, reconnect to the test program and pass keys to
// it and its output to the console until ESC.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

constexpr uint32_t HANDSHAKE_MAGIC = 0x900D900D;

struct free_deleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using image_buffer = std::unique_ptr<uint8_t, free_deleter>;

// target_name is the target as typed on the command line. Releases image_buf on every way
// out; returns the exit value.
int console_relay(const char* target_name, image_buffer image_buf);
