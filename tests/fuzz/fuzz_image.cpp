#include "tests/fuzz/fuzz_image.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/image_maker.h"
#include "version6/reading.h"
#include "version6/version6.h"

namespace {

struct Input {
    const std::uint8_t* Data;
    std::size_t Size;
    std::uint8_t U8() { return Size > 0 ? (--Size, *Data++) : 0; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | U8() << 8); }
    std::string Take(std::size_t n) {
        n = n < Size ? n : Size;
        std::string bytes(reinterpret_cast<const char*>(Data), n);
        Data += n, Size -= n;
        return bytes;
    }
};

void PutU16(std::string& out, std::size_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8 & 0xFF));
}

constexpr std::size_t kLongestFile = kFuzzBackupLength + 0x10000 + 0x1000 * 64;

// The bytes behind the heads, made once: the fuzzer writes files for every input.
const std::string& Body(bool map) {
    static const std::array<std::string, 2> bodies = [] {
        std::string plain, dropped;
        for (std::size_t at = 0; at < kLongestFile; ++at) {
            plain.push_back(static_cast<char>((at * 31) >> 3));
            dropped.push_back(at / 4096 % 3 == 0 ? static_cast<char>(0xFF) : plain.back());
        }
        return std::array<std::string, 2> {plain, dropped};
    }();
    return bodies[map ? 1 : 0];
}

bool WriteFile(const std::string& name, const std::string& head, std::size_t length, bool map) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size();
    if (length > head.size())
        ok = ok && std::fwrite(Body(map).data() + head.size(), 1, length - head.size(), f) == length - head.size();
    return std::fclose(f) == 0 && ok;
}

std::string ReadHead(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes.substr(0, 1024);
}

}  // namespace

FuzzImage DecodeFuzzInput(const std::uint8_t* data, std::size_t size) {
    Input in {data, size};
    FuzzImage image;
    const std::uint8_t mode = in.U8();
    image.Whole = mode & 1;
    image.MetadataFiles = mode & 2 ? 2 : 1;
    for (std::size_t& body : image.Bodies) body = (in.U16() & 0xFFF) * std::size_t {64};  // up to 256 KiB
    for (std::string& head : image.Heads) head = in.Take(in.U16());
    return image;
}

std::string EncodeFuzzInput(const FuzzImage& image) {
    std::string input(1, static_cast<char>((image.Whole ? 1 : 0) | (image.MetadataFiles == 2 ? 2 : 0)));
    for (std::size_t body : image.Bodies) PutU16(input, body / 64);
    for (const std::string& head : image.Heads) PutU16(input, head.size()), input += head;
    return input;
}

std::vector<std::string> WriteFuzzImage(const FuzzImage& image, const std::string& base) {
    std::vector<std::string> names {base + ".nbbitmap", base + ".nbdata", base + ".nbmetadata"};
    if (image.MetadataFiles == 2) names.push_back(base + "1.nbmetadata");
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t kind = i < 2 ? i : 2;
        std::size_t length = image.Heads[kind].size() + image.Bodies[kind];
        if (image.Whole && length < kFuzzBackupLength) length = kFuzzBackupLength;
        if (!WriteFile(names[i], image.Heads[kind], length, i == 0)) return {};
    }
    return names;
}

std::vector<std::pair<std::string, std::string>> FuzzSeeds(const std::string& scratch) {
    struct Seed {
        const char* Name;
        std::uint32_t Layout;
        std::uint16_t MapType;
        bool Convert;  // rewrite to layout 6 first
    };
    const Seed seeds[] = {{"v2", 2, 0, false},  {"v3-plain", 3, 0, false}, {"v3-extended", 3, 1, false},
                          {"v4-plain", 4, 0, false}, {"v4-extended", 4, 1, false}, {"v6", 4, 0, true}};
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const Seed& seed : seeds) {
        ImageRecipe recipe;
        recipe.Layout = seed.Layout;
        recipe.MapType = seed.MapType;
        recipe.ImageSize = 8192;
        recipe.DataBytes = 65536;
        recipe.MetadataBytes = 65536;
        recipe.MapBase = recipe.DataBase = scratch + "/" + seed.Name;
        recipe.MetadataBases = {recipe.MapBase};
        if (!WriteImage(recipe, nullptr)) return {};
        const std::string map = MapFileName(recipe), data = DataFileName(recipe), metadata = MetadataFileName(recipe, 0);
        if (seed.Convert) {
            char* names[1] = {const_cast<char*>(metadata.c_str())};
            NbImageReading reading;
            if (NbReadImage({map.c_str(), data.c_str(), names, 1}, &reading) != 0 ||
                NbConvertToV6(data.c_str(), map.c_str(), names, 1, &reading.Plan.Rewrite, reading.Records.get()) != 0)
                return {};
        }
        FuzzImage image;
        const std::string files[3] = {map, data, metadata};
        for (int i = 0; i < 3; ++i) {
            image.Heads[i] = ReadHead(files[i]);
            image.Bodies[i] = (std::filesystem::file_size(files[i]) - image.Heads[i].size()) / 64 * 64;
        }
        for (int mode = 0; mode < 4; ++mode) {
            image.Whole = mode & 1;
            image.MetadataFiles = mode & 2 ? 2 : 1;
            inputs.emplace_back(std::string(seed.Name) + "-mode" + std::to_string(mode), EncodeFuzzInput(image));
        }
        for (const std::string& file : files) std::filesystem::remove(file);
    }
    return inputs;
}
