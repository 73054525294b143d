// Header bytes chosen by the fuzzer, each file given a body behind them, go
// through the reading stage the converter uses (detection, the reader of the
// detected layout, the plan, the pre-change check), then the relocation and
// the rewrite, as the plan says; or, for inputs that ask for it, through the
// whole program. Nothing may crash, and every conversion reported a success
// must verify. The input format is in fuzz_image.h.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "driver/driver.h"
#include "platform/host.h"
#include "platform/trace.h"
#include "tests/fuzz/fuzz_image.h"
#include "version6/plan.h"
#include "version6/reading.h"
#include "version6/verify.h"
#include "version6/version6.h"

namespace {

std::string g_dir;

// The real host, except that page memory comes from the heap at its exact
// size: the sanitizer then sees a buffer overrun by a single byte, which
// whole pages would hide, and runs avoid the cost of mapping pages.
class HeapPages final : public ForwardingHost {
public:
    HeapPages() : ForwardingHost(NbSystemHost()) {}
    NbResult PageAlloc(std::size_t size, void** address) override {
        *address = std::calloc(size == 0 ? 1 : size, 1);
        return *address != nullptr ? NB_OK : NB_NOT_ENOUGH_MEMORY;
    }
    NbResult PageFree(void* address) override {
        std::free(address);
        return NB_OK;
    }
};

HeapPages g_host;

// A conversion that reported success left an image that verifies, pages and all.
void Verified(const std::string& map, const std::string& data, char** metadata, std::uint32_t count) {
    std::vector<NbFinding> findings;
    const NbResult code = NbVerifyV6Image(map.c_str(), data.c_str(), metadata, count, NbVerifyDepth::Pages, &findings);
    if (code == NB_OK && findings.empty()) return;
    std::fprintf(stderr, "a reported conversion does not verify (%u): %s\n", code,
                 findings.empty() ? "" : NbFindingText(findings[0]).c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                      : std::filesystem::temp_directory_path()) /
                          "nbfuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    g_dir = pattern;
    NbSetHost(&g_host);
    static const NbQuietTrace silent;  // the trace lines would drown the fuzzer's own, for the whole run
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, 1);  // the converter's messages
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzImage input = DecodeFuzzInput(data, size);
    const bool whole = input.Whole;
    const std::uint16_t count = input.MetadataFiles;
    for (const auto& entry : std::filesystem::directory_iterator(g_dir)) std::filesystem::remove(entry.path());
    std::string base = g_dir + "/img";
    std::vector<std::string> files = WriteFuzzImage(input, base);  // map, data, metadata...
    if (files.empty()) std::abort();
    const std::string &mapName = files[0], &dataName = files[1];
    char* names[2] = {files[2].data(), count == 2 ? files[3].data() : nullptr};
    const NbImageNames image {mapName.c_str(), dataName.c_str(), names, count};
    NbImageReading reading;
    if (NbDetectImage(image, &reading) != NB_OK) return 0;
    const bool legacy = reading.Version >= 2 && reading.Version <= 4;

    if (whole) {
        std::string second = base + "1";
        std::vector<char*> argv {const_cast<char*>("NimbraConvert"), base.data(), base.data(), base.data()};
        if (count == 2) argv.push_back(second.data());
        argv.push_back(nullptr);
        NbConvertMain(static_cast<int>(argv.size() - 1), argv.data());
        // A legacy image that is now layout 6 was reported converted: it must verify.
        NbImageReading after;
        if (legacy && NbDetectImage(image, &after) == NB_OK && after.Version == 6) Verified(mapName, dataName, names, count);
        return 0;
    }

    // Judged and carried out as the driver does, from the same plan.
    if (NbReadDetectedImage(image, &reading) != NB_OK) return 0;
    const NbConversionPlan& plan = reading.Plan;
    if (NbRelocateAsPlanned(mapName.c_str(), plan) != NB_OK) return 0;
    if (NbRewriteAsPlanned(dataName.c_str(), mapName.c_str(), names, count, plan, reading.Records.get()) != NB_OK)
        return 0;
    Verified(mapName, dataName, names, count);
    return 0;
}
