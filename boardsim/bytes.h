// Byte order on the wire and in the image: frames carry big-endian fields, acknowledgement
// words, image headers and the socket messages little-endian ones.
#pragma once

#include <cstdint>
#include <string>

namespace board {

inline uint32_t get_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t get_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
inline void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (24 - 8 * i));
}

// Socket messages are built and read as strings.
inline uint32_t le32_at(const std::string& s, size_t off) {
    return get_le32(reinterpret_cast<const uint8_t*>(s.data()) + off);
}
inline void put_le16(std::string& s, uint16_t v) {
    s += char(v & 0xFF);
    s += char(v >> 8);
}
inline void put_le32(std::string& s, uint32_t v) {
    uint8_t b[4];
    put_le32(b, v);
    s.append(reinterpret_cast<const char*>(b), 4);
}

} // namespace board
