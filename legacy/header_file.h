// What every legacy reader does with each file: open it for reading, measure
// it, refuse it when it is too short for its header, read the header.
#pragma once
#include <cstdint>

#include "legacy/image_parameters.h"
#include "platform/buffer.h"
#include "platform/file.h"
#include "platform/record_io.h"

// Opens an existing file for reading (shared for reading) and stores its size;
// 13 when it is shorter than minimum. The file stays open for the caller.
[[nodiscard]] NbResult NbOpenLegacyFile(CNimbraFile& file, const char* name, std::uint64_t minimum, std::uint64_t* size);

// The data file's size in blocks, rounded up or down; 13 (with a trace line
// naming the reader) when the block size is 0 or the count is 0 or does not
// fit the 32 bits a version 6 data header has for block numbers.
[[nodiscard]] NbResult NbDataBlocks(const char* reader, const char* dataFileName, std::uint64_t dataFileSize,
                      std::uint32_t blockSize, bool roundUp, std::uint32_t* dataBlocks);

// 13, with a trace line, for a metadata alignment of 0 (the writer divides by it).
[[nodiscard]] NbResult NbCheckMetadataAlignment(const char* reader, const char* metadataFileName, std::uint32_t alignment);

// Copies an extension's text up to its first NUL, at most limit characters,
// and terminates it.
void NbCopyMapText(ImageParameters* parameters, const char* text, std::uint32_t limit);

// The first metadata file gives the image parameters that every metadata
// header repeats; each later one must repeat them (13, with a trace line
// naming the file, at the first that does not).
[[nodiscard]] NbResult NbTakeImageParameters(const char* reader, std::uint32_t index, const char* metadataFileName,
                               std::uint16_t imageParameterC, std::uint32_t metadataAlignment,
                               std::uint32_t imageParameterA, ImageParameters* parameters);

// 13, with a trace line naming both files, for two data identifiers that
// should be one: "Data GUID of file [data] (a) is not the one in map file [map] (b)".
// Layout 4 gives the line at level 0. Layouts 2 and 3 give the mismatch no
// line of its own: there it is a detail (level 3), which a run never writes
// and nbinfo shows as the reason.
[[nodiscard]] NbResult NbRefuseDataGuid(const char* reader, std::uint32_t level, const char* fileName, std::uint64_t guid,
                          const char* otherKind, const char* otherName, std::uint64_t otherGuid);

// 13, with a trace line, for a metadata file whose header is not in the
// layout detection found (a layout 6 file left by a failed revert, say).
[[nodiscard]] NbResult NbRefuseOtherLayout(const char* reader, const char* fileName, std::uint32_t layout, std::uint32_t headerLength,
                             std::uint32_t version);

// The argument check and parameter trace that the readers of layouts 3 and
// 4 open with: 87, with a trace line, for a missing name or names array.
[[nodiscard]] NbResult NbCheckReaderArguments(const char* reader, const char* dataFileName, const char* mapFileName,
                                char** metadataFileNames, std::uint16_t metadataFileCount);

// Opens the file, refuses it below headerSize bytes, reads and decodes its
// header. The file stays open.
template <class Header>
[[nodiscard]] NbResult NbReadLegacyHeader(CNimbraFile& file, const char* name, std::uint32_t headerSize, std::uint64_t* fileSize,
                            std::uint8_t* bytes, Header* header) {
    NbResult code = NbOpenLegacyFile(file, name, headerSize, fileSize);
    if (code == NB_OK) code = file.SeekRead(0, bytes, headerSize, nullptr);
    if (code == NB_OK) *header = DecodeRecord<Header>(bytes);
    return code;
}

// Reads the header of every metadata file into its slot of headers (file i
// at headerSize x i), records the file's own values and checks the image
// parameters it repeats; checkFile(name, header) judges its layout and identifier.
// Stops at the first file that fails.
template <class Header, class CheckFile>
[[nodiscard]] NbResult NbReadMetadataHeaders(const char* reader, CNimbraFile& file, CNimbraBuffer& headers, std::uint32_t headerSize,
                               char** names, std::uint16_t count, ImageParameters* parameters,
                               MetadataFileParameters* records, CheckFile checkFile) {
    for (std::uint16_t i = 0; i < count; ++i) {
        std::uint8_t* slot = headers.Data != nullptr ? headers.Data + static_cast<std::size_t>(headerSize) * i : nullptr;
        std::uint64_t size = 0;
        Header header {};
        NbResult code = NbReadLegacyHeader(file, names[i], headerSize, &size, slot, &header);
        if (code == NB_OK) code = checkFile(names[i], header);
        if (code != NB_OK) return code;
        records[i].FileParameterA = header.FileParameterA;
        records[i].FileParameterB = header.FileParameterB;
        records[i].Sequence = 1;
        code = NbTakeImageParameters(reader, i, names[i], header.ImageParameterC, header.MetadataAlignment,
                                     header.ImageParameterA, parameters);
        if (code != NB_OK) return code;
        (void)file.Close();
    }
    return NB_OK;
}
