// Seeds for the header fuzzer (fuzz_image.h): the heads of valid images of
// layouts 2, 3 and 4 (both map types) and of one converted to layout 6, in
// the fuzzer's input format, for the pipeline and for the whole program.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "tests/fuzz/fuzz_image.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_corpus DIRECTORY\n");
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    std::string scratch = (std::filesystem::temp_directory_path() / "nbcorpus-XXXXXX").string();
    if (::mkdtemp(scratch.data()) == nullptr) return 1;
    const auto seeds = FuzzSeeds(scratch);
    std::filesystem::remove_all(scratch);
    if (seeds.empty()) return std::fprintf(stderr, "make_fuzz_corpus: the seed images cannot be made\n"), 1;
    for (const auto& [name, input] : seeds) std::ofstream(std::string(argv[1]) + "/" + name, std::ios::binary) << input;
    return 0;
}
