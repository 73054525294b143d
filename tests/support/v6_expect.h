// What a converted image must hold, worked out from the version 6 layout and
// the maker's image description alone, never from the converter's record
// code: a fault there must show up as a difference here.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "tools/image_maker.h"

// Every difference between the converted image of recipe (bases absolute or
// relative to dir) and its expected bytes: headers, superblocks, checkpoints,
// moved map pages, untouched content, zeros where the layout defines nothing,
// and backups. Identifiers that layouts 2 and 3 make anew are read from the
// converted map header and must be non-zero and distinct. Then whatever the
// converter's verifier finds in the image.
std::vector<std::string> V6Mismatches(const ImageRecipe& recipe, const std::filesystem::path& dir = {});

