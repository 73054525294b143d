// What every legacy reader does with each file: open it for reading, measure
// it, refuse it when it is too short for its header, read the header.
#pragma once
#include <cstdint>

#include "legacy/image_parameters.h"
#include "platform/file.h"

// Opens an existing file for reading (shared for reading) and stores its size;
// 13 when it is shorter than minimum. The file stays open for the caller.
NbResult NbOpenLegacyFile(CNimbraFile& file, const char* name, std::uint64_t minimum, std::uint64_t* size);

// The data file's size in blocks, rounded up or down; 13 (with a trace line
// naming the reader) when the block size is 0 or the count is 0 or does not
// fit the 32 bits a version 6 data header has for block numbers.
NbResult NbDataBlocks(const char* reader, const char* dataFileName, std::uint64_t dataFileSize,
                      std::uint32_t blockSize, bool roundUp, std::uint32_t* dataBlocks);

// 13, with a trace line, for a metadata alignment of 0 (the writer divides by it).
NbResult NbCheckMetadataAlignment(const char* reader, const char* metadataFileName, std::uint32_t alignment);

// Copies an extension's text up to its first NUL, at most limit characters,
// and terminates it.
void NbCopyMapText(ImageParameters* parameters, const char* text, std::uint32_t limit);

// The first metadata file gives the image parameters that every metadata
// header repeats; each later one must repeat them (13, with a trace line
// naming the file, at the first that does not).
NbResult NbTakeImageParameters(const char* reader, std::uint32_t index, const char* metadataFileName,
                               std::uint16_t imageParameterC, std::uint32_t metadataAlignment,
                               std::uint32_t imageParameterA, ImageParameters* parameters);
