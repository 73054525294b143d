#include "tools/image_maker.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>

#include "legacy/legacy_headers.h"

namespace {

constexpr std::uint32_t kPage = 4096;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::uint32_t Mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return static_cast<std::uint32_t>(x);
}

void Prefix(LegacyHeaderPrefix& prefix, const char* signature, std::uint32_t length, std::uint64_t guid) {
    std::memcpy(prefix.Signature, signature, 4);
    prefix.HeaderLength = length;
    prefix.Guid = guid;
}

bool Fail(std::string* error, const std::string& what) {
    if (error != nullptr) *error = what + ": " + std::strerror(errno);
    return false;
}

// Writes the header, then the pattern body from the header's end to size.
bool WriteFile(const std::string& name, const std::uint8_t* header, std::size_t headerSize, std::uint64_t size,
               std::uint32_t seed, std::string* error) {
    File f(std::fopen(name.c_str(), "wb"));
    if (!f) return Fail(error, "cannot create " + name);
    std::vector<std::uint8_t> chunk(1 << 16);
    std::uint64_t offset = 0;
    while (offset < size) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - offset));
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t at = offset + i;
            chunk[i] = at < headerSize ? header[at] : PatternByte(seed, at);
        }
        if (std::fwrite(chunk.data(), 1, n, f.get()) != n) return Fail(error, "cannot write " + name);
        offset += n;
    }
    if (std::fflush(f.get()) != 0) return Fail(error, "cannot write " + name);
    return true;
}

bool WriteMap(const ImageRecipe& recipe, std::string* error) {
    std::uint8_t header[kMapHeaderV3ExtendedSize] = {};
    std::size_t headerSize = 0;
    std::uint64_t bodyOffset = 0;  // where the map's data starts in the file
    const std::uint64_t dataGuid = recipe.MapNamesDataGuid ? recipe.DataGuid : 0;
    if (recipe.Layout == 2) {
        MapHeaderV2 h {};
        Prefix(h.Prefix, "NBM2", NB_V2_MAP_HEADER_LENGTH, recipe.ImageGuid);
        h.ImageSize = recipe.ImageSize;
        h.DataGuid = dataGuid;
        EncodeRecord(h, header, headerSize = kMapHeaderV2Size);
        bodyOffset = kMapHeaderV2Size;
    } else if (recipe.Layout == 3) {
        MapHeaderV3Extended h {};
        Prefix(h.Base.Prefix, "NBM3", recipe.MapType == 1 ? NB_V3_MAP_EXTENDED_HEADER_LENGTH : NB_V3_MAP_HEADER_LENGTH,
               recipe.ImageGuid);
        h.Base.MapType = recipe.MapType;
        h.Base.ImageSize = recipe.ImageSize;
        h.Base.DataGuid = dataGuid;
        if (recipe.MapType == 1) {
            h.MapReference = recipe.MapReference;
            h.MapDataOffset = recipe.MapDataOffset;
            h.MapTableSize = recipe.MapTableSize;
            h.MapPageSize = recipe.MapPageSize;
            std::memcpy(h.MapText, recipe.MapText.data(), std::min(recipe.MapText.size(), sizeof h.MapText));
            EncodeRecord(h, header, headerSize = kMapHeaderV3ExtendedSize);
            bodyOffset = recipe.MapDataOffset;
        } else {
            EncodeRecord(h.Base, header, headerSize = kMapHeaderV3Size);
            bodyOffset = kMapHeaderV3Size;
        }
    } else {
        MapHeaderV4Extended h {};
        Prefix(h.Base.Prefix, "NBM4", recipe.MapType == 1 ? kMapHeaderV4ExtendedSize : kMapHeaderV4Size, recipe.ImageGuid);
        h.Base.Version = 4;
        h.Base.MapType = recipe.MapType;
        h.Base.ImageSize = recipe.ImageSize;
        h.Base.DataGuid = dataGuid;
        h.Base.MapDataOffset = recipe.MapDataOffset;
        if (recipe.MapType == 1) {
            h.MapReference = recipe.MapReference;
            h.MapTableSize = recipe.MapTableSize;
            h.MapPageSize = recipe.MapPageSize;
            std::memcpy(h.MapText, recipe.MapText.data(), std::min(recipe.MapText.size(), sizeof h.MapText));
            EncodeRecord(h, header, headerSize = kMapHeaderV4ExtendedSize);
        } else {
            EncodeRecord(h.Base, header, headerSize = kMapHeaderV4Size);
        }
        bodyOffset = recipe.MapDataOffset;
    }

    const std::string name = MapFileName(recipe);
    File f(std::fopen(name.c_str(), "wb"));
    if (!f) return Fail(error, "cannot create " + name);
    std::vector<std::uint8_t> gap(bodyOffset > headerSize ? bodyOffset - headerSize : 0);
    for (std::size_t i = 0; i < gap.size(); ++i) gap[i] = PatternByte(recipe.Seed + 7, headerSize + i);
    if (std::fwrite(header, 1, headerSize, f.get()) != headerSize ||
        (!gap.empty() && std::fwrite(gap.data(), 1, gap.size(), f.get()) != gap.size()))  // an empty gap has no data()
        return Fail(error, "cannot write " + name);
    if (recipe.MapType == 1 && recipe.Layout != 2) {
        std::vector<std::uint8_t> table = MakeMapTable(recipe);
        for (std::uint32_t i = 0; i < recipe.MapTrailingBytes; ++i) table.push_back(PatternByte(recipe.Seed + 9, i));
        if (std::fwrite(table.data(), 1, table.size(), f.get()) != table.size()) return Fail(error, "cannot write " + name);
    } else {
        std::uint8_t page[kPage];
        for (std::uint32_t i = 0; i < MapPageCount(recipe); ++i) {
            MakeMapPage(recipe, i, page);
            if (std::fwrite(page, 1, kPage, f.get()) != kPage) return Fail(error, "cannot write " + name);
        }
    }
    if (std::fflush(f.get()) != 0) return Fail(error, "cannot write " + name);
    return true;
}

}  // namespace

