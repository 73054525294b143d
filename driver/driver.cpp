#include "driver/driver.h"

#include <cstdint>
#include <memory>
#include <new>

#include "driver/backup.h"
#include "legacy/legacy.h"
#include "platform/format.h"
#include "platform/trace.h"
#include "version6/version6.h"

namespace {

constexpr char kMain[] = "main";
constexpr std::uint32_t kNameSize = 512;
constexpr int kMaxMetadataFiles = 65535;  // the count is 16 bits

// The metadata file names: an array of pointers, each to a buffer of its own,
// null until it exists. Freed, buffers first, when the run ends.
class MetadataNames {
public:
    explicit MetadataNames(std::uint16_t count) : count_(count), names_(new (std::nothrow) char*[count]()) {}
    ~MetadataNames() {
        if (!names_) return;
        for (std::uint16_t i = 0; i < count_; ++i) delete[] names_[i];
    }
    MetadataNames(const MetadataNames&) = delete;
    MetadataNames& operator=(const MetadataNames&) = delete;

    bool Exists() const { return names_ != nullptr; }
    bool AllocateName(std::uint16_t i) { return (names_[i] = new (std::nothrow) char[kNameSize]) != nullptr; }
    char** Array() const { return names_.get(); }
    char* operator[](std::uint16_t i) const { return names_[i]; }

private:
    std::uint16_t count_;
    std::unique_ptr<char*[]> names_;
};

void PrintBackupFailure(const char* fileName, NbResult code) {
    NbPrint("%s: Could not create backup file [%s.backup]. Error %u\nCheck if it already exists\n", kMain, fileName,
            code);
}

void RevertAndReport(const char* fileName) {
    const NbResult code = NbConvertRevertFromBackup(fileName);
    if (code == NB_OK)
        NbPrint("%s: File [%s] reverted successfully\n", kMain, fileName);
    else
        NbPrint("%s: File [%s] revertion failed. Error %u. Consider reverting it manually\n", kMain, fileName, code);
}

void PrintReadFailure(std::uint32_t version, NbResult code) {
    if (version == 4)
        NbPrint("%s: Error while converting. Error %d\n", kMain, code);
    else
        NbPrint("%s: Error while parsing headers. Error %u. No changes to the image were made\n", kMain, code);
}

// The reading and changing stages, once every file is named and backed up.
void Convert(const char* mapName, const char* dataName, const MetadataNames& metadataNames, std::uint16_t count,
             MetadataFileParameters* records) {
    std::uint32_t version = 0;
    NbResult code = NbConvertGetVersion(dataName, mapName, metadataNames[0], version);
    if (code != NB_OK || version == 0) {
        NbPrint("%s: Could not get correct version. Error %u\n", kMain, code);
        return;
    }
    NbPrint("%s: Version of image headers is %d\n", kMain, version);
    if (version >= 6) {
        NbPrint("No conversion is needed\n");
        return;
    }
    NbPrint("%s: Starting conversion.\n", kMain);
    NbPrint("%s: Parsing image headers\n", kMain);

    ImageParameters parameters;
    switch (version) {
    case 2:
        // The layout has one metadata file; records the reader did not fill
        // must never reach the rewrite.
        code = count == 1 ? NbConvertFromV2(dataName, mapName, metadataNames[0], &parameters, records)
                          : NB_INVALID_PARAMETER;
        break;
    case 3: code = NbConvertFromV3(dataName, mapName, metadataNames.Array(), count, &parameters, records); break;
    case 4: code = NbConvertFromV4(dataName, mapName, metadataNames.Array(), count, &parameters, records); break;
    default: NbPrint("%s: That version is unsupported\n", kMain); return;
    }
    const bool relocate = version != 4;
    if (code == NB_OK) {
        // Refuse, while nothing is changed yet, an image the rewrite could
        // not place, judged as the rewrite will find the map.
        ImageParameters after = parameters;
        std::uint64_t bodyBytes = 0, bodyOffset = 0;
        if (relocate) {
            NbFollowRelocation(&after, NB_LEGACY_MAP_DATA_OFFSET, NB_V6_MAP_DATA_OFFSET);
            bodyBytes = parameters.MapFileSize > NB_LEGACY_MAP_DATA_OFFSET ? parameters.MapFileSize - NB_LEGACY_MAP_DATA_OFFSET : 0;
            bodyOffset = NB_V6_MAP_DATA_OFFSET;
        } else {
            bodyBytes = parameters.MapFileSize > parameters.MapDataOffset ? parameters.MapFileSize - parameters.MapDataOffset : 0;
        }
        code = NbCheckConvertible(after, bodyBytes, bodyOffset);
    }
    if (code != NB_OK) {
        PrintReadFailure(version, code);
        return;
    }

    if (relocate) {
        code = NbAdjustDataOffset(mapName, NB_LEGACY_MAP_DATA_OFFSET, NB_V6_MAP_DATA_OFFSET);
        if (code != NB_OK) {
            NbPrint("%s: Error while converting map file %s. Error %d\n", kMain, mapName, code);
            RevertAndReport(mapName);
            return;
        }
        NbFollowRelocation(&parameters, NB_LEGACY_MAP_DATA_OFFSET, NB_V6_MAP_DATA_OFFSET);
    } else if (parameters.MapType == 0 && parameters.MapFileSize > NB_BACKUP_LENGTH) {
        // The compaction moves pages beyond the head backup; without a whole
        // copy a failure there could not be undone.
        code = NbConvertExtendBackupFile(mapName, parameters.MapFileSize);
        if (code != NB_OK) {
            PrintBackupFailure(mapName, code);
            return;
        }
    }

    NbPrint("%s: Image size %d blocks, block size %d\n", kMain, parameters.ImageSize, parameters.BlockSize);
    NbPrint("%s: Replacing headers with new...\n", kMain);
    code = NbConvertToV6(dataName, mapName, metadataNames.Array(), count, &parameters, records);
    if (code == NB_OK) {
        NbPrint("%s: Finished successfully!\n", kMain);
        return;
    }
    NbPrint("%s: Failed. Error %u. Now reverting to backup\n", kMain, code);
    RevertAndReport(mapName);
    RevertAndReport(dataName);
    for (std::uint16_t i = 0; i < count; ++i) RevertAndReport(metadataNames[i]);
}

}  // namespace

