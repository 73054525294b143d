#include "tests/support/v6_expect.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/checksum.h"
#include "tests/support/test_support.h"
#include "version6/verify.h"

namespace {

constexpr std::uint64_t k64K = 65536, k1M = 1048576, kPage = 4096, kHeadBackup = 135168;

std::uint64_t Up(std::uint64_t x, std::uint64_t m) { return x % m == 0 ? x : x + m - x % m; }

void Put(Bytes& b, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t Get(const Bytes& b, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width && at + i < b.size(); ++i) value |= static_cast<std::uint64_t>(b[at + i]) << (8 * i);
    return value;
}

// A zero-filled record that opens with its signature or magic.
Bytes Record(std::size_t size, const char* signature) {
    Bytes b(size, 0);
    std::memcpy(b.data(), signature, std::strlen(signature));
    return b;
}

// The three file headers share their opening: magic, own length, identifier, version 6.
Bytes FileHeader(std::size_t size, const char* magic, std::uint64_t guid) {
    Bytes b = Record(size, magic);
    Put(b, 4, size, 4);
    Put(b, 8, guid, 8);
    Put(b, 16, 6, 4);
    return b;
}

std::uint32_t Crc(const Bytes& b, std::size_t n) { return NbCrc32(b.data(), static_cast<std::uint32_t>(n)); }

// A checkpoint's two checksums: the head's over bytes 0 to 15 first, then
// the whole record's, which covers the head's.
void SealCheckpoint(Bytes& b, std::size_t crcAt) {
    Put(b, 12, Crc(b, 16), 4);
    Put(b, crcAt, Crc(b, b.size()), 4);
}

// A file as it must be: its bytes, and the records in it by name.
struct Region { std::string Name; std::uint64_t Offset, Length; };
struct Expected {
    explicit Expected(Bytes content) : Content(std::move(content)), OldLength(Content.size()) {}
    Bytes Content;
    std::uint64_t OldLength;  // behind it, what no record covers must be zero
    std::vector<Region> Regions;

