// The whole version 6 rewrite of a layout 4 image, dominated by the map
// compaction (a read, a check and a CRC per 4096-byte page, a write per moved
// page). The files live in /dev/shm when there is one, so the figures show the
// converter's own cost rather than the disk's; each iteration starts from the
// original files, restored outside the timed part.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "legacy/legacy.h"
#include "tools/image_maker.h"
#include "version6/version6.h"

namespace {

namespace fs = std::filesystem;

class Layout4Image {
public:
    explicit Layout4Image(std::uint32_t pages) {
        const fs::path shm = "/dev/shm";
        std::error_code ec;
        const fs::path root = fs::is_directory(shm, ec) ? shm : fs::temp_directory_path();
        dir_ = root / ("nb_bench_" + std::to_string(std::random_device {}()));
        fs::create_directories(dir_);
        recipe_.Layout = 4;
        recipe_.MapBase = (dir_ / "image").string();
        recipe_.DataBase = recipe_.MapBase;
        recipe_.MetadataBases = {recipe_.MapBase};
        recipe_.MapPages = pages;
        recipe_.ImageSize = pages * 1024;
        recipe_.Content = MapContent::Random;
        recipe_.DataBytes = 1 << 20;
        std::string error;
        if (!WriteImage(recipe_, &error)) throw std::runtime_error(error);
        std::ifstream in(MapFileName(recipe_), std::ios::binary);
        map_.assign(std::istreambuf_iterator<char>(in), {});
        dataSize_ = fs::file_size(DataFileName(recipe_));
        metadataSize_ = fs::file_size(MetadataFileName(recipe_, 0));
        metadataName_ = MetadataFileName(recipe_, 0);
        char* names[] = {metadataName_.data()};
        if (NbConvertFromV4(DataFileName(recipe_).c_str(), MapFileName(recipe_).c_str(), names, 1, &parameters_,
                            &metadata_) != NB_OK)
            throw std::runtime_error("layout 4 image not readable");
    }
    ~Layout4Image() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::uint64_t MapBytes() const { return map_.size(); }

    // Puts back what the previous rewrite changed: the whole map, and the
    // data and metadata files' lengths (their records went behind the end).
    void Restore() {
        std::ofstream(MapFileName(recipe_), std::ios::binary | std::ios::trunc).write(map_.data(), map_.size());
        fs::resize_file(DataFileName(recipe_), dataSize_);
        fs::resize_file(metadataName_, metadataSize_);
    }

    NbResult Convert() {
        char* names[] = {metadataName_.data()};
        return NbConvertToV6(DataFileName(recipe_).c_str(), MapFileName(recipe_).c_str(), names, 1, &parameters_,
                             &metadata_);
    }

private:
    fs::path dir_;
    ImageRecipe recipe_;
    std::vector<char> map_;
    std::uint64_t dataSize_ = 0, metadataSize_ = 0;
    std::string metadataName_;
    ImageParameters parameters_ {};
    MetadataFileParameters metadata_ {};
};

// Arg: the map's pages (1024 image blocks each): 64 KiB, 16 MiB, 64 MiB maps.
void BM_ConvertLayout4(benchmark::State& state) {
    Layout4Image image(static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        image.Restore();
        state.ResumeTiming();
        if (image.Convert() != NB_OK) {
            state.SkipWithError("conversion failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.MapBytes()));
}
BENCHMARK(BM_ConvertLayout4)->Arg(16)->Arg(4096)->Arg(16384)->Unit(benchmark::kMillisecond);

}  // namespace
