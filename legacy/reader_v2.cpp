#include "legacy/header_file.h"
#include "legacy/legacy.h"
#include "legacy/legacy_headers.h"
#include "platform/checksum.h"
#include "platform/trace.h"

NbResult NbConvertFromV2(const char* dataFileName, const char* mapFileName, const char* metadataFileName,
                         ImageParameters* parameters, MetadataFileParameters* metadataFileParameters) {
    static const char kName[] = "NbConvertFromV2";
    NbConvertInitParameters(parameters, metadataFileParameters, 1);
    if (dataFileName == nullptr || mapFileName == nullptr || metadataFileName == nullptr) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s One of the parameters is NULL [0x%p 0x%p 0x%p]\n", kName,
                dataFileName, mapFileName, metadataFileName);
        NB_RETURN(kName, NB_INVALID_PARAMETER);
    }
    NbTrace(NB_TRACE_DETAIL, NbTraceContext, "*** %s Proceeding with parameters: 0x%p[%s] 0x%p[%s] 0x%p[%s]\n", kName,
            dataFileName, dataFileName, mapFileName, mapFileName, metadataFileName, metadataFileName);

    std::uint8_t bytes[kMapHeaderV2Size] = {};
    CNimbraFile file;
    std::uint64_t size = 0;

    MapHeaderV2 map {};
    NbResult code = NbReadLegacyHeader(file, mapFileName, kMapHeaderV2Size, &size, bytes, &map);
    if (code != NB_OK) NB_RETURN(kName, code);
    parameters->ImageSize = map.ImageSize;
    parameters->MapFileSize = size;
    (void)file.Close();

    DataHeaderV2 data {};
    code = NbReadLegacyHeader(file, dataFileName, kDataHeaderV2Size, &size, bytes, &data);
    if (code != NB_OK) NB_RETURN(kName, code);
    parameters->BlockSize = data.BlockSize;
    parameters->DataSequence = 1;
    code = NbDataBlocks(kName, dataFileName, size, data.BlockSize, true, &parameters->DataBlocks);
    if (code != NB_OK) NB_RETURN(kName, code);
    (void)file.Close();

    MetadataHeaderV2 metadata {};
    code = NbReadLegacyHeader(file, metadataFileName, kMetadataHeaderV2Size, &size, bytes, &metadata);
    if (code != NB_OK) NB_RETURN(kName, code);
    (void)file.Close();

    parameters->ImageGuid = map.Prefix.Guid != 0 ? map.Prefix.Guid : NbCreateIdentifier();

    // The data file, the metadata file and the map each may name the data
    // file; wherever two of them do, they must agree.
    if (data.Prefix.Guid != 0 && metadata.Prefix.Guid != 0 && data.Prefix.Guid != metadata.Prefix.Guid)
        NB_RETURN(kName, NbRefuseDataGuid(kName, NB_TRACE_DETAIL, dataFileName, data.Prefix.Guid, "metadata", metadataFileName, metadata.Prefix.Guid));
    parameters->DataGuid = data.Prefix.Guid != 0 ? data.Prefix.Guid : metadata.Prefix.Guid;
    if (parameters->DataGuid != 0 && map.DataGuid != 0 && parameters->DataGuid != map.DataGuid)
        NB_RETURN(kName, NbRefuseDataGuid(kName, NB_TRACE_DETAIL, data.Prefix.Guid != 0 ? dataFileName : metadataFileName,
                                          parameters->DataGuid, "map", mapFileName, map.DataGuid));
    if (parameters->DataGuid == 0) parameters->DataGuid = map.DataGuid != 0 ? map.DataGuid : NbCreateIdentifier();

    code = NbCheckMetadataAlignment(kName, metadataFileName, metadata.MetadataAlignment);
    if (code != NB_OK) NB_RETURN(kName, code);
    parameters->ImageParameterA = data.ImageParameterA;
    parameters->MetadataAlignment = metadata.MetadataAlignment;
    metadataFileParameters[0].Sequence = 1;
    metadataFileParameters[0].FileParameterB = 0;
    metadataFileParameters[0].FileParameterA = metadata.FileParameterA;
    NB_RETURN(kName, NB_OK);
}