    // Writes a record as the converter must, growing the file with zeros
    // when it lies behind the end.
    void Write(const std::string& name, std::uint64_t at, const Bytes& record) {
        if (Content.size() < at + record.size()) Content.resize(at + record.size(), 0);
        std::copy(record.begin(), record.end(), Content.begin() + static_cast<std::ptrdiff_t>(at));
        Regions.push_back({name, at, record.size()});
    }
};

void Compare(const std::string& file, const Bytes& actual, const Expected& expected, std::vector<std::string>& out) {
    if (actual.size() != expected.Content.size())
        out.push_back(file + ": " + std::to_string(actual.size()) + " bytes, expected " +
                      std::to_string(expected.Content.size()));
    std::vector<Region> regions = expected.Regions;
    regions.insert(regions.begin(), {Region {"unchanged content", 0, expected.OldLength},
                                     Region {"zeros behind the old end", expected.OldLength, ~0ull}});
    std::vector<std::uint64_t> count(regions.size(), 0), first(regions.size(), 0);
    const std::size_t n = std::min(actual.size(), expected.Content.size());
    for (std::size_t at = 0; at < n; ++at) {
        if (actual[at] == expected.Content[at]) continue;
        std::size_t r = regions.size() - 1;  // the latest write over a byte owns it
        while (r > 0 && (at < regions[r].Offset || at - regions[r].Offset >= regions[r].Length)) --r;
        if (count[r]++ == 0) first[r] = at;
    }
    for (std::size_t r = 0; r < regions.size(); ++r) {
        if (count[r] == 0) continue;
        const std::uint64_t at = first[r];
        out.push_back(file + ": " + regions[r].Name + ": " + std::to_string(count[r]) + " bytes differ, first at record byte " +
                      std::to_string(at - regions[r].Offset) + " (file offset " + std::to_string(at) + "): " +
                      std::to_string(actual[at]) + ", expected " + std::to_string(expected.Content[at]));
    }
}

struct Ids { std::uint64_t Image, Data; };

// The map file: compacted pages (plain map) or copied table (extended map),
// checkpoint, both superblock copies and the header.
Expected ExpectMap(const ImageRecipe& recipe, const Bytes& original, const Ids& ids) {
    const bool relocated = recipe.Layout != 4;
    const std::uint32_t type = recipe.Layout == 2 ? 0 : recipe.MapType;
    Bytes before = original;
    if (relocated) {  // the body from offset 32 now starts at 4096, behind zeros
        before.assign(kPage, 0);
        before.insert(before.end(), original.begin() + 32, original.end());
    }
    Expected f(before);
    const std::uint64_t bodyShift = relocated ? kPage - 32 : 0;
    const std::uint64_t dataOffset = type == 0 ? (relocated ? kPage : recipe.MapDataOffset) : recipe.MapDataOffset + bodyShift;
    const std::uint64_t entries = type == 0 ? (recipe.ImageSize + 1023) / 1024 : recipe.MapTableSize / 4;
    const std::uint64_t c = Up(1076 + 4 * entries, kPage);
    Bytes checkpoint = Record(c, "DDSMapCP");
    Put(checkpoint, 8, 16, 4);
    Put(checkpoint, 36, 1, 4);
    std::uint64_t s = 0, end = 0;
    if (type == 0) {
        for (std::uint64_t i = 0; i < entries; ++i) Put(checkpoint, 1076 + 4 * i, 0xFFFFFFFF, 4);
        std::uint64_t w = dataOffset, kept = 0;
        std::uint32_t pageCrc = 0;
        for (std::uint64_t r = dataOffset, i = 0; r + kPage <= before.size(); r += kPage, ++i) {
            const Bytes page(before.begin() + static_cast<std::ptrdiff_t>(r), before.begin() + static_cast<std::ptrdiff_t>(r + kPage));
            if (std::all_of(page.begin(), page.end(), [](std::uint8_t v) { return v == 0xFF; })) continue;
            if (w < r) f.Write("map page " + std::to_string(i) + " moved to " + std::to_string(w), w, page);
            pageCrc = NbCrc32Update(page.data(), kPage, pageCrc);
            if (i < entries) Put(checkpoint, 1076 + 4 * i, w / kPage, 4);
            ++kept;
            w += kPage;
        }
        Put(checkpoint, 44, kept, 4);
        Put(checkpoint, 48, pageCrc, 4);
        s = Up(w, k64K);
        end = s + 2 * k64K + c;
    } else {
        s = Up(f.Content.size(), k64K);
        end = Up(s + 2 * k64K + c, recipe.MapPageSize);
        const Bytes table = MakeMapTable(recipe);
        std::copy(table.begin(), table.end(), checkpoint.begin() + 1076);
    }
    SealCheckpoint(checkpoint, 40);
    f.Write("map checkpoint", s + 2 * k64K, checkpoint);

    Bytes superblock = Record(kPage, "DDMapSB");
    Put(superblock, 20, s + 2 * k64K, 8);
    Put(superblock, 28, c, 4);
    Put(superblock, 32, end, 8);
    Put(superblock, 16, Crc(superblock, 40), 4);
    f.Write("map superblock copy 1", s, superblock);
    f.Write("map superblock copy 2", s + k64K, superblock);

    Bytes header = FileHeader(838, "NbM*", ids.Image);
    Put(header, 20, 1, 2);
    Put(header, 22, recipe.ImageSize, 4);
    Put(header, 26, ids.Data, 8);
    Put(header, 34, s, 8);
    Put(header, 42, s + k64K, 8);
    Put(header, 50, dataOffset, 4);
    Put(header, 574, type == 0 ? 4 * entries : recipe.MapTableSize, 4);
    Put(header, 578, type == 0 ? kPage : recipe.MapPageSize, 4);
    if (type == 1) {
        Put(header, 566, recipe.MapReference, 8);
        // The old headers hold 260 (layout 3) or 256 characters, and a
        // layout 4 text keeps at most 255 of them.
        std::string text = recipe.MapText.substr(0, recipe.Layout == 3 ? 260 : 255);
        text = text.substr(0, std::min<std::size_t>(256, std::strlen(text.c_str())));
        std::memcpy(header.data() + 582, text.data(), text.size());
    }
    f.Write("map header", 0, header);
    return f;
}

Expected ExpectData(const ImageRecipe& recipe, const Bytes& original, const Ids& ids) {
    const std::uint64_t b = recipe.BlockSize, length = original.size();
    const std::uint64_t d = recipe.Layout == 2 ? (length + b - 1) / b : length / b;  // layout 2 rounds up
    const std::uint64_t s1 = (Up(d * b, k64K) + b - 1) / b;
    const std::uint64_t s2 = ((s1 + 1) * b + 65535) / b;
    const std::uint64_t k = ((s2 + 1) * b + 65535) / b;
    const std::uint64_t p = std::max<std::uint64_t>(b, kPage);
    const std::uint64_t x = (k + 1) * b;
    const std::uint64_t e = x % kPage == 0 ? k + 1 : Up(x, kPage) / b;
    Expected f(original);
    Bytes checkpoint = Record(p, "DDDataCP");
    Put(checkpoint, 8, 53, 4);
    SealCheckpoint(checkpoint, 36);
    f.Write("data checkpoint", k * b, checkpoint);
    Bytes superblock = Record(32, "DDDataSB");
    Put(superblock, 20, k, 4);
    Put(superblock, 24, p / b, 4);
    Put(superblock, 28, e, 4);
    Put(superblock, 16, Crc(superblock, 32), 4);
    f.Write("data superblock copy 1", s1 * b, superblock);
    f.Write("data superblock copy 2", s2 * b, superblock);
    Bytes header = FileHeader(36, "NbD*", ids.Data);
    Put(header, 20, b, 4);
    Put(header, 24, s1, 4);
    Put(header, 28, s2, 4);
    Put(header, 32, 1, 4);
    f.Write("data header", 0, header);
    return f;
}

Expected ExpectMetadata(const ImageRecipe& recipe, std::size_t index, const Bytes& original, const Ids& ids) {
    const std::uint64_t m1 = Up(original.size(), k64K), m2 = m1 + k64K;
    const std::uint64_t q = Up(m1 + 2 * k64K, recipe.MetadataAlignment), aligned = Up(q + kPage, k1M);
    // Per-file values as the maker writes them; layout 2 headers have no
    // second value and no ImageParameterC.
    const std::uint64_t fileA = 100 + index, fileB = recipe.Layout == 2 ? 0 : 200 + index;
    Expected f(original);
    Bytes checkpoint = Record(kPage, "DDMetaCP");
    Put(checkpoint, 8, 4096, 4);
    SealCheckpoint(checkpoint, 36);
    f.Write("metadata checkpoint", q, checkpoint);
    Bytes superblock = Record(92, "DDMetaSB");
    Put(superblock, 24, q, 8);
    Put(superblock, 32, kPage, 4);
    Put(superblock, 36, q, 8);
    Put(superblock, 44, kPage, 4);
    Put(superblock, 48, fileA, 4);
    Put(superblock, 64, q + kPage, 8);
    Put(superblock, 72, aligned, 8);
    Put(superblock, 80, aligned, 8);
    Put(superblock, 88, Crc(superblock, 92), 4);
    f.Write("metadata superblock copy 1", m1, superblock);
    f.Write("metadata superblock copy 2", m2, superblock);
    Bytes header = FileHeader(54, "NbBP", ids.Data);
    Put(header, 20, recipe.ImageParameterA, 4);
    Put(header, 24, recipe.MetadataAlignment, 4);
    Put(header, 28, recipe.Layout == 2 ? 0 : recipe.ImageParameterC, 2);
    Put(header, 30, fileB, 4);
    Put(header, 34, 1, 4);
    Put(header, 38, m1, 8);
    Put(header, 46, m2, 8);
    f.Write("metadata header", 0, header);
    return f;
}

Expected Head(const Bytes& original, std::uint64_t length) {
    return Expected(Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(length, original.size()))));
}

}  // namespace

