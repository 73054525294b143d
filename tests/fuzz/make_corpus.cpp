// Seeds for the header fuzzer: the heads of valid images of layouts 2, 3
// (both map types), 4 (both map types) and of one converted to layout 6, in
// the fuzzer's input format, for the pipeline and for the whole program.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "legacy/legacy.h"
#include "tools/image_maker.h"
#include "version6/version6.h"

namespace {

std::string ReadHead(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes.substr(0, 1024);
}

void PutU16(std::string& out, std::size_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8 & 0xFF));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_corpus DIRECTORY\n");
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    struct Seed {
        const char* Name;
        std::uint32_t Layout;
        std::uint16_t MapType;
        bool Convert;  // rewrite to layout 6 first
    };
    const Seed seeds[] = {{"v2", 2, 0, false},  {"v3-plain", 3, 0, false}, {"v3-extended", 3, 1, false},
                          {"v4-plain", 4, 0, false}, {"v4-extended", 4, 1, false}, {"v6", 4, 0, true}};
    std::string scratch = (std::filesystem::temp_directory_path() / "nbcorpus-XXXXXX").string();
    if (::mkdtemp(scratch.data()) == nullptr) return 1;
    for (const Seed& seed : seeds) {
        ImageRecipe recipe;
        recipe.Layout = seed.Layout;
        recipe.MapType = seed.MapType;
        recipe.ImageSize = 8192;
        recipe.DataBytes = 65536;
        recipe.MetadataBytes = 65536;
        recipe.MapBase = recipe.DataBase = scratch + "/" + seed.Name;
        recipe.MetadataBases = {recipe.MapBase};
        std::string error;
        if (!WriteImage(recipe, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        const std::string map = MapFileName(recipe), data = DataFileName(recipe), metadata = MetadataFileName(recipe, 0);
        if (seed.Convert) {
            ImageParameters p;
            MetadataFileParameters records[1];
            char* names[1] = {const_cast<char*>(metadata.c_str())};
            if (NbConvertFromV4(data.c_str(), map.c_str(), names, 1, &p, records) != 0 ||
                NbConvertToV6(data.c_str(), map.c_str(), names, 1, &p, records) != 0)
                return 1;
        }
        const std::string heads[3] = {ReadHead(map), ReadHead(data), ReadHead(metadata)};
        const std::size_t sizes[3] = {std::filesystem::file_size(map), std::filesystem::file_size(data),
                                      std::filesystem::file_size(metadata)};
        for (int mode = 0; mode < 4; ++mode) {
            std::string input(1, static_cast<char>(mode));
            for (int i = 0; i < 3; ++i) PutU16(input, (sizes[i] - heads[i].size()) / 64);
            for (const std::string& head : heads) PutU16(input, head.size()), input += head;
            std::ofstream(std::string(argv[1]) + "/" + seed.Name + "-mode" + std::to_string(mode), std::ios::binary)
                << input;
        }
    }
    std::filesystem::remove_all(scratch);
    return 0;
}
