#include "version6/reading.h"

#include <new>

#include "legacy/legacy.h"
#include "platform/format.h"
#include "version6/version6.h"

namespace {

[[nodiscard]] NbResult Stop(NbImageReading* reading, NbReadingStop where, NbResult code) {
    reading->Stopped = where;
    reading->Code = code;
    return code;
}

// A rule of this stage's own, which no routine traces.
[[nodiscard]] NbResult Refuse(NbImageReading* reading, NbReadingStop where, NbResult code, const std::string& text) {
    reading->Refusals.push_back({"", code, text});
    return Stop(reading, where, code);
}

void Keep(NbImageReading* reading, NbRefusalCollector& collected) {
    for (NbRefusal& r : collected.Refusals()) reading->Refusals.push_back(std::move(r));
    collected.Refusals().clear();
}

}  // namespace

bool NbImageReading::Reserve(std::uint16_t metadataFiles) {
    Records.reset(new (std::nothrow) MetadataFileParameters[metadataFiles == 0 ? 1 : metadataFiles]);
    return Records != nullptr;
}

NbResult NbDetectImage(const NbImageNames& names, NbImageReading* reading) {
    NbRefusalCollector collected;
    std::uint32_t version = 0;
    const char* metadata = names.Metadata != nullptr && names.MetadataCount > 0 ? names.Metadata[0] : nullptr;
    NbResult code = NbConvertGetVersion(names.Data, names.Map, metadata, version);
    Keep(reading, collected);
    if (code != NB_OK) return Stop(reading, NbReadingStop::Detection, code);
    reading->Version = version;
    return NB_OK;
}

NbResult NbReadDetectedImage(const NbImageNames& names, NbImageReading* reading) {
    const std::uint32_t version = reading->Version;
    if (version < 2 || version > 4)
        return Refuse(reading, NbReadingStop::Layout, NB_NOT_SUPPORTED, NbText("Layout %u cannot be converted", version));
    // Records the reader did not fill must never reach the rewrite.
    if (version == 2 && names.MetadataCount != 1)
        return Refuse(reading, NbReadingStop::Reader, NB_INVALID_PARAMETER,
                      NbText("Layout 2 has one metadata file, %u are named", static_cast<unsigned>(names.MetadataCount)));
    if (reading->Records == nullptr && !reading->Reserve(names.MetadataCount))
        return Stop(reading, NbReadingStop::Reader, NB_NOT_ENOUGH_MEMORY);
    NbRefusalCollector collected;
    ImageParameters* p = &reading->Parameters;
    MetadataFileParameters* records = reading->Records.get();
    NbResult code = version == 2 ? NbConvertFromV2(names.Data, names.Map, names.Metadata[0], p, records)
                  : version == 3 ? NbConvertFromV3(names.Data, names.Map, names.Metadata, names.MetadataCount, p, records)
                                 : NbConvertFromV4(names.Data, names.Map, names.Metadata, names.MetadataCount, p, records);
    Keep(reading, collected);
    if (code != NB_OK) return Stop(reading, NbReadingStop::Reader, code);
    // Judged as the rewrite will find the map, while nothing is changed yet.
    NbPlanConversion(version, reading->Parameters, &reading->Plan);
    code = NbCheckConvertible(reading->Plan, names.Map, names.Data, names.Metadata, names.MetadataCount);
    Keep(reading, collected);
    if (code != NB_OK) return Stop(reading, NbReadingStop::Check, code);
    reading->Read = true;
    return NB_OK;
}

NbResult NbReadImage(const NbImageNames& names, NbImageReading* reading) {
    const NbResult code = NbDetectImage(names, reading);
    return code != NB_OK ? code : NbReadDetectedImage(names, reading);
}
