// nbmkimage: writes a sample legacy image (layout 2, 3 or 4) for trying the
// converter. Every option maps onto one field of ImageRecipe; nothing is
// written unless the whole command line makes sense.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tools/image_maker.h"

namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: nbmkimage [options] MAPBASE DATABASE METADATABASE [METADATABASE...]\n"
    "Writes MAPBASE.nbbitmap, DATABASE.nbdata and one METADATABASE.nbmetadata per base.\n"
    "  --layout 2|3|4          header layout (2)\n"
    "  --image-size BLOCKS     image size in blocks (40960)\n"
    "  --block-size BYTES      bytes per block (512)\n"
    "  --image-guid N          image identifier, 0 leaves it zero (0)\n"
    "  --data-guid N           data file identifier, 0 leaves it zero (0)\n"
    "  --map-type 0|1          plain map or extended map with a table, layouts 3 and 4 (0)\n"
    "  --map-content used|sparse|empty|random   which map pages hold live entries (sparse)\n"
    "  --drop-every N          sparse: every N-th page is unused (3)\n"
    "  --drop-percent P        random: chance in percent that a page is unused (30)\n"
    "  --drop-cluster N        random: pages are dropped or kept N at a time (1)\n"
    "  --seed N                seed of the map pages and file contents (1)\n"
    "  --map-pages N           pages of a plain map (one per 1024 blocks)\n"
    "  --map-data-offset N     where the map's data begins: layout 4, layout 3 type 1 (4096)\n"
    "  --map-table-size N      bytes of the type 1 map table (4096)\n"
    "  --map-page-size N       page size of a type 1 map (65536)\n"
    "  --map-text TEXT         text of a type 1 map header\n"
    "  --data-size BYTES       data file size (image size x block size)\n"
    "  --metadata-size BYTES   size of each metadata file (262144)\n"
    "  --help                  print this text\n"
    "Files shorter than 135168 bytes cannot be backed up by the converter.\n";

// A command-line fault: one line on stderr, exit status 2.
struct UsageError {
    std::string Message;
};

std::uint64_t Number(std::string_view option, const std::string& text, std::uint64_t max) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        throw UsageError {std::string(option) + " needs a non-negative number, not '" + text + "'"};
    errno = 0;
    char* end = nullptr;
    // Decimal, or hexadecimal after 0x; a leading zero does not mean octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    const unsigned long long value = std::strtoull(digits, &end, hex ? 16 : 10);
    if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(*digits))) throw UsageError {std::string(option) + " needs a number, not '" + text + "'"};
    if (errno == ERANGE || value > max)
        throw UsageError {std::string(option) + " value " + text + " is out of range (at most " + std::to_string(max) + ")"};
    return value;
}

std::uint32_t U32(std::string_view option, const std::string& text) {
    return static_cast<std::uint32_t>(Number(option, text, 0xFFFFFFFFull));
}

MapContent Content(const std::string& text) {
    if (text == "used") return MapContent::Used;
    if (text == "sparse") return MapContent::Sparse;
    if (text == "empty") return MapContent::Empty;
    if (text == "random") return MapContent::Random;
    throw UsageError {"--map-content must be used, sparse, empty or random, not '" + text + "'"};
}

constexpr std::string_view kOptions[] = {
    "--layout", "--image-size", "--block-size", "--image-guid", "--data-guid", "--map-type",
    "--map-content", "--drop-every", "--drop-percent", "--drop-cluster", "--seed", "--map-pages", "--map-data-offset",
    "--map-table-size", "--map-page-size", "--map-text", "--data-size", "--metadata-size"};

