#include "tests/support/conversion_rows.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/v6_expect.h"

void PrintTo(const ConversionRow& row, std::ostream* out) { *out << row.Name; }

ImageRecipe MakeRecipe(const ConversionRow& row, const TempDir& dir) {
    ImageRecipe recipe;
    recipe.Layout = row.Layout;
    recipe.MapType = row.MapType;
    recipe.Content = row.Content;
    recipe.DropEvery = row.DropEvery;
    recipe.ImageSize = row.ImageSize;
    recipe.BlockSize = row.BlockSize;
    recipe.DataBytes = row.DataBytes;
    recipe.MapDataOffset = row.MapDataOffset;
    recipe.MapPages = row.MapPages;
    recipe.MapTableSize = row.MapTableSize;
    recipe.MapPageSize = row.MapPageSize;
    recipe.MetadataBytes = row.MetadataBytes;
    recipe.MetadataAlignment = row.MetadataAlignment;
    recipe.UnusedMapTable = row.UnusedTable;
    recipe.ImageParameterA = 7;
    recipe.ImageParameterC = 3;
    recipe.Seed = row.Layout * 100 + static_cast<std::uint32_t>(row.Metadata) * 10 + row.MapType;
    recipe.MapTrailingBytes = kHeadBackup;  // an extended map long enough to back up
    if (row.Guids) {
        recipe.ImageGuid = 0x1122334455667788ull;
        recipe.DataGuid = 0x8877665544332211ull;  // top bit set
    }
    if (row.TextLength != 0) recipe.MapText.clear();
    for (std::size_t i = 0; i < row.TextLength; ++i) recipe.MapText += static_cast<char>('a' + i % 26);
    recipe.MetadataBases.resize(row.Metadata);
    recipe = PlaceImage(recipe, dir);
    for (std::size_t i = 0; row.OwnFolders && i < row.Metadata; ++i) {
        std::filesystem::create_directories(dir.Path() / ("m" + std::to_string(i)));
        recipe.MetadataBases[i] = dir / ("m" + std::to_string(i) + "/img");
    }
    return recipe;
}

std::vector<std::string> ConvertedLines(std::uint32_t version, const ImageRecipe& recipe) {
    return {"main: Version of image headers is " + std::to_string(version), "main: Starting conversion.",
            "main: Parsing image headers",
            "main: Image size " + std::to_string(recipe.ImageSize) + " blocks, block size " + std::to_string(recipe.BlockSize),
            "main: Replacing headers with new...", "main: Finished successfully!"};
}

