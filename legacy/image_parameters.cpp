#include "legacy/image_parameters.h"

#include <cstring>

void NbConvertInitParameters(ImageParameters* parameters, MetadataFileParameters* metadataFileParameters,
                             std::uint32_t count) {
    std::memset(parameters, 0, sizeof *parameters);
    parameters->BlockSize = NB_DEFAULT_BLOCK_SIZE;
    parameters->ImageParameterA = NB_DEFAULT_IMAGE_PARAMETER_A;
    parameters->MetadataAlignment = NB_DEFAULT_METADATA_ALIGNMENT;
    parameters->MapDataOffset = NB_DEFAULT_MAP_DATA_OFFSET;
    parameters->MapPageSize = NB_DEFAULT_MAP_PAGE_SIZE;
    if (metadataFileParameters != nullptr)
        std::memset(metadataFileParameters, 0, sizeof(MetadataFileParameters) * count);
}
