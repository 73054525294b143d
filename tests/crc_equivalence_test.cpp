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

// A CRC known for the second of two pieces stands in for reading it: the
// fingerprint of a converted map takes its pages' CRC instead of their bytes.
TEST(CrcEquivalence, ShiftCombinesTwoPiecesAsOneUpdate) {
    std::mt19937 random(20261207);
    std::vector<std::uint8_t> bytes(70000);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    for (std::uint32_t split : {0u, 1u, 7u, 4096u, 65536u, 69999u, 70000u})
        for (std::uint32_t value : {0u, 0xFFFFFFFFu, 0x9E3779B9u}) {
            const std::uint32_t rest = static_cast<std::uint32_t>(bytes.size()) - split;
            EXPECT_EQ(NbCrc32Shift(NbCrc32Update(bytes.data(), split, value), rest) ^ NbCrc32Update(bytes.data() + split, rest, 0),
                      NbCrc32Update(bytes.data(), static_cast<std::uint32_t>(bytes.size()), value))
                << "split at " << split << ", start 0x" << std::hex << value;
        }
    // Past 4 GiB of zeros, as a 16 GiB map's pages are passed.
    std::uint32_t value = 0x12345678u;
    for (int i = 0; i < 5; ++i) value = NbCrc32Shift(value, std::uint64_t {1} << 30);
    EXPECT_EQ(value, NbCrc32Shift(0x12345678u, std::uint64_t {5} << 30));
}

}  // namespace
