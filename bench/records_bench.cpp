// Building the version 6 records: the encoding of every header and superblock
// with its checksum, and the sealing of a checkpoint (two CRCs, one over the
// whole record).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/record_io.h"
#include "version6/records.h"

namespace {

ImageParameters SampleParameters() {
    ImageParameters p {};
    NbConvertInitParameters(&p, nullptr, 0);
    p.ImageSize = 16384 * 1024;
    p.ImageGuid = 0x1122334455667788ull;
    p.DataGuid = 0x8877665544332211ull;
    p.DataBlocks = 2048;
    p.MapFileSize = 64ull << 20;
    std::strcpy(p.MapText, "benchmark map");
    return p;
}

void BM_EncodeAllRecords(benchmark::State& state) {
    const ImageParameters p = SampleParameters();
    const MetadataFileParameters file {1, 2, 3};
    DataPlacement data {};
    MetadataPlacement meta {};
    if (NbPlaceData(p.BlockSize, p.DataBlocks, &data) != NB_OK ||
        NbPlaceMetadata(262144, p.MetadataAlignment, &meta) != NB_OK)
        return state.SkipWithError("the sample parameters have no placement");
    std::uint8_t out[kMapHeaderV6Size];
    for (auto _ : state) {
        EncodeRecord(NbMakeMapHeader(p, 1 << 20), out, kMapHeaderV6Size);
        benchmark::DoNotOptimize(out);
        EncodeRecord(NbMakeMapSuperblock(3 << 20, 4096, 4 << 20), out, kMapSuperblockSize);
        NbSealCrc(out, kMapSuperblockSize, kMapSuperblockCrcOffset);
        benchmark::DoNotOptimize(out);
        EncodeRecord(NbMakeDataHeader(p, data), out, kDataHeaderV6Size);
        benchmark::DoNotOptimize(out);
        EncodeRecord(NbMakeDataSuperblock(data), out, kDataSuperblockSize);
        NbSealCrc(out, kDataSuperblockSize, kDataSuperblockCrcOffset);
        benchmark::DoNotOptimize(out);
        EncodeRecord(NbMakeMetadataHeader(p, file, meta), out, kMetadataHeaderV6Size);
        benchmark::DoNotOptimize(out);
        EncodeRecord(NbMakeMetadataSuperblock(file, meta), out, kMetadataSuperblockSize);
        NbSealCrc(out, kMetadataSuperblockSize, kMetadataSuperblockCrcOffset);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_EncodeAllRecords);

// 4096 bytes: a data or metadata checkpoint; 1,052,672 bytes: the map
// checkpoint of an image with a 1 GiB map (262,144 table entries).
void BM_SealCheckpoint(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> checkpoint(size);
    for (auto _ : state) {
        CheckpointHead head {};
        head.Signature = kDataCheckpointSignature;
        head.HeaderValue = NB_DATA_CHECKPOINT_HEADER_VALUE;
        EncodeRecord(head, checkpoint.data(), kDataCheckpointHeadSize);
        NbSealCheckpoint(checkpoint.data(), size, kCheckpointCrcOffset);
        benchmark::DoNotOptimize(checkpoint.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_SealCheckpoint)->Arg(4096)->Arg(static_cast<std::int64_t>(NbMapCheckpointSize(262144)));

}  // namespace
