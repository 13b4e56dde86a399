#pragma once

#include "Resources.h"

#include <vector>

namespace sparlin::pack {

struct IconImage {
    uint8_t width, height, colors; // as in the file: 0 means 256 (or no palette)
    uint16_t planes, bitCount;
    Bytes data;                    // a DIB without its file header, or a whole PNG
};

// The images of an .ico file; anything else, or an entry that points
// outside the file or at neither a DIB nor a PNG, is refused.
std::vector<IconImage> ReadIcon(const uint8_t* data, size_t size);

// Replaces the images of icon group `group` with `images`, under the group's
// language, and removes its old images; other icons are left alone.
void ReplaceIconGroup(std::vector<Resource>& resources, uint16_t group, const std::vector<IconImage>& images);

} // namespace sparlin::pack