std::vector<std::string> V6Mismatches(const ImageRecipe& recipe, const std::filesystem::path& dir) {
    std::vector<std::string> out;
    const auto at = [&](const std::string& name) { return std::filesystem::path(name).is_absolute() ? name : (dir / name).string(); };
    // The image as it was before conversion, made again by the maker.
    TempDir scratch;
    ImageRecipe fresh = recipe;
    fresh.MapBase = scratch / "map";
    fresh.DataBase = scratch / "data";
    for (std::size_t i = 0; i < fresh.MetadataBases.size(); ++i) fresh.MetadataBases[i] = scratch / ("meta" + std::to_string(i));
    std::string error;
    if (!WriteImage(fresh, &error)) return {"cannot make the original image: " + error};

    const std::string mapName = at(MapFileName(recipe));
    const Bytes map = ReadBytes(mapName), originalMap = ReadBytes(MapFileName(fresh));
    // Layouts 2 and 3 make an identifier where the old headers hold none;
    // layout 4 keeps what the headers say.
    Ids ids {recipe.ImageGuid, recipe.DataGuid};
    if (recipe.Layout != 4) {
        if (ids.Image == 0 && (ids.Image = Get(map, 8, 8)) == 0) out.push_back(mapName + ": no new image identifier");
        if (ids.Data == 0 && (ids.Data = Get(map, 26, 8)) == 0) out.push_back(mapName + ": no new data identifier");
        if (recipe.ImageGuid == 0 && recipe.DataGuid == 0 && ids.Image == ids.Data)
            out.push_back(mapName + ": the new image and data identifiers are the same");
    }
    Compare(mapName, map, ExpectMap(recipe, originalMap, ids), out);
    // Layouts 2 and 3 keep the whole previous map, as does a long plain layout
    // 4 map, whose compaction moves pages beyond the head.
    const bool wholeMap = recipe.Layout != 4 || (recipe.MapType == 0 && originalMap.size() > kHeadBackup);
    Compare(mapName + ".backup", ReadBytes(mapName + ".backup"), Head(originalMap, wholeMap ? originalMap.size() : kHeadBackup), out);

    const std::string dataName = at(DataFileName(recipe));
    const Bytes originalData = ReadBytes(DataFileName(fresh));
    Compare(dataName, ReadBytes(dataName), ExpectData(recipe, originalData, ids), out);
    Compare(dataName + ".backup", ReadBytes(dataName + ".backup"), Head(originalData, kHeadBackup), out);

    for (std::size_t i = 0; i < recipe.MetadataBases.size(); ++i) {
        const std::string name = at(MetadataFileName(recipe, i));
        const Bytes original = ReadBytes(MetadataFileName(fresh, i));
        Compare(name, ReadBytes(name), ExpectMetadata(recipe, i, original, ids), out);
        Compare(name + ".backup", ReadBytes(name + ".backup"), Head(original, kHeadBackup), out);
    }
    // The expected bytes above are worked out independently; the rules a
    // layout 6 image keeps are the verifier's, and every result keeps them.
    std::vector<std::string> metadataNames;
    for (std::size_t i = 0; i < recipe.MetadataBases.size(); ++i) metadataNames.push_back(at(MetadataFileName(recipe, i)));
    std::vector<char*> names;
    for (std::string& n : metadataNames) names.push_back(n.data());
    std::vector<NbFinding> findings;
    const NbResult code = NbVerifyV6Image(mapName.c_str(), dataName.c_str(), names.data(),
                                          static_cast<std::uint32_t>(names.size()), NbVerifyDepth::Pages, &findings);
    if (code != NB_OK) out.push_back("the verifier could not read the image: error " + std::to_string(code));
    for (const NbFinding& f : findings) out.push_back("verifier: " + NbFindingText(f));
    return out;
}
