// The header fuzzer's input and the image files it stands for, shared by the
// fuzzer, the maker of its seeds and the tests that replay a sample of such
// inputs through the whole converter.
//
// Input: mode (bit 0: whole program, bit 1: two metadata files), three
// 16-bit body lengths in units of 64 bytes (map, data, metadata), then three
// 16-bit-length-prefixed header chunks (map, data, metadata). Little-endian.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

inline constexpr std::size_t kFuzzBackupLength = 135168;  // the whole program backs up this much of every file

struct FuzzImage {
    bool Whole = false;              // the whole program, not the pipeline
    std::uint16_t MetadataFiles = 1;  // 1 or 2
    std::size_t Bodies[3] {};        // bytes behind each head: map, data, metadata
    std::string Heads[3];
};

FuzzImage DecodeFuzzInput(const std::uint8_t* data, std::size_t size);
std::string EncodeFuzzInput(const FuzzImage& image);

// The files of the image under base: base.nbbitmap, base.nbdata,
// base.nbmetadata (and base1.nbmetadata), each its head and then a body to
// its length (at least the head backup's for the whole program). In the
// map, every third page of the body is all 0xFF, a page the compaction
// drops. Returns the names, map first.
std::vector<std::string> WriteFuzzImage(const FuzzImage& image, const std::string& base);

// The seeds: valid images of layouts 2, 3 (both map types), 4 (both map
// types) and one converted to layout 6, in every mode, made in the folder
// scratch; each a name and an input. Empty when an image cannot be made.
std::vector<std::pair<std::string, std::string>> FuzzSeeds(const std::string& scratch);
