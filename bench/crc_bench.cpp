// CRC-32 throughput: the eight-bytes-at-a-time update the writer uses against
// the one-lookup-per-byte reference, over a map page and over a 1 MiB region.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "platform/checksum.h"

namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t n) {
    std::mt19937 random(42);
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

template <std::uint32_t (*Crc)(const void*, std::uint32_t, std::uint32_t)>
void BM_Crc32(benchmark::State& state) {
    const auto bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    const auto n = static_cast<std::uint32_t>(bytes.size());
    std::uint32_t value = 0xFFFFFFFFu;
    for (auto _ : state) {
        value = Crc(bytes.data(), n, value);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}

BENCHMARK_TEMPLATE(BM_Crc32, NbCrc32Update)->Name("BM_Crc32Update")->Arg(4096)->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_Crc32, NbCrc32UpdateBytewise)->Name("BM_Crc32UpdateBytewise")->Arg(4096)->Arg(1 << 20);

}  // namespace
