// The eight-bytes-at-a-time CRC must give exactly what the one-byte-per-step
// table gives, whatever the length, the alignment of the data and the running
// value: a wrong slicing table or a mishandled tail would change every
// checksum the version 6 records carry.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "platform/checksum.h"

namespace {

// Random lengths up to 5000 bytes, offsets and running values; then every
// short length after every alignment, so the byte loop behind the eight-byte
// steps runs for each remainder and misalignment.
TEST(CrcEquivalence, SlicedUpdateMatchesBytewiseOverLengthsAlignmentsAndStarts) {
    std::mt19937 random(20240611);
    std::vector<std::uint8_t> buffer(5000 + 16);
    for (auto& b : buffer) b = static_cast<std::uint8_t>(random());
    const auto same = [&](std::uint32_t at, std::uint32_t n, std::uint32_t value) {
        ASSERT_EQ(NbCrc32Update(buffer.data() + at, n, value), NbCrc32UpdateBytewise(buffer.data() + at, n, value))
            << "length " << n << ", offset " << at << ", start 0x" << std::hex << value;
    };
    std::uniform_int_distribution<std::uint32_t> length(0, 5000), offset(0, 15), start;
    for (int round = 0; round < 2000 && !HasFatalFailure(); ++round) same(offset(random), length(random), start(random));
    for (std::uint32_t at = 0; at < 16; ++at)
        for (std::uint32_t n = 0; n <= 40; ++n)
            for (std::uint32_t value : {0u, 0xFFFFFFFFu, 0x12345678u}) same(at, n, value);
}

}  // namespace
