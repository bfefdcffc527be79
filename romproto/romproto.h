// The boot ROM's serial download protocol: 16-byte command frames, 4-byte acknowledgement
// words, for the egret/heron generation and the falcon generation.
#pragma once

#include "platform/shared.h"

#include <array>
#include <cstdint>

struct rom_command {
    std::array<uint8_t, 16> bytes;
};

enum : uint16_t {
    ROM_CMD_READ = 0x0101,
    ROM_CMD_WRITE = 0x0202,
    ROM_CMD_GATE = 0x0303, // egret/heron
    ROM_CMD_IMAGE = 0x0404,
    ROM_CMD_EXEC = 0x0505, // egret/heron: start; falcon: GATE type query
    ROM_CMD_FALCON_JUMP = 0x0B0B,
};

constexpr uint32_t ROM_ACK_PRODUCT = 0x12343412;
constexpr uint32_t ROM_ACK_DEVELOP = 0x56787856;
constexpr uint32_t ROM_ACK_CMD = 0x128A8A12;
constexpr uint32_t ROM_ACK_DONE = 0x88888888;
constexpr uint8_t ROM_WIDTH_32 = 0x20;

constexpr uint8_t GATE_TYPE_PRODUCT = 1;
constexpr uint8_t GATE_TYPE_DEVELOP = 2;

void rom_build_command(rom_command* cmd, uint16_t code, uint32_t addr, uint8_t width,
                       uint32_t length, uint32_t value, uint8_t tail);
unsigned rom_check_gate(uint8_t* gate_type);
unsigned rom_write(uint32_t addr, uint32_t value);
// Called after each piece of the image has gone out; without it the image goes in one write.
using rom_progress_fn = void (*)(uint32_t done, uint32_t total);
unsigned rom_write_image(const uint8_t* image, uint32_t size, uint32_t load_addr, uint8_t tail,
                         rom_progress_fn progress = nullptr);
unsigned rom_jump();
unsigned rom_read(uint32_t addr, void* buf, uint32_t count);
unsigned write_dcd(const dcd_node* nodes, uint32_t count);
