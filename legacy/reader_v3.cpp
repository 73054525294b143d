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
    // Without the buffer the first metadata read fails with 487, as it should.
    (void)headers.Allocate(static_cast<std::uint32_t>(kMetadataHeaderV3Size) * metadataFileCount, true);
    NbConvertInitParameters(parameters, metadataFileParameters, metadataFileCount);
    NbResult code = NbCheckReaderArguments(kName, dataFileName, mapFileName, metadataFileNames, metadataFileCount);
    if (code != NB_OK) NB_RETURN(kName, code);

    std::uint8_t bytes[kMapHeaderV3ExtendedSize] = {};
    CNimbraFile file;
    std::uint64_t size = 0;

    MapHeaderV3 map {};
    code = NbReadLegacyHeader(file, mapFileName, kMapHeaderV3Size, &size, bytes, &map);
    if (code != NB_OK) NB_RETURN(kName, code);
    parameters->MapType = map.MapType;
    parameters->MapFileSize = size;
    // The type alone decides whether the extension is read, whatever the
    // header length says.
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
    (void)file.Close();

    DataHeaderV3 data {};
    code = NbReadLegacyHeader(file, dataFileName, kDataHeaderV3Size, &size, bytes, &data);
    if (code != NB_OK) NB_RETURN(kName, code);
    parameters->BlockSize = data.BlockSize;
    parameters->DataSequence = 1;
    code = NbDataBlocks(kName, dataFileName, size, data.BlockSize, false, &parameters->DataBlocks);
    if (code != NB_OK) NB_RETURN(kName, code);
    (void)file.Close();

    // Every metadata file is in this layout, as detection judged the first
    // by its header length; and carries no identifier of its own.
    code = NbReadMetadataHeaders<MetadataHeaderV3>(
        kName, file, headers, kMetadataHeaderV3Size, metadataFileNames, metadataFileCount, parameters,
        metadataFileParameters, [&](const char* name, const MetadataHeaderV3& metadata) {
            if (metadata.Prefix.HeaderLength != NB_V3_METADATA_HEADER_LENGTH)
                return NbRefuseOtherLayout(kName, name, 3, metadata.Prefix.HeaderLength, metadata.ImageParameterA);
            if (metadata.Prefix.Guid == 0) return NB_OK;
            return NbRefuse(NB_TRACE_ERROR, kName, NB_INVALID_DATA, "Metadata GUID of file [%s] is not 0", name);
        });
    if (code != NB_OK) NB_RETURN(kName, code);

    parameters->ImageGuid = map.Prefix.Guid != 0 ? map.Prefix.Guid : NbCreateIdentifier();
    parameters->DataGuid = data.Prefix.Guid;
    if (parameters->DataGuid != 0 && map.DataGuid != 0 && parameters->DataGuid != map.DataGuid)
        NB_RETURN(kName, NbRefuseDataGuid(kName, NB_TRACE_DETAIL, dataFileName, data.Prefix.Guid, "map", mapFileName, map.DataGuid));
    if (parameters->DataGuid == 0) parameters->DataGuid = map.DataGuid != 0 ? map.DataGuid : NbCreateIdentifier();
    parameters->ImageSize = map.ImageSize;
    NB_RETURN(kName, NB_OK);
}
