#include "platform/checksum.h"

#include <array>
#include <cstring>

namespace {

using Table = std::array<std::array<std::uint32_t, 256>, 8>;

// Table 0 is the textbook table; table k advances a byte through k more zero
// bytes, so eight bytes are folded with eight lookups and no byte loop.
constexpr Table MakeTables() {
    Table t {};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i)
        for (std::size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr Table kTables = MakeTables();
static_assert(kTables[0][1] == 0x77073096u && kTables[0][255] == 0x2D02EF8Du);

}  // namespace

std::uint32_t NbCrc32UpdateBytewise(const void* data, std::uint32_t length, std::uint32_t value) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::uint32_t i = 0; i < length; ++i) value = kTables[0][(value ^ p[i]) & 0xFF] ^ (value >> 8);
    return value;
}

std::uint32_t NbCrc32Update(const void* data, std::uint32_t length, std::uint32_t value) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (length >= 8) {
        std::uint32_t low = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                            static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
        low ^= value;
        value = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
                kTables[4][low >> 24] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
        p += 8;
        length -= 8;
    }
    return NbCrc32UpdateBytewise(p, length, value);
}

std::uint32_t NbCrc32(const void* data, std::uint32_t length) { return NbCrc32Update(data, length, 0xFFFFFFFFu); }

std::uint64_t NbIdentifierFromGuid(const HostGuid& guid) {
    return static_cast<std::uint64_t>(guid.Data1) << 32 | static_cast<std::uint64_t>(guid.Data2) << 16 | guid.Data3;
}

std::uint64_t NbCreateIdentifier() {
    HostGuid guid {};
    if (NbHost().CreateGuid(&guid) == NB_OK) return NbIdentifierFromGuid(guid);
    // No GUID from the host: an identifier must still be new and non-zero,
    // so mix the clock, the thread and a counter (splitmix64) instead.
    static std::uint64_t counter = 0;
    HostLocalTime now {};
    NbHost().LocalTime(&now);
    std::uint64_t z = (static_cast<std::uint64_t>(NbHost().ThreadId()) << 32) ^
                      static_cast<std::uint64_t>(now.Millisecond + 1000 * (now.Second + 60 * (now.Minute + 60 * now.Hour))) ^
                      (++counter * 0x9E3779B97F4A7C15ull) ^ reinterpret_cast<std::uintptr_t>(&counter);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return z != 0 ? z : 1;
}
