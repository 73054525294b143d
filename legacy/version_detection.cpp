#include "legacy/legacy.h"
#include "legacy/legacy_headers.h"
#include "platform/buffer.h"
#include "platform/endian.h"
#include "platform/file.h"
#include "platform/trace.h"

namespace {

constexpr std::uint32_t kHeadLength = 4096;
constexpr std::uint64_t kMinimumHeader = 16;

// The header lengths of layouts 2 and 3, by file: detection's first test.
bool HasLayout2Length(NbLegacyFile kind, std::uint32_t length) {
    switch (kind) {
    case NbLegacyFile::Map: return length == NB_V2_MAP_HEADER_LENGTH;
    case NbLegacyFile::Data: return length == NB_V2_DATA_HEADER_LENGTH;
    default: return length == NB_V2_METADATA_HEADER_LENGTH;
    }
}

bool HasLayout3Length(NbLegacyFile kind, std::uint32_t length) {
    switch (kind) {
    case NbLegacyFile::Map: return length == NB_V3_MAP_HEADER_LENGTH || length == NB_V3_MAP_EXTENDED_HEADER_LENGTH;
    case NbLegacyFile::Data: return length == NB_V3_DATA_HEADER_LENGTH;
    default: return length == NB_V3_METADATA_HEADER_LENGTH;
    }
}

}  // namespace

NbResult NbFileHoldsLegacyHeader(const char* fileName, NbLegacyFile kind, bool* legacy) {
    *legacy = false;
    NbFileObject* file = nullptr;
    NbResult code = NbFileObjectCreate(&file, fileName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code != NB_OK) return code;
    std::uint8_t head[20] = {};
    std::uint32_t read = 0;
    code = NbFileObjectReadAt(file, 0, head, sizeof head, &read);
    (void)NbFileObjectDestroy(file);
    if (code != NB_OK || read < kMinimumHeader) return code;
    const std::uint32_t length = GetLe32(head, 4);
    *legacy = HasLayout2Length(kind, length) || HasLayout3Length(kind, length) ||
              (read >= 20 && GetLe32(head, 16) == 4);
    return NB_OK;
}

NbResult NbConvertGetVersion(const char* dataFileName, const char* mapFileName, const char* metadataFileName,
                             std::uint32_t& version) {
    static const char kName[] = "NbConvertGetVersion";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbConvertGetVersion\n");
    version = 0;

    // Map, data, metadata: the order in which the files are examined.
    CNimbraBuffer heads[3];
    // A buffer that cannot be had fails its read with 487, as it should.
    for (CNimbraBuffer& head : heads) (void)head.Allocate(kHeadLength, true);

    if (dataFileName == nullptr || mapFileName == nullptr || metadataFileName == nullptr) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s One of the parameters is NULL [0x%p 0x%p 0x%p]\n", kName,
                dataFileName, mapFileName, metadataFileName);
        NB_RETURN(kName, NB_INVALID_PARAMETER);
    }
    NbTrace(NB_TRACE_DETAIL, NbTraceContext, "*** %s Proceeding with parameters: 0x%p[%s] 0x%p[%s] 0x%p[%s]\n", kName,
            dataFileName, dataFileName, mapFileName, mapFileName, metadataFileName, metadataFileName);

    const char* names[3] = {mapFileName, dataFileName, metadataFileName};
    std::uint32_t lengths[3] = {};
    CNimbraFile file;
    for (int i = 0; i < 3; ++i) {
        NbResult code = file.Create(names[i], NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
        if (code != NB_OK) NB_RETURN(kName, code);
        std::uint64_t size = 0;
        code = file.Query(&size);
        if (code != NB_OK) NB_RETURN(kName, code);
        if (size < kMinimumHeader) NB_RETURN(kName, NB_INVALID_DATA);
        const auto count = static_cast<std::uint32_t>(size < kHeadLength ? size : kHeadLength);
        code = file.SeekRead(0, heads[i].Data, count, nullptr);
        if (code != NB_OK) NB_RETURN(kName, code);
        lengths[i] = GetLe32(heads[i].Data, 4);
        (void)file.Close();
    }

    const std::uint32_t m = lengths[0], d = lengths[1], t = lengths[2];
    if (HasLayout2Length(NbLegacyFile::Map, m) && HasLayout2Length(NbLegacyFile::Data, d) &&
        HasLayout2Length(NbLegacyFile::Metadata, t)) {
        version = 2;
    } else if (HasLayout3Length(NbLegacyFile::Map, m) && HasLayout3Length(NbLegacyFile::Data, d) &&
               HasLayout3Length(NbLegacyFile::Metadata, t)) {
        version = 3;
    } else {
        const std::uint32_t mv = GetLe32(heads[0].Data, 16);
        const std::uint32_t dv = GetLe32(heads[1].Data, 16);
        const std::uint32_t tv = GetLe32(heads[2].Data, 16);
        if (mv != dv || mv != tv)
            NB_RETURN(kName, NbRefuse(NB_TRACE_ERROR, kName, NB_INVALID_DATA, "Acquired versions are different [%u %u %u]",
                                      mv, dv, tv));
        version = mv;
    }
    NB_RETURN(kName, NB_OK);
}
