#pragma once

#include "Bytes.h"
#include "Pe.h"

#include <string>
#include <vector>

namespace sparlin::pack {

// A resource type or name: a string (stored as read; ours are upper case) or a number.
struct ResourceId {
    std::u16string name; // empty: a number
    uint16_t id = 0;

    static ResourceId Number(uint16_t n) { return {u"", n}; }
    static ResourceId Name(const char* ascii);
    bool operator==(const ResourceId& o) const { return name == o.name && id == o.id; }
    // The loaders' order: names first, by UTF-16 code unit, then numbers.
    bool operator<(const ResourceId& o) const;
};

struct Resource {
    ResourceId type, name;
    uint16_t language = 0;
    Bytes data;
};

constexpr uint16_t kRtIcon = 3, kRtString = 6, kRtGroupIcon = 14;

// Every leaf of the image's resource tree, in tree order. Hostile trees
// (loops, shared subdirectories, offsets out of bounds) are refused.
std::vector<Resource> ReadResources(const uint8_t* file, size_t size, const PeImage& image);

// The 16 counted UTF-16 strings of a string-table block (no terminators).
std::vector<std::u16string> ReadStringBlock(const Bytes& block);

// A resource section for the given RVA: the tree sorted as loaders search
// it, names, data entries, then the data, each piece 8-aligned. Duplicates are refused.
Bytes BuildResourceSection(std::vector<Resource>& resources, uint32_t rva);

} // namespace sparlin::pack
