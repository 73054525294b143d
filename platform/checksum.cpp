#include "platform/checksum.h"

#include <array>
#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define NB_CRC_CLMUL 1
#endif

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

#if NB_CRC_CLMUL
namespace {

// Carry-less multiplication folds 64 bytes at a time into four 128-bit
// lanes, then into one, then down to 32 bits by a Barrett reduction: the
// same register values as the table, at the speed of memory. The constants
// are powers of x modulo the reflected polynomial 0xEDB88320 (x^(4*128+32),
// x^(4*128-32), x^(128+32), x^(128-32), x^64), its 33-bit form and
// floor(x^64 / P). Length: a multiple of 16, at least 64.
#define NB_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

NB_CLMUL_TARGET inline __m128i Load(const std::uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// x times both halves of k, added to the next 128 bits.
NB_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

NB_CLMUL_TARGET std::uint32_t FoldClmul(const std::uint8_t* p, std::size_t length,
                                                                   std::uint32_t value) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(value)));
    __m128i x2 = Load(p + 16), x3 = Load(p + 32), x4 = Load(p + 48);
    p += 64;
    length -= 64;
    for (; length >= 64; p += 64, length -= 64) {
        x1 = Fold(x1, k1k2, Load(p));
        x2 = Fold(x2, k1k2, Load(p + 16));
        x3 = Fold(x3, k1k2, Load(p + 32));
        x4 = Fold(x4, k1k2, Load(p + 48));
    }
    x1 = Fold(x1, k3k4, x2);
    x1 = Fold(x1, k3k4, x3);
    x1 = Fold(x1, k3k4, x4);
    for (; length >= 16; p += 16, length -= 16) x1 = Fold(x1, k3k4, Load(p));
    // 128 bits to 64, with 32 zero bits appended.
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(k3k4, x1, 0x01), _mm_srli_si128(x1, 8));
    // 64 to 32 bits wide.
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00), _mm_srli_si128(x1, 4));
    // Barrett reduction to the 32-bit remainder.
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

bool HaveClmul() {
    static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return have;
}

}  // namespace
#endif

namespace {

// a times b modulo the polynomial, both as reflected 32-bit polynomials
// (bit 31 is x^0).
std::uint32_t MultiplyModP(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if (a & m) product ^= b;
        b = (b & 1) ? (b >> 1) ^ 0xEDB88320u : b >> 1;
    }
    return product;
}

}  // namespace

std::uint32_t NbCrc32Shift(std::uint32_t value, std::uint64_t length) {
    // value times x^(8 length): x^(2^k) by squaring, for each bit of 8 length.
    std::uint32_t power = 1u << 30;  // x^1
    for (int k = 0; k < 3; ++k) power = MultiplyModP(power, power);  // x^8: one byte
    std::uint32_t xn = 1u << 31;  // x^0
    for (std::uint64_t n = length; n != 0; n >>= 1) {
        if (n & 1) xn = MultiplyModP(power, xn);
        power = MultiplyModP(power, power);
    }
    return MultiplyModP(xn, value);
}

std::uint32_t NbCrc32Update(const void* data, std::uint32_t length, std::uint32_t value) {
    const auto* p = static_cast<const std::uint8_t*>(data);
#if NB_CRC_CLMUL
    if (length >= 64 && HaveClmul()) {
        const std::uint32_t folded = length & ~15u;
        value = FoldClmul(p, folded, value);
        p += folded;
        length -= folded;
    }
#endif
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