// Applies one option with its value to the recipe.
void Apply(std::string_view option, const std::string& value, ImageRecipe& recipe) {
    if (option == "--layout") {
        recipe.Layout = U32(option, value);
        if (recipe.Layout < 2 || recipe.Layout > 4) throw UsageError {"--layout must be 2, 3 or 4, not " + value};
    } else if (option == "--image-size") {
        recipe.ImageSize = U32(option, value);
    } else if (option == "--block-size") {
        recipe.BlockSize = U32(option, value);
        if (recipe.BlockSize == 0) throw UsageError {"--block-size must not be 0"};
    } else if (option == "--image-guid") {
        recipe.ImageGuid = Number(option, value, ~0ull);
    } else if (option == "--data-guid") {
        recipe.DataGuid = Number(option, value, ~0ull);
    } else if (option == "--map-type") {
        recipe.MapType = static_cast<std::uint16_t>(Number(option, value, 0xFFFF));
        if (recipe.MapType > 1) throw UsageError {"--map-type must be 0 or 1, not " + value};
    } else if (option == "--map-content") {
        recipe.Content = Content(value);
    } else if (option == "--drop-every") {
        recipe.DropEvery = U32(option, value);
    } else if (option == "--drop-percent") {
        recipe.DropPercent = static_cast<std::uint32_t>(Number(option, value, 100));
    } else if (option == "--drop-cluster") {
        recipe.DropCluster = U32(option, value);
        if (recipe.DropCluster == 0) throw UsageError {"--drop-cluster must be at least 1"};
    } else if (option == "--seed") {
        recipe.Seed = U32(option, value);
    } else if (option == "--map-pages") {
        recipe.MapPages = U32(option, value);
    } else if (option == "--map-data-offset") {
        recipe.MapDataOffset = U32(option, value);
    } else if (option == "--map-table-size") {
        recipe.MapTableSize = U32(option, value);
    } else if (option == "--map-page-size") {
        recipe.MapPageSize = U32(option, value);
    } else if (option == "--map-text") {
        recipe.MapText = value;
    } else if (option == "--data-size") {
        recipe.DataBytes = Number(option, value, ~0ull);
    } else if (option == "--metadata-size") {
        recipe.MetadataBytes = Number(option, value, ~0ull);
    } else {
        throw UsageError {"unknown option " + std::string(option) + " (see --help)"};
    }
}

// Parses the whole command line into recipe; true when --help was asked for.
bool Parse(int argc, char** argv, ImageRecipe& recipe) {
    std::vector<std::string> bases;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnded || word.size() < 2 || word.compare(0, 2, "--") != 0) {
            if (!optionsEnded && word.size() > 1 && word[0] == '-')
                throw UsageError {"unknown option " + word + " (see --help)"};
            bases.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "--help") return true;
        const std::size_t equals = word.find('=');
        const std::string option = word.substr(0, equals);
        bool known = false;
        for (const std::string_view o : kOptions) known = known || o == option;
        if (!known) throw UsageError {"unknown option " + option + " (see --help)"};
        if (equals != std::string::npos) {
            Apply(option, word.substr(equals + 1), recipe);
        } else if (i + 1 < argc) {
            Apply(option, argv[++i], recipe);
        } else {
            throw UsageError {option + " needs a value"};
        }
    }
    if (bases.size() < 3)
        throw UsageError {"give a map base, a data base and at least one metadata base (see --help)"};
    if (recipe.Layout == 2 && recipe.MapType != 0) throw UsageError {"--map-type 1 needs --layout 3 or 4"};
    recipe.MapBase = bases[0];
    recipe.DataBase = bases[1];
    recipe.MetadataBases.assign(bases.begin() + 2, bases.end());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    ImageRecipe recipe;
    try {
        if (Parse(argc, argv, recipe)) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    } catch (const UsageError& e) {
        std::fprintf(stderr, "nbmkimage: %s\n", e.Message.c_str());
        return kUsageError;
    }
    std::string error;
    if (!WriteImage(recipe, &error)) {
        std::fprintf(stderr, "nbmkimage: %s\n", error.c_str());
        return 1;
    }
    std::string names = MapFileName(recipe) + " " + DataFileName(recipe);
    // Appended in two steps: g++ 12 at -O3 warns (-Wrestrict) on " " + a temporary.
    for (std::size_t i = 0; i < recipe.MetadataBases.size(); ++i) (names += ' ') += MetadataFileName(recipe, i);
    std::printf("nbmkimage: wrote layout %u image: %s\n", recipe.Layout, names.c_str());
    return 0;
}