std::uint8_t PatternByte(std::uint32_t seed, std::uint64_t offset) {
    return static_cast<std::uint8_t>(Mix((static_cast<std::uint64_t>(seed) << 40) ^ (offset >> 2)) >> (8 * (offset & 3)));
}

std::uint32_t MapPageCount(const ImageRecipe& recipe) {
    return recipe.MapPages != 0 ? recipe.MapPages : recipe.ImageSize / 1024 + (recipe.ImageSize % 1024 != 0);
}

bool MapPageDropped(const ImageRecipe& recipe, std::uint32_t index) {
    switch (recipe.Content) {
    case MapContent::Used: return false;
    case MapContent::Empty: return true;
    case MapContent::Sparse: return recipe.DropEvery != 0 && index % recipe.DropEvery == 0;
    case MapContent::Random: {
        const std::uint32_t cluster = index / std::max<std::uint32_t>(recipe.DropCluster, 1);
        return Mix((static_cast<std::uint64_t>(recipe.Seed) << 32) | cluster) % 100 < recipe.DropPercent;
    }
    }
    return false;
}

void MakeMapPage(const ImageRecipe& recipe, std::uint32_t index, std::uint8_t* page) {
    if (MapPageDropped(recipe, index)) {
        std::memset(page, 0xFF, kPage);
        return;
    }
    // Mostly unused entries with live ones among them; the last entry of
    // every kept page is live, so no kept page is all 0xFFFFFFFF.
    for (std::uint32_t e = 0; e < 1024; ++e) {
        const std::uint32_t h = Mix((static_cast<std::uint64_t>(recipe.Seed) << 48) ^ (static_cast<std::uint64_t>(index) << 10) ^ e);
        const std::uint32_t v = (e == 1023 || h % 4 == 0) ? h % 0xFFFFFFF0u : 0xFFFFFFFFu;
        PutLe32(page, 4 * e, v);
    }
}

std::vector<std::uint8_t> MakeMapTable(const ImageRecipe& recipe) {
    std::vector<std::uint8_t> table(recipe.MapTableSize, 0xFF);
    for (std::uint32_t i = 0; i < recipe.MapTableSize && !recipe.UnusedMapTable; ++i)
        table[i] = static_cast<std::uint8_t>((i * 7 + i / 256 * 3 + recipe.Seed) & 0xFF);
    return table;
}

