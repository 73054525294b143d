// Version detection and the readers of header layouts 2, 3 and 4. None of
// them changes a file; each fills ImageParameters and one
// MetadataFileParameters per metadata file.
#pragma once
#include <cstdint>

#include "legacy/image_parameters.h"
#include "platform/result.h"

NbResult NbConvertGetVersion(const char* dataFileName, const char* mapFileName, const char* metadataFileName,
                             std::uint32_t& version);

NbResult NbConvertFromV2(const char* dataFileName, const char* mapFileName, const char* metadataFileName,
                         ImageParameters* parameters, MetadataFileParameters* metadataFileParameters);

NbResult NbConvertFromV3(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                         std::uint16_t metadataFileCount, ImageParameters* parameters,
                         MetadataFileParameters* metadataFileParameters);

NbResult NbConvertFromV4(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                         std::uint16_t metadataFileCount, ImageParameters* parameters,
                         MetadataFileParameters* metadataFileParameters);
