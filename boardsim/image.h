// The test image files: a header of the board's own design, the DCD entry region of the
// older chips at the offset their boot ROM reads it from, and the test program body.
//
// Header, all fields little-endian u32:
//    0 magic "LKSP"           16 DCD region offset (0: none)
//    4 chip tag ("EGRT"...)    20 DCD region length
//    8 image size             24 test program offset
//   12 load address           28 CRC-32 of every byte outside the DCD region, with this
//   32 format version (1)        field counted as zero
// egret and the falcon chips carry the chip name in bytes 36..51; heron's region starts
// at 36. The region comes filled with placeholder entries that write kPlaceholderValue to
// the chip's scratch word, so an image sent without its DCD placed shows on the board.
#pragma once

#include "boardsim/bytes.h"
#include "boardsim/chip.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace board {

constexpr uint32_t kHdrMagic = 0, kHdrTag = 4, kHdrSize = 8, kHdrLoad = 12, kHdrDcdOffset = 16,
                   kHdrDcdLength = 20, kHdrProgram = 24, kHdrCrc = 28, kHdrVersion = 32,
                   kHdrName = 36;
constexpr uint32_t kImageVersion = 1;
constexpr uint32_t kDefaultImageSize = 8192;
constexpr uint32_t kMinImageSize = 1680;   // heron's program offset: every chip's header fits
constexpr uint32_t kMaxImageSize = 106496; // the smallest IRAM room above a load address

// CRC-32 of the image outside the chip's DCD region, with the CRC field as zero.
uint32_t image_crc(const Chip& chip, std::span<const uint8_t> image);
std::vector<uint8_t> make_image(const Chip& chip, uint32_t size);

struct ImageCheck {
    bool runs = false;   // the header is this chip's: the test program can start
    bool intact = false; // and everything outside the DCD region is as written
    std::string why;     // what is wrong, when something is
};
ImageCheck check_image(const Chip& chip, std::span<const uint8_t> image);

// Writes larkspur-<chip>.bin for every chip into dir (created when missing). Empty string
// on success, else what went wrong.
std::string write_images(const std::string& dir, uint32_t size);

} // namespace board