int NbConvertMain(int argc, char** argv) {
    NbTraceLevel = 1;
    if (argc < 4 || argc - 3 > kMaxMetadataFiles) {
        NbPrint("NimbraConvert.exe <.nbbitmap location> <.nbdata location> <.nbmetadata location> [<.nbmetadata location>]\n");
        NbPrint("NimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img\n");
        NbPrint("NimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img d:\\images\\img\n");
        NbPrint("--- %s %u #1\n", kMain, NB_INVALID_PARAMETER);
        return static_cast<int>(NB_INVALID_PARAMETER);
    }

    char mapName[kNameSize];
    char dataName[kNameSize];
    NbResult code = NbFormatString(mapName, kNameSize, "%s.nbbitmap", argv[1]);
    if (code != NB_OK) {
        NbPrint("%s: Could not create a correct name from [%s.nbbitmap]. Error %u\n", kMain, argv[1], code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    code = NbConvertCreateBackupFile(mapName, NB_BACKUP_LENGTH);
    if (code != NB_OK) {
        PrintBackupFailure(mapName, code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    code = NbFormatString(dataName, kNameSize, "%s.nbdata", argv[2]);
    if (code != NB_OK) {
        NbPrint("%s: Could not create a correct name from [%s.nbdata]. Error %u\n", kMain, argv[2], code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    code = NbConvertCreateBackupFile(dataName, NB_BACKUP_LENGTH);
    if (code != NB_OK) {
        PrintBackupFailure(dataName, code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }

    const auto count = static_cast<std::uint16_t>(argc - 3);
    std::unique_ptr<MetadataFileParameters[]> records(new (std::nothrow) MetadataFileParameters[count]);
    MetadataNames names(count);
    if (!records || !names.Exists()) {
        NbPrint("%s: Could not allocate memory for %u metadata files\n", kMain, static_cast<unsigned>(count));
        return 0;
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        const char* base = argv[3 + i];
        if (!names.AllocateName(i)) {
            NbPrint("%s: Could not allocate memory for [%s.nbmetadata]\n", kMain, base);
            return 0;
        }
        code = NbFormatString(names[i], kNameSize, "%s.nbmetadata", base);
        if (code != NB_OK) {
            NbPrint("%s: Could not create a correct name from %s. Error %u\n", kMain, names[i], code);
            return 0;
        }
        code = NbConvertCreateBackupFile(names[i], NB_BACKUP_LENGTH);
        if (code != NB_OK) {
            PrintBackupFailure(names[i], code);
            return 0;
        }
    }
    Convert(mapName, dataName, names, count, records.get());
    return 0;
}
