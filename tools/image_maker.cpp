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

bool WriteMap(const ImageSpec& spec, std::string* error) {
    std::uint8_t header[kMapHeaderV3ExtendedSize] = {};
    std::size_t headerSize = 0;
    std::uint64_t bodyOffset = 0;  // where the map's data starts in the file
    const std::uint64_t dataGuid = spec.MapNamesDataGuid ? spec.DataGuid : 0;
    if (spec.Layout == 2) {
        MapHeaderV2 h {};
        Prefix(h.Prefix, "NBM2", NB_V2_MAP_HEADER_LENGTH, spec.ImageGuid);
        h.ImageSize = spec.ImageSize;
        h.DataGuid = dataGuid;
        EncodeRecord(h, header, headerSize = kMapHeaderV2Size);
        bodyOffset = kMapHeaderV2Size;
    } else if (spec.Layout == 3) {
        MapHeaderV3Extended h {};
        Prefix(h.Base.Prefix, "NBM3", spec.MapType == 1 ? NB_V3_MAP_EXTENDED_HEADER_LENGTH : NB_V3_MAP_HEADER_LENGTH,
               spec.ImageGuid);
        h.Base.MapType = spec.MapType;
        h.Base.ImageSize = spec.ImageSize;
        h.Base.DataGuid = dataGuid;
        if (spec.MapType == 1) {
            h.MapReference = spec.MapReference;
            h.MapDataOffset = spec.MapDataOffset;
            h.MapTableSize = spec.MapTableSize;
            h.MapPageSize = spec.MapPageSize;
            std::memcpy(h.MapText, spec.MapText.data(), std::min(spec.MapText.size(), sizeof h.MapText));
            EncodeRecord(h, header, headerSize = kMapHeaderV3ExtendedSize);
            bodyOffset = spec.MapDataOffset;
        } else {
            EncodeRecord(h.Base, header, headerSize = kMapHeaderV3Size);
            bodyOffset = kMapHeaderV3Size;
        }
    } else {
        MapHeaderV4Extended h {};
        Prefix(h.Base.Prefix, "NBM4", spec.MapType == 1 ? kMapHeaderV4ExtendedSize : kMapHeaderV4Size, spec.ImageGuid);
        h.Base.Version = 4;
        h.Base.MapType = spec.MapType;
        h.Base.ImageSize = spec.ImageSize;
        h.Base.DataGuid = dataGuid;
        h.Base.MapDataOffset = spec.MapDataOffset;
        if (spec.MapType == 1) {
            h.MapReference = spec.MapReference;
            h.MapTableSize = spec.MapTableSize;
            h.MapPageSize = spec.MapPageSize;
            std::memcpy(h.MapText, spec.MapText.data(), std::min(spec.MapText.size(), sizeof h.MapText));
            EncodeRecord(h, header, headerSize = kMapHeaderV4ExtendedSize);
        } else {
            EncodeRecord(h.Base, header, headerSize = kMapHeaderV4Size);
        }
        bodyOffset = spec.MapDataOffset;
    }

    const std::string name = MapFileName(spec);
    File f(std::fopen(name.c_str(), "wb"));
    if (!f) return Fail(error, "cannot create " + name);
    std::vector<std::uint8_t> gap(bodyOffset > headerSize ? bodyOffset - headerSize : 0);
    for (std::size_t i = 0; i < gap.size(); ++i) gap[i] = PatternByte(spec.Seed + 7, headerSize + i);
    if (std::fwrite(header, 1, headerSize, f.get()) != headerSize ||
        (!gap.empty() && std::fwrite(gap.data(), 1, gap.size(), f.get()) != gap.size()))  // an empty gap has no data()
        return Fail(error, "cannot write " + name);
    if (spec.MapType == 1 && spec.Layout != 2) {
        std::vector<std::uint8_t> table = MakeMapTable(spec);
        for (std::uint32_t i = 0; i < spec.MapTrailingBytes; ++i) table.push_back(PatternByte(spec.Seed + 9, i));
        if (std::fwrite(table.data(), 1, table.size(), f.get()) != table.size()) return Fail(error, "cannot write " + name);
    } else {
        std::uint8_t page[kPage];
        for (std::uint32_t i = 0; i < MapPageCount(spec); ++i) {
            MakeMapPage(spec, i, page);
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

std::uint32_t MapPageCount(const ImageSpec& spec) {
    return spec.MapPages != 0 ? spec.MapPages : spec.ImageSize / 1024 + (spec.ImageSize % 1024 != 0);
}

bool MapPageDropped(const ImageSpec& spec, std::uint32_t index) {
    switch (spec.Content) {
    case MapContent::Used: return false;
    case MapContent::Empty: return true;
    case MapContent::Sparse: return spec.DropEvery != 0 && index % spec.DropEvery == 0;
    case MapContent::Random: return Mix((static_cast<std::uint64_t>(spec.Seed) << 32) | index) % 100 < spec.DropPercent;
    }
    return false;
}

void MakeMapPage(const ImageSpec& spec, std::uint32_t index, std::uint8_t* page) {
    if (MapPageDropped(spec, index)) {
        std::memset(page, 0xFF, kPage);
        return;
    }
    // Mostly unused entries with live ones among them; the last entry of
    // every kept page is live, so no kept page is all 0xFFFFFFFF.
    for (std::uint32_t e = 0; e < 1024; ++e) {
        const std::uint32_t h = Mix((static_cast<std::uint64_t>(spec.Seed) << 48) ^ (static_cast<std::uint64_t>(index) << 10) ^ e);
        const std::uint32_t v = (e == 1023 || h % 4 == 0) ? h % 0xFFFFFFF0u : 0xFFFFFFFFu;
        PutLe32(page, 4 * e, v);
    }
}

std::vector<std::uint8_t> MakeMapTable(const ImageSpec& spec) {
    std::vector<std::uint8_t> table(spec.MapTableSize);
    for (std::uint32_t i = 0; i < spec.MapTableSize; ++i)
        table[i] = static_cast<std::uint8_t>((i * 7 + i / 256 * 3 + spec.Seed) & 0xFF);
    return table;
}

std::string MapFileName(const ImageSpec& spec) { return spec.MapBase + ".nbbitmap"; }
std::string DataFileName(const ImageSpec& spec) { return spec.DataBase + ".nbdata"; }
std::string MetadataFileName(const ImageSpec& spec, std::size_t i) { return spec.MetadataBases.at(i) + ".nbmetadata"; }

bool WriteImage(const ImageSpec& spec, std::string* error) {
    if (spec.Layout < 2 || spec.Layout > 4) {
        if (error != nullptr) *error = "layout must be 2, 3 or 4";
        return false;
    }
    if (spec.MetadataBases.empty()) {
        if (error != nullptr) *error = "an image needs at least one metadata file";
        return false;
    }
    if (!WriteMap(spec, error)) return false;

    std::uint8_t header[kMetadataHeaderV4Size] = {};
    std::size_t size = 0;
    if (spec.Layout == 2) {
        DataHeaderV2 h {};
        Prefix(h.Prefix, "NBD2", NB_V2_DATA_HEADER_LENGTH, spec.DataGuid);
        h.BlockSize = spec.BlockSize;
        h.ImageParameterA = spec.ImageParameterA;
        EncodeRecord(h, header, size = kDataHeaderV2Size);
    } else if (spec.Layout == 3) {
        DataHeaderV3 h {};
        Prefix(h.Prefix, "NBD3", NB_V3_DATA_HEADER_LENGTH, spec.DataGuid);
        h.BlockSize = spec.BlockSize;
        EncodeRecord(h, header, size = kDataHeaderV3Size);
    } else {
        DataHeaderV4 h {};
        Prefix(h.Prefix, "NBD4", kDataHeaderV4Size, spec.DataGuid);
        h.Version = 4;
        h.BlockSize = spec.BlockSize;
        EncodeRecord(h, header, size = kDataHeaderV4Size);
    }
    const std::uint64_t dataBytes =
        spec.DataBytes != 0 ? spec.DataBytes : static_cast<std::uint64_t>(spec.ImageSize) * spec.BlockSize;
    if (!WriteFile(DataFileName(spec), header, size, dataBytes, spec.Seed + 1, error)) return false;

    for (std::size_t i = 0; i < spec.MetadataBases.size(); ++i) {
        const std::uint64_t guid = spec.MetadataNamesDataGuid ? spec.DataGuid : 0;
        const auto fileA = static_cast<std::uint32_t>(100 + i), fileB = static_cast<std::uint32_t>(200 + i);
        if (spec.Layout == 2) {
            MetadataHeaderV2 h {};
            Prefix(h.Prefix, "NBT2", NB_V2_METADATA_HEADER_LENGTH, guid);
            h.MetadataAlignment = spec.MetadataAlignment;
            h.FileParameterA = fileA;
            EncodeRecord(h, header, size = kMetadataHeaderV2Size);
        } else if (spec.Layout == 3) {
            MetadataHeaderV3 h {};
            Prefix(h.Prefix, "NBT3", NB_V3_METADATA_HEADER_LENGTH, 0);
            h.ImageParameterA = spec.ImageParameterA;
            h.MetadataAlignment = spec.MetadataAlignment;
            h.FileParameterA = fileA;
            h.FileParameterB = fileB;
            h.ImageParameterC = spec.ImageParameterC;
            EncodeRecord(h, header, size = kMetadataHeaderV3Size);
        } else {
            MetadataHeaderV4 h {};
            Prefix(h.Prefix, "NBT4", kMetadataHeaderV4Size, guid);
            h.Version = 4;
            h.ImageParameterA = spec.ImageParameterA;
            h.MetadataAlignment = spec.MetadataAlignment;
            h.FileParameterA = fileA;
            h.FileParameterB = fileB;
            h.ImageParameterC = spec.ImageParameterC;
            EncodeRecord(h, header, size = kMetadataHeaderV4Size);
        }
        if (!WriteFile(MetadataFileName(spec, i), header, size, spec.MetadataBytes, spec.Seed + 2 + static_cast<std::uint32_t>(i), error))
            return false;
    }
    return true;
}
