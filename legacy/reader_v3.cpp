#include "legacy/header_file.h"
#include "legacy/legacy.h"
#include "legacy/legacy_headers.h"
#include "platform/buffer.h"
#include "platform/checksum.h"
#include "platform/trace.h"

NbResult NbConvertFromV3(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                         std::uint16_t metadataFileCount, ImageParameters* parameters,
                         MetadataFileParameters* metadataFileParameters) {
    static const char kName[] = "NbConvertFromV3";
    CNimbraBuffer headers;
    headers.Allocate(static_cast<std::uint32_t>(kMetadataHeaderV3Size) * metadataFileCount, true);
    NbConvertInitParameters(parameters, metadataFileParameters, metadataFileCount);
    if (dataFileName == nullptr || mapFileName == nullptr || metadataFileNames == nullptr) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s One of the parameters is NULL [0x%p 0x%p 0x%p]\n", kName,
                dataFileName, mapFileName, static_cast<void*>(metadataFileNames));
        NB_RETURN(kName, NB_INVALID_PARAMETER);
    }
    NbTrace(NB_TRACE_DETAIL, NbTraceContext, "*** %s Proceeding with parameters: 0x%p[%s] 0x%p[%s] 0x%p[%s] %d\n", kName,
            dataFileName, dataFileName, mapFileName, mapFileName, metadataFileNames[0], metadataFileNames[0],
            static_cast<int>(metadataFileCount));

    std::uint8_t bytes[kMapHeaderV3ExtendedSize] = {};
    CNimbraFile file;
    std::uint64_t size = 0;

    NbResult code = NbOpenLegacyFile(file, mapFileName, kMapHeaderV3Size, &size);
    if (code == NB_OK) code = file.SeekRead(0, bytes, kMapHeaderV3Size, nullptr);
    if (code != NB_OK) NB_RETURN(kName, code);
    const auto map = DecodeRecord<MapHeaderV3>(bytes);
    parameters->MapType = map.MapType;
    parameters->MapFileSize = size;
    if (map.MapType == 1) {
        if (size < kMapHeaderV3ExtendedSize) NB_RETURN(kName, NB_INVALID_DATA);
        code = file.SeekRead(0, bytes, kMapHeaderV3ExtendedSize, nullptr);
        if (code != NB_OK) NB_RETURN(kName, code);
        const auto extended = DecodeRecord<MapHeaderV3Extended>(bytes);
        parameters->MapTableSize = extended.MapTableSize;
        parameters->MapTableEntries = extended.MapTableSize / 4;
        parameters->MapDataOffset = extended.MapDataOffset;
        parameters->MapPageSize = extended.MapPageSize;
        parameters->MapReference = extended.MapReference;
        NbCopyMapText(parameters, extended.MapText, sizeof extended.MapText);
    }
    file.Close();

    code = NbOpenLegacyFile(file, dataFileName, kDataHeaderV3Size, &size);
    if (code == NB_OK) code = file.SeekRead(0, bytes, kDataHeaderV3Size, nullptr);
    if (code != NB_OK) NB_RETURN(kName, code);
    const auto data = DecodeRecord<DataHeaderV3>(bytes);
    parameters->BlockSize = data.BlockSize;
    parameters->DataSequence = 1;
    code = NbDataBlocks(kName, dataFileName, size, data.BlockSize, false, &parameters->DataBlocks);
    if (code != NB_OK) NB_RETURN(kName, code);
    file.Close();

    for (std::uint16_t i = 0; i < metadataFileCount; ++i) {
        const char* name = metadataFileNames[i];
        std::uint8_t* slot = headers.Data != nullptr ? headers.Data + kMetadataHeaderV3Size * i : nullptr;
        code = NbOpenLegacyFile(file, name, kMetadataHeaderV3Size, &size);
        if (code == NB_OK) code = file.SeekRead(0, slot, kMetadataHeaderV3Size, nullptr);
        if (code != NB_OK) NB_RETURN(kName, code);
        const auto metadata = DecodeRecord<MetadataHeaderV3>(slot);
        if (metadata.Prefix.Guid != 0) {
            NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Metadata GUID of file [%s] is not 0\n", kName,
                    NB_INVALID_DATA, name);
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

    parameters->ImageGuid = map.Prefix.Guid != 0 ? map.Prefix.Guid : NbCreateIdentifier();
    parameters->DataGuid = data.Prefix.Guid;
    if (parameters->DataGuid != 0 && map.DataGuid != 0 && parameters->DataGuid != map.DataGuid)
        NB_RETURN(kName, NB_INVALID_DATA);
    if (parameters->DataGuid == 0) parameters->DataGuid = map.DataGuid != 0 ? map.DataGuid : NbCreateIdentifier();
    parameters->ImageSize = map.ImageSize;
    NB_RETURN(kName, NB_OK);
}
