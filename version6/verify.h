// The checks of a layout 6 image, in one place: the converter runs them on
// its result before it reports success, nbinfo reports them, the fuzzer and
// the tests hold every conversion to them. It only reads.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"
#include "version6/plan.h"
#include "version6/records.h"

// One inconsistency: the file ("map", "data", "metadata 1", or "image" for
// what ties the files together), the record in it ("MapSuperblock 2"; empty
// for the file as a whole) and a reason whose wording stays the same from
// release to release, numbers aside.
struct NbFinding {
    std::string File;
    std::string Record;
    std::string Reason;
};
// "map MapSuperblock 2: Crc is 0x..., computed 0x...".
std::string NbFindingText(const NbFinding& finding);

enum class NbVerifyDepth {
    Records,  // headers, superblocks, checkpoints, and the page table entries point inside the file
    Pages,    // also every retained map page, read once in file order, against PageCrc
};

// A record as it was read, where it lies.
template <class Record>
struct NbRecordAt {
    bool Read = false;
    std::uint64_t Offset = 0;
    Record Value {};
};

// What the checks read of one file, for a caller that shows it.
struct NbV6FileView {
    NbImageFile Kind = NbImageFile::Map;
    std::uint64_t Size = 0;
    MapHeaderV6 Map {};
    DataHeaderV6 Data {};
    MetadataHeaderV6 Metadata {};
    bool SuperblocksPlaced = false;  // the header placed them; the copies were looked for
    NbRecordAt<MapSuperblock> MapSuperblocks[2];
    NbRecordAt<DataSuperblock> DataSuperblocks[2];
    NbRecordAt<MetadataSuperblock> MetadataSuperblocks[2];
    NbRecordAt<MapCheckpointHead> MapCheckpoint;
    NbRecordAt<CheckpointHead> Checkpoint;  // data and metadata
    std::uint64_t TableEntries = 0, TableUsed = 0;
    bool CopiedTable = false;  // an extended map's table, copied as it stood
};

// Reads are declined beyond this: no record a conversion writes is larger
// (the pre-change check bounds a file's growth by it).
inline constexpr std::uint64_t NB_VERIFY_READ_LIMIT = 1ull << 30;

// Checks one file as a layout 6 file of its kind; label names it in the
// findings. A host failure (open, size, read) is a finding too, and its code
// is returned; otherwise 0, whatever was found.
[[nodiscard]] NbResult NbVerifyV6File(NbImageFile kind, const std::string& label, const char* fileName, NbVerifyDepth depth,
                        NbV6FileView* view, std::vector<NbFinding>* findings);

// What ties the files together: every file names one data file, and the
// metadata files repeat the same image-wide values. views: map, data, metadata...
void NbVerifyV6CrossCheck(const std::vector<NbV6FileView>& views, std::vector<NbFinding>* findings);

// The whole image: every file, then the cross-check.
[[nodiscard]] NbResult NbVerifyV6Image(const char* mapFileName, const char* dataFileName, char** metadataFileNames,
                         std::uint32_t metadataFileCount, NbVerifyDepth depth, std::vector<NbFinding>* findings);

// The converter's last step before it reports success: 13, with the first
// finding traced, when the converted image does not verify; a host failure's
// code when it could not be read.
[[nodiscard]] NbResult NbVerifyConversion(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                            std::uint32_t metadataFileCount);
