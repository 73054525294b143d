#include "legacy/header_file.h"
#include "legacy/legacy.h"
#include "legacy/legacy_headers.h"
#include "platform/buffer.h"
#include "platform/trace.h"

NbResult NbConvertFromV4(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                         std::uint16_t metadataFileCount, ImageParameters* parameters,
                         MetadataFileParameters* metadataFileParameters) {
    static const char kName[] = "NbConvertFromV4";
    CNimbraBuffer headers;
    headers.Allocate(static_cast<std::uint32_t>(kMetadataHeaderV4Size) * metadataFileCount, true);
    NbConvertInitParameters(parameters, metadataFileParameters, metadataFileCount);
    if (dataFileName == nullptr || mapFileName == nullptr || metadataFileNames == nullptr) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s One of the parameters is NULL [0x%p 0x%p 0x%p]\n", kName,
                dataFileName, mapFileName, static_cast<void*>(metadataFileNames));
        NB_RETURN(kName, NB_INVALID_PARAMETER);
    }
    NbTrace(NB_TRACE_DETAIL, NbTraceContext, "*** %s Proceeding with parameters: 0x%p[%s] 0x%p[%s] 0x%p[%s] %d\n", kName,
            dataFileName, dataFileName, mapFileName, mapFileName, metadataFileNames[0], metadataFileNames[0],
            static_cast<int>(metadataFileCount));

    std::uint8_t bytes[kMapHeaderV4ExtendedSize] = {};
    CNimbraFile file;
    std::uint64_t size = 0;

    NbResult code = NbOpenLegacyFile(file, mapFileName, kMapHeaderV4Size, &size);
    if (code == NB_OK) code = file.SeekRead(0, bytes, kMapHeaderV4Size, nullptr);
    if (code != NB_OK) NB_RETURN(kName, code);
    const auto map = DecodeRecord<MapHeaderV4>(bytes);
    parameters->ImageGuid = map.Prefix.Guid;
    parameters->MapDataOffset = map.MapDataOffset;
    parameters->ImageSize = map.ImageSize;
    parameters->MapType = map.MapType;
    parameters->DataGuid = map.DataGuid;
    parameters->MapFileSize = size;
    if (map.MapType == 1) {
        if (size < kMapHeaderV4ExtendedSize) NB_RETURN(kName, NB_INVALID_DATA);
        code = file.SeekRead(0, bytes, kMapHeaderV4ExtendedSize, nullptr);
        if (code != NB_OK) NB_RETURN(kName, code);
        const auto extended = DecodeRecord<MapHeaderV4Extended>(bytes);
        parameters->MapTableSize = extended.MapTableSize;
        parameters->MapTableEntries = extended.MapTableSize / 4;
        parameters->MapPageSize = extended.MapPageSize;
        parameters->MapReference = extended.MapReference;
        NbCopyMapText(parameters, extended.MapText, sizeof extended.MapText - 1);
    }
    file.Close();

    code = NbOpenLegacyFile(file, dataFileName, kDataHeaderV4Size, &size);
    if (code == NB_OK) code = file.SeekRead(0, bytes, kDataHeaderV4Size, nullptr);
    if (code != NB_OK) NB_RETURN(kName, code);
    const auto data = DecodeRecord<DataHeaderV4>(bytes);
    parameters->BlockSize = data.BlockSize;
    code = NbDataBlocks(kName, dataFileName, size, data.BlockSize, false, &parameters->DataBlocks);
    if (code != NB_OK) NB_RETURN(kName, code);
    parameters->DataSequence = 1;
    file.Close();

    for (std::uint16_t i = 0; i < metadataFileCount; ++i) {
        const char* name = metadataFileNames[i];
        std::uint8_t* slot = headers.Data != nullptr ? headers.Data + kMetadataHeaderV4Size * i : nullptr;
        code = NbOpenLegacyFile(file, name, kMetadataHeaderV4Size, &size);
        if (code == NB_OK) code = file.SeekRead(0, slot, kMetadataHeaderV4Size, nullptr);
        if (code != NB_OK) NB_RETURN(kName, code);
        const auto metadata = DecodeRecord<MetadataHeaderV4>(slot);
        if (metadata.Prefix.Guid != parameters->DataGuid) {
            NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Metadata GUID of file [%s] is not %I64d\n", kName,
                    NB_INVALID_DATA, name, static_cast<std::int64_t>(parameters->DataGuid));
            NB_RETURN(kName, NB_INVALID_DATA);
        }
        metadataFileParameters[i].FileParameterA = metadata.FileParameterA;
        metadataFileParameters[i].FileParameterB = metadata.FileParameterB;
        metadataFileParameters[i].Sequence = 1;
        code = NbTakeImageParameters(kName, i, name, metadata.ImageParameterC, metadata.MetadataAlignment,
                                     metadata.ImageParameterA, parameters);
        if (code != NB_OK) NB_RETURN(kName, code);
        file.Close();
    }

    if (data.Prefix.Guid != parameters->DataGuid) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext,
                "*** %s %u Data GUID of file [%s] (%I64d) is not the one in map file [%s] (%I64d)\n", kName,
                NB_INVALID_DATA, dataFileName, static_cast<std::int64_t>(data.Prefix.Guid), mapFileName,
                static_cast<std::int64_t>(parameters->DataGuid));
        NB_RETURN(kName, NB_INVALID_DATA);
    }
    NB_RETURN(kName, NB_OK);
}
