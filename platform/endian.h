// Little-endian field access at byte offsets: records are packed, so fields
// are read and written one byte at a time, never through casts.
#pragma once
#include <cstddef>
#include <cstdint>

inline void PutLe16(std::uint8_t* p, std::size_t offset, std::uint16_t v) {
    p[offset] = static_cast<std::uint8_t>(v);
    p[offset + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLe32(std::uint8_t* p, std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutLe64(std::uint8_t* p, std::size_t offset, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t GetLe16(const std::uint8_t* p, std::size_t offset) {
    return static_cast<std::uint16_t>(p[offset] | p[offset + 1] << 8);
}
inline std::uint32_t GetLe32(const std::uint8_t* p, std::size_t offset) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | p[offset + i];
    return v;
}
inline std::uint64_t GetLe64(const std::uint8_t* p, std::size_t offset) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[offset + i];
    return v;
}