std::string MapFileName(const ImageRecipe& recipe) { return recipe.MapBase + ".nbbitmap"; }
std::string DataFileName(const ImageRecipe& recipe) { return recipe.DataBase + ".nbdata"; }
std::string MetadataFileName(const ImageRecipe& recipe, std::size_t i) { return recipe.MetadataBases.at(i) + ".nbmetadata"; }

bool WriteImage(const ImageRecipe& recipe, std::string* error) {
    if (recipe.Layout < 2 || recipe.Layout > 4) {
        if (error != nullptr) *error = "layout must be 2, 3 or 4";
        return false;
    }
    if (recipe.MetadataBases.empty()) {
        if (error != nullptr) *error = "an image needs at least one metadata file";
        return false;
    }
    if (!WriteMap(recipe, error)) return false;

    std::uint8_t header[kMetadataHeaderV4Size] = {};
    std::size_t size = 0;
    if (recipe.Layout == 2) {
        DataHeaderV2 h {};
        Prefix(h.Prefix, "NBD2", NB_V2_DATA_HEADER_LENGTH, recipe.DataGuid);
        h.BlockSize = recipe.BlockSize;
        h.ImageParameterA = recipe.ImageParameterA;
        EncodeRecord(h, header, size = kDataHeaderV2Size);
    } else if (recipe.Layout == 3) {
        DataHeaderV3 h {};
        Prefix(h.Prefix, "NBD3", NB_V3_DATA_HEADER_LENGTH, recipe.DataGuid);
        h.BlockSize = recipe.BlockSize;
        EncodeRecord(h, header, size = kDataHeaderV3Size);
    } else {
        DataHeaderV4 h {};
        Prefix(h.Prefix, "NBD4", kDataHeaderV4Size, recipe.DataGuid);
        h.Version = 4;
        h.BlockSize = recipe.BlockSize;
        EncodeRecord(h, header, size = kDataHeaderV4Size);
    }
    const std::uint64_t dataBytes =
        recipe.DataBytes != 0 ? recipe.DataBytes : static_cast<std::uint64_t>(recipe.ImageSize) * recipe.BlockSize;
    if (!WriteFile(DataFileName(recipe), header, size, dataBytes, recipe.Seed + 1, error)) return false;

    for (std::size_t i = 0; i < recipe.MetadataBases.size(); ++i) {
        const std::uint64_t guid = recipe.MetadataNamesDataGuid ? recipe.DataGuid : 0;
        const auto fileA = static_cast<std::uint32_t>(100 + i), fileB = static_cast<std::uint32_t>(200 + i);
        // The fields that layouts 3 and 4 share in their metadata headers.
        const auto fillShared = [&](auto& h) {
            h.ImageParameterA = recipe.ImageParameterA;
            h.MetadataAlignment = recipe.MetadataAlignment;
            h.FileParameterA = fileA;
            h.FileParameterB = fileB;
            h.ImageParameterC = recipe.ImageParameterC;
        };
        if (recipe.Layout == 2) {
            MetadataHeaderV2 h {};
            Prefix(h.Prefix, "NBT2", NB_V2_METADATA_HEADER_LENGTH, guid);
            h.MetadataAlignment = recipe.MetadataAlignment;
            h.FileParameterA = fileA;
            EncodeRecord(h, header, size = kMetadataHeaderV2Size);
        } else if (recipe.Layout == 3) {
            MetadataHeaderV3 h {};
            Prefix(h.Prefix, "NBT3", NB_V3_METADATA_HEADER_LENGTH, 0);
            fillShared(h);
            EncodeRecord(h, header, size = kMetadataHeaderV3Size);
        } else {
            MetadataHeaderV4 h {};
            Prefix(h.Prefix, "NBT4", kMetadataHeaderV4Size, guid);
            h.Version = 4;
            fillShared(h);
            EncodeRecord(h, header, size = kMetadataHeaderV4Size);
        }
        if (!WriteFile(MetadataFileName(recipe, i), header, size, recipe.MetadataBytes, recipe.Seed + 2 + static_cast<std::uint32_t>(i), error))
            return false;
    }
    return true;
}
