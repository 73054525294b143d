#include "legacy/header_file.h"

#include <cstring>

#include "platform/trace.h"

NbResult NbOpenLegacyFile(CNimbraFile& file, const char* name, std::uint64_t minimum, std::uint64_t* size) {
    NbResult code = file.Create(name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code == NB_OK) code = file.Query(size);
    if (code == NB_OK && *size < minimum) code = NB_INVALID_DATA;
    return code;
}

NbResult NbDataBlocks(const char* reader, const char* dataFileName, std::uint64_t dataFileSize,
                      std::uint32_t blockSize, bool roundUp, std::uint32_t* dataBlocks) {
    if (blockSize == 0) {
        return NbRefuse(NB_TRACE_ERROR, reader, NB_INVALID_DATA, "Block size in file [%s] is 0", dataFileName);
    }
    const std::uint64_t blocks = dataFileSize / blockSize + (roundUp && dataFileSize % blockSize != 0 ? 1 : 0);
    // Zero blocks leave no place for the first version 6 superblock copy, and
    // the count is stored in 32 bits.
    if (blocks == 0 || blocks > 0xFFFFFFFFull)
        return NbRefuse(NB_TRACE_ERROR, reader, NB_INVALID_DATA, "File [%s] holds %I64u blocks of %u bytes", dataFileName,
                        blocks, blockSize);
    *dataBlocks = static_cast<std::uint32_t>(blocks);
    return NB_OK;
}

NbResult NbCheckMetadataAlignment(const char* reader, const char* metadataFileName, std::uint32_t alignment) {
    if (alignment != 0) return NB_OK;
    return NbRefuse(NB_TRACE_ERROR, reader, NB_INVALID_DATA, "Metadata alignment in file [%s] is 0", metadataFileName);
}

void NbCopyMapText(ImageParameters* parameters, const char* text, std::uint32_t limit) {
    std::uint32_t n = 0;
    while (n < limit && text[n] != '\0') ++n;
    std::memcpy(parameters->MapText, text, n);
    parameters->MapText[n] = '\0';
}

NbResult NbTakeImageParameters(const char* reader, std::uint32_t index, const char* metadataFileName,
                               std::uint16_t imageParameterC, std::uint32_t metadataAlignment,
                               std::uint32_t imageParameterA, ImageParameters* parameters) {
    if (index == 0) {
        const NbResult code = NbCheckMetadataAlignment(reader, metadataFileName, metadataAlignment);
        if (code != NB_OK) return code;
        parameters->ImageParameterC = imageParameterC;
        parameters->MetadataAlignment = metadataAlignment;
        parameters->ImageParameterA = imageParameterA;
        return NB_OK;
    }
    if (imageParameterC == parameters->ImageParameterC && metadataAlignment == parameters->MetadataAlignment &&
        imageParameterA == parameters->ImageParameterA)
        return NB_OK;
    return NbRefuse(NB_TRACE_ERROR, reader, NB_INVALID_DATA,
                    "Parameters [%d %d %d] in file [%s] does not match image parameters [%d %d %d]", imageParameterC,
                    metadataAlignment, imageParameterA, metadataFileName, parameters->ImageParameterC,
                    parameters->MetadataAlignment, parameters->ImageParameterA);
}

NbResult NbCheckReaderArguments(const char* reader, const char* dataFileName, const char* mapFileName,
                                char** metadataFileNames, std::uint16_t metadataFileCount) {
    if (dataFileName == nullptr || mapFileName == nullptr || metadataFileNames == nullptr) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s One of the parameters is NULL [0x%p 0x%p 0x%p]\n", reader,
                dataFileName, mapFileName, static_cast<void*>(metadataFileNames));
        return NB_INVALID_PARAMETER;
    }
    NbTrace(NB_TRACE_DETAIL, NbTraceContext, "*** %s Proceeding with parameters: 0x%p[%s] 0x%p[%s] 0x%p[%s] %d\n", reader,
            dataFileName, dataFileName, mapFileName, mapFileName, metadataFileNames[0], metadataFileNames[0],
            static_cast<int>(metadataFileCount));
    return NB_OK;
}

NbResult NbRefuseDataGuid(const char* reader, std::uint32_t level, const char* fileName, std::uint64_t guid,
                          const char* otherKind, const char* otherName, std::uint64_t otherGuid) {
    return NbRefuse(level, reader, NB_INVALID_DATA, "Data GUID of file [%s] (%I64d) is not the one in %s file [%s] (%I64d)",
                    fileName, static_cast<std::int64_t>(guid), otherKind, otherName, static_cast<std::int64_t>(otherGuid));
}

NbResult NbRefuseOtherLayout(const char* reader, const char* fileName, std::uint32_t layout, std::uint32_t headerLength,
                             std::uint32_t version) {
    return NbRefuse(NB_TRACE_ERROR, reader, NB_INVALID_DATA, "File [%s] is not in layout %u (header length %u, version field %u)",
                    fileName, layout, headerLength, version);
}
