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
    // Without the buffer the first metadata read fails with 487, as it should.
    (void)headers.Allocate(static_cast<std::uint32_t>(kMetadataHeaderV4Size) * metadataFileCount, true);
    NbConvertInitParameters(parameters, metadataFileParameters, metadataFileCount);
    NbResult code = NbCheckReaderArguments(kName, dataFileName, mapFileName, metadataFileNames, metadataFileCount);
    if (code != NB_OK) NB_RETURN(kName, code);

    std::uint8_t bytes[kMapHeaderV4ExtendedSize] = {};
    CNimbraFile file;
    std::uint64_t size = 0;

    MapHeaderV4 map {};
    code = NbReadLegacyHeader(file, mapFileName, kMapHeaderV4Size, &size, bytes, &map);
    if (code != NB_OK) NB_RETURN(kName, code);
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
    (void)file.Close();

    DataHeaderV4 data {};
    code = NbReadLegacyHeader(file, dataFileName, kDataHeaderV4Size, &size, bytes, &data);
    if (code != NB_OK) NB_RETURN(kName, code);
    parameters->BlockSize = data.BlockSize;
    code = NbDataBlocks(kName, dataFileName, size, data.BlockSize, false, &parameters->DataBlocks);
    if (code != NB_OK) NB_RETURN(kName, code);
    parameters->DataSequence = 1;
    (void)file.Close();

    // Every metadata file is in this layout, as detection judged the first
    // by its version field, and names the data file the map names.
    code = NbReadMetadataHeaders<MetadataHeaderV4>(
        kName, file, headers, kMetadataHeaderV4Size, metadataFileNames, metadataFileCount, parameters,
        metadataFileParameters, [&](const char* name, const MetadataHeaderV4& metadata) {
            if (metadata.Version != 4)
                return NbRefuseOtherLayout(kName, name, 4, metadata.Prefix.HeaderLength, metadata.Version);
            if (metadata.Prefix.Guid == parameters->DataGuid) return NB_OK;
            return NbRefuse(NB_TRACE_ERROR, kName, NB_INVALID_DATA, "Metadata GUID of file [%s] is not %I64d", name,
                            static_cast<std::int64_t>(parameters->DataGuid));
        });
    if (code != NB_OK) NB_RETURN(kName, code);

    if (data.Prefix.Guid != parameters->DataGuid)
        NB_RETURN(kName, NbRefuseDataGuid(kName, NB_TRACE_ERROR, dataFileName, data.Prefix.Guid, "map", mapFileName, parameters->DataGuid));
    NB_RETURN(kName, NB_OK);
}
