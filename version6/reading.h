// The reading stage: everything the converter learns of an image before it
// changes a byte, in one place and in one order (detection, the reader of
// the detected layout with its rule on metadata files, the plan, the
// pre-change check). The converter, nbinfo, the fuzzer and the tests read
// an image only through here, so that all of them judge it alike.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "legacy/image_parameters.h"
#include "platform/result.h"
#include "platform/trace.h"
#include "version6/plan.h"

// The image's files by name: the map, the data file and the metadata files.
struct NbImageNames {
    const char* Map = nullptr;
    const char* Data = nullptr;
    char** Metadata = nullptr;
    std::uint16_t MetadataCount = 0;
};

// Where the stage stopped.
enum class NbReadingStop {
    None,       // read, planned and found convertible (or, after detection alone, detected)
    Detection,  // the files cannot be read, or share no layout
    Layout,     // the layout is neither 2, 3 nor 4 (6 is converted already)
    Reader,     // the layout's reader refused the headers
    Check,      // the image has no layout 6 form
};

struct NbImageReading {
    std::uint32_t Version = 0;  // the detected layout; 0 until detection succeeds
    NbResult Code = NB_OK;      // the first failure's code
    NbReadingStop Stopped = NbReadingStop::None;
    ImageParameters Parameters {};
    std::unique_ptr<MetadataFileParameters[]> Records;  // one per metadata file
    NbConversionPlan Plan;
    // Every reason given, in the order given; a failure of the host (a file
    // that cannot be read) gives its code and no reason.
    std::vector<NbRefusal> Refusals;

    bool Read = false;  // the reader, the plan and the check all passed

    // Makes room for the metadata files' records; false when memory is short.
    bool Reserve(std::uint16_t metadataFiles);
};

// Detection alone: Version (0 when the headers say so), or Code with
// Stopped = Detection.
[[nodiscard]] NbResult NbDetectImage(const NbImageNames& names, NbImageReading* reading);

// The rest, for an image whose layout is detected: for layouts 2 to 4 the
// reader (layout 2 has exactly one metadata file), the plan and the
// pre-change check. Any other layout stops at Layout with 50 and a reason
// that no trace line gives.
[[nodiscard]] NbResult NbReadDetectedImage(const NbImageNames& names, NbImageReading* reading);

// Both, for a caller that reports nothing between them.
[[nodiscard]] NbResult NbReadImage(const NbImageNames& names, NbImageReading* reading);
