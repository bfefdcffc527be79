#include "boardsim/image.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace board {
namespace {

const std::array<uint32_t, 256>& crc_table() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

bool in_region(const Chip& chip, size_t i) {
    return chip.dcd_entries != 0 && i >= chip.dcd_offset && i < chip.dcd_end();
}

std::string format(const char* fmt, auto... args) {
    char buf[256];
    snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

} // namespace

uint32_t image_crc(const Chip& chip, std::span<const uint8_t> image) {
    const auto& t = crc_table();
    uint32_t c = ~0u;
    for (size_t i = 0; i < image.size(); ++i) {
        if (in_region(chip, i))
            continue;
        uint8_t b = i >= kHdrCrc && i < kHdrCrc + 4 ? 0 : image[i];
        c = t[(c ^ b) & 0xFF] ^ (c >> 8);
    }
    return ~c;
}

std::vector<uint8_t> make_image(const Chip& chip, uint32_t size) {
    std::vector<uint8_t> img(size, 0);
    uint8_t* p = img.data();
    memcpy(p + kHdrMagic, "LKSP", 4);
    put_le32(p + kHdrTag, chip.tag);
    put_le32(p + kHdrSize, size);
    put_le32(p + kHdrLoad, chip.load);
    put_le32(p + kHdrDcdOffset, chip.dcd_offset);
    put_le32(p + kHdrDcdLength, chip.dcd_entries * chip.dcd_entry_size);
    put_le32(p + kHdrProgram, chip.program_offset);
    put_le32(p + kHdrVersion, kImageVersion);
    if (chip.dcd_offset != kHdrName)
        memcpy(p + kHdrName, chip.name, strlen(chip.name));

    for (uint32_t e = 0; e < chip.dcd_entries; ++e) {
        uint8_t* q = p + chip.dcd_offset + e * chip.dcd_entry_size;
        if (chip.dcd_entry_size == 8) { // address, value; big-endian
            put_be32(q, chip.scratch_addr);
            put_be32(q + 4, kPlaceholderValue);
        } else { // width, address, value; little-endian
            put_le32(q, 4);
            put_le32(q + 4, chip.scratch_addr);
            put_le32(q + 8, kPlaceholderValue);
        }
    }

    // The body: a banner to recognise in a dump, then a deterministic pattern.
    std::string banner = std::string("Larkspur test program for ") + chip.name + ". ";
    uint32_t i = chip.program_offset;
    for (uint32_t k = 0; i < size && k < 512; ++i, ++k)
        p[i] = uint8_t(banner[k % banner.size()]);
    uint32_t x = chip.tag;
    for (; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        p[i] = uint8_t(x);
    }
    put_le32(p + kHdrCrc, image_crc(chip, img));
    return img;
}

ImageCheck check_image(const Chip& chip, std::span<const uint8_t> image) {
    ImageCheck r;
    if (image.size() < chip.program_offset) {
        r.why = format("%zu bytes are too few for a test image", image.size());
        return r;
    }
    const uint8_t* p = image.data();
    if (memcmp(p + kHdrMagic, "LKSP", 4) != 0) {
        r.why = "no test image header (bad magic)";
        return r;
    }
    if (get_le32(p + kHdrTag) != chip.tag) {
        r.why =
            format("the header's chip tag 0x%08x is not %s's", get_le32(p + kHdrTag), chip.name);
        return r;
    }
    if (get_le32(p + kHdrLoad) != chip.load || get_le32(p + kHdrDcdOffset) != chip.dcd_offset ||
        get_le32(p + kHdrDcdLength) != chip.dcd_entries * chip.dcd_entry_size ||
        get_le32(p + kHdrProgram) != chip.program_offset) {
        r.why = "the header describes another layout";
        return r;
    }
    r.runs = true;
    if (get_le32(p + kHdrSize) != image.size()) {
        r.why =
            format("the header says %u bytes, %zu arrived", get_le32(p + kHdrSize), image.size());
        return r;
    }
    uint32_t want = get_le32(p + kHdrCrc), got = image_crc(chip, image);
    if (want != got) {
        r.why = format("crc32 0x%08x, the header says 0x%08x", got, want);
        return r;
    }
    r.intact = true;
    return r;
}

std::string write_images(const std::string& dir, uint32_t size) {
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return "cannot create " + dir + ": " + strerror(errno);
    for (const Chip& chip : all_chips()) {
        std::string path = dir + "/larkspur-" + chip.name + ".bin";
        std::vector<uint8_t> img = make_image(chip, size);
        FILE* f = fopen(path.c_str(), "wb");
        if (!f)
            return "cannot write " + path + ": " + strerror(errno);
        bool ok = fwrite(img.data(), 1, img.size(), f) == img.size();
        ok = fclose(f) == 0 && ok;
        if (!ok)
            return "cannot write " + path;
    }
    return {};
}

} // namespace board