std::vector<ConversionRow> ConversionRows() {
    constexpr std::uint32_t k1M = 1048576;
    return {
        {.Name = "L2SparseNewIds", .Layout = 2},
        {.Name = "L2UsedBlock4K", .Layout = 2, .Content = MapContent::Used, .ImageSize = 40960, .BlockSize = 4096,
         .DataBytes = 409600, .Guids = true},
        {.Name = "L2EmptyBlock64K", .Layout = 2, .Content = MapContent::Empty, .ImageSize = 34000, .BlockSize = 65536,
         .DataBytes = 3 * 65536 + 100, .Guids = true},
        {.Name = "L2RandomBlock1M", .Layout = 2, .Content = MapContent::Random, .ImageSize = 35000, .BlockSize = k1M,
         .DataBytes = kHeadBackup},
        {.Name = "L3PlainSparseBlock8K", .Layout = 3, .BlockSize = 8192, .DataBytes = 200000},
        // Maps of more than one 128-page run, not a whole number of runs:
        // dropped pages fall inside runs and on their first and last pages.
        {.Name = "L2RandomTwoRunsAndAPart", .Layout = 2, .Content = MapContent::Random, .ImageSize = 1024 * 333},
        {.Name = "L4SparseDropsOnRunEdges", .Layout = 4, .DropEvery = 128, .ImageSize = 1024 * 257 - 5},
        // Long groups of kept pages across the ends of the runs, which a
        // layout 4 map shares each in one piece: groups of 99 that a run's
        // end cuts after 3 to 95 of their pages (fewer than 16, or more),
        // and groups of 299 that fill a whole run between their ends.
        {.Name = "L4PlainEvery100thPageDropped", .Layout = 4, .DropEvery = 100, .ImageSize = 1024 * 2500},
        {.Name = "L4PlainEvery300thPageDropped", .Layout = 4, .DropEvery = 300, .ImageSize = 1024 * 2500},
        // Checkpoints larger than one run are written piece by piece: a page
        // table of 140,000 entries for a short plain map, and a 600,000-byte
        // table of an extended map.
        {.Name = "L4PlainTableOfManyRuns", .Layout = 4, .Content = MapContent::Random, .ImageSize = 1024 * 140000,
         .MapPages = 40},
        {.Name = "L4ExtendedTableOfManyRuns", .Layout = 4, .MapType = 1, .MapTableSize = 600000},
        {.Name = "L3PlainRandomThreeFolders", .Layout = 3, .Content = MapContent::Random, .ImageSize = 36000,
         .Metadata = 3, .OwnFolders = true, .Guids = true, .MetadataBytes = 200000},
        {.Name = "L3PlainEmptyAlign1M", .Layout = 3, .Content = MapContent::Empty, .MetadataAlignment = k1M},
        {.Name = "L3ExtendedRelocatedTable", .Layout = 3, .MapType = 1, .BlockSize = 4096, .DataBytes = 409600,
         .TextLength = 300},
        {.Name = "L3PlainTwentyFiles", .Layout = 3, .Metadata = 20, .Guids = true, .MetadataBytes = 139264},
        {.Name = "L3ExtendedThreeFiles", .Layout = 3, .MapType = 1, .Metadata = 3, .Guids = true,
         .MapTableSize = 12000, .MapPageSize = k1M},
        {.Name = "L4PlainTwentyFiles", .Layout = 4, .Metadata = 20, .Guids = true, .MetadataBytes = 139264},
        // 31 pages kept: the map ends on a 64 KiB boundary, where the superblock goes.
        {.Name = "L4PlainFirstPageDroppedZeroIds", .Layout = 4, .DropEvery = 32, .ImageSize = 32768},
        {.Name = "L4PlainLongRandomMap", .Layout = 4, .Content = MapContent::Random, .ImageSize = 153600,
         .BlockSize = 4096, .DataBytes = 409600, .Metadata = 3, .OwnFolders = true, .Guids = true},
        {.Name = "L4PlainEmptyOffset8K", .Layout = 4, .Content = MapContent::Empty, .BlockSize = 65536,
         .DataBytes = 196608, .MapDataOffset = 8192, .MetadataAlignment = k1M},
        // A map file of exactly 196608 bytes: its first superblock lies right behind it.
        {.Name = "L4ExtendedText256", .Layout = 4, .MapType = 1, .BlockSize = 8192, .DataBytes = 204800,
         .MapDataOffset = 8192, .MapTableSize = 53248, .TextLength = 256},
        // Extended tables that look like no compacted map's: the verifier and nbinfo must not take them for one.
        {.Name = "L4ExtendedUnusedTable", .Layout = 4, .MapType = 1, .UnusedTable = true},
        {.Name = "L4ExtendedEmptyTable", .Layout = 4, .MapType = 1, .MapTableSize = 0},
        {.Name = "L3ExtendedThreeByteTable", .Layout = 3, .MapType = 1, .MapTableSize = 3},
        {.Name = "L4ExtendedTableOf4098Bytes", .Layout = 4, .MapType = 1, .MapTableSize = 4098},
        // A 4 MiB data checkpoint goes out in pieces of 1 MiB.
        {.Name = "L2Block4MCheckpointInPieces", .Layout = 2, .BlockSize = 4 * k1M, .DataBytes = kHeadBackup},
        {.Name = "L4ExtendedThreeFilesBlock1M", .Layout = 4, .MapType = 1, .BlockSize = k1M, .DataBytes = k1M + 5000,
         .Metadata = 3, .Guids = true, .MapTableSize = 12000, .MetadataBytes = 200000},
    };
}

void ExpectEveryVersion6RecordAndAnIdleSecondRun(const ImageRecipe& recipe, const TempDir& dir) {
    std::string error;
    ASSERT_TRUE(WriteImage(recipe, &error)) << error;

    // nbinfo reads the legacy layout; a write of its would show in the bytes compared below.
    const RunResult legacy = RunProgram(ToolPath("nbinfo"), ConverterArgs(recipe));
    const std::string header = "MapHeaderV" + std::to_string(recipe.Layout) + (recipe.Layout != 2 && recipe.MapType ? "Extended" : "");
    EXPECT_TRUE(legacy.ExitCode == 0 && legacy.Out.starts_with("Layout: " + std::to_string(recipe.Layout) + "\n") &&
                legacy.Out.find("\n  " + header + "\n") != std::string::npos &&
                legacy.Out.find("DataGuid: " + std::to_string(static_cast<std::int64_t>(recipe.DataGuid)) + "\n") != std::string::npos)
        << legacy.Out;

    RunResult run = RunConverter(ConverterArgs(recipe));
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(Lines(run.Out), ConvertedLines(recipe.Layout, recipe)) << run.Err;
    EXPECT_EQ(V6Mismatches(recipe), std::vector<std::string> {});

    const auto converted = Snapshot(dir.Path());
    // nbinfo finds nothing wrong in a correct conversion, and writes nothing.
    const RunResult info = RunProgram(ToolPath("nbinfo"), ConverterArgs(recipe));
    EXPECT_TRUE(info.ExitCode == 0 && info.Out.starts_with("Layout: 6\nMap file\n") && info.Out.ends_with("Result: consistent\n") &&
                info.Out.find("\nFAIL ") == std::string::npos)
        << info.Out;
    run = RunConverter(ConverterArgs(recipe));
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(Lines(run.Out), (std::vector<std::string> {"main: Version of image headers is 6", "No conversion is needed"}));
    EXPECT_EQ(Snapshot(dir.Path()), converted);
}
