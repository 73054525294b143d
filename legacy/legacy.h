// Version detection and the readers of header layouts 2, 3 and 4. None of
// them changes a file; each fills ImageParameters and one
// MetadataFileParameters per metadata file.
#pragma once
#include <cstdint>

#include "legacy/image_parameters.h"
#include "platform/result.h"

[[nodiscard]] NbResult NbConvertGetVersion(const char* dataFileName, const char* mapFileName, const char* metadataFileName,
                             std::uint32_t& version);

// Which kind of image file a single file is, for the one-file check below.
enum class NbLegacyFile { Map, Data, Metadata };

// Whether this one file holds a header of layout 2, 3 or 4 by the rules
// detection applies to it (its header length, or the version field of
// layout 4). Asked before a backup of the file is replaced; quiet, since the
// caller says what it found. 2 when the file is missing.
[[nodiscard]] NbResult NbFileHoldsLegacyHeader(const char* fileName, NbLegacyFile kind, bool* legacy);

[[nodiscard]] NbResult NbConvertFromV2(const char* dataFileName, const char* mapFileName, const char* metadataFileName,
                         ImageParameters* parameters, MetadataFileParameters* metadataFileParameters);

[[nodiscard]] NbResult NbConvertFromV3(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                         std::uint16_t metadataFileCount, ImageParameters* parameters,
                         MetadataFileParameters* metadataFileParameters);

[[nodiscard]] NbResult NbConvertFromV4(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                         std::uint16_t metadataFileCount, ImageParameters* parameters,
                         MetadataFileParameters* metadataFileParameters);
