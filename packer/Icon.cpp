#include "Icon.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace sparlin::pack {
namespace {

const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

} // namespace

std::vector<IconImage> ReadIcon(const uint8_t* data, size_t size) {
    const char* what = "the icon file";
    if (Get(data, size, 0, 2, what) != 0 || Get(data, size, 2, 2, what) != 1)
        throw Error("not an .ico file");
    const unsigned count = Get(data, size, 4, 2, what);
    if (count == 0)
        throw Error("the icon file holds no image");
    // Each image is copied: images sharing bytes would multiply the file.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (unsigned i = 0; i < count; ++i) {
        const size_t e = 6 + 16 * size_t(i);
        const uint32_t bytes = Get(data, size, e + 8, 4, what), offset = Get(data, size, e + 12, 4, what);
        if (bytes < 40 || offset < 6 + 16 * size_t(count) || offset > size || size - offset < bytes)
            throw Error("icon image " + std::to_string(i + 1) + " lies outside the icon file");
        spans.emplace_back(offset, uint64_t(offset) + bytes);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second)
            throw Error("images in the icon file overlap");
    std::vector<IconImage> images;
    for (unsigned i = 0; i < count; ++i) {
        const size_t e = 6 + 16 * size_t(i);
        IconImage img;
        img.width = uint8_t(Get(data, size, e, 1, what));
        img.height = uint8_t(Get(data, size, e + 1, 1, what));
        img.colors = uint8_t(Get(data, size, e + 2, 1, what));
        img.planes = uint16_t(Get(data, size, e + 4, 2, what));
        img.bitCount = uint16_t(Get(data, size, e + 6, 2, what));
        const uint32_t bytes = Get(data, size, e + 8, 4, what), offset = Get(data, size, e + 12, 4, what);
        const uint8_t* p = data + offset;
        if (std::memcmp(p, kPng, 8) == 0) {
            // IHDR: bit depth at 24, colour type at 25.
            static const unsigned kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
            const unsigned depth = p[24], type = p[25];
            if (std::memcmp(p + 12, "IHDR", 4) != 0 || type > 6 || !kChannels[type])
                throw Error("icon image " + std::to_string(i + 1) + " is not a valid PNG");
            if (!img.planes)
                img.planes = 1;
            if (!img.bitCount)
                img.bitCount = uint16_t(depth * kChannels[type]);
        } else {
            const uint32_t header = Get(p, bytes, 0, 4, what);
            if (header != 40 && header != 108 && header != 124)
                throw Error("icon image " + std::to_string(i + 1) + " is neither a bitmap nor a PNG");
            if (!img.planes)
                img.planes = uint16_t(Get(p, bytes, 12, 2, what));
            if (!img.bitCount)
                img.bitCount = uint16_t(Get(p, bytes, 14, 2, what));
        }
        img.data.assign(p, p + bytes);
        images.push_back(std::move(img));
    }
    return images;
}

void ReplaceIconGroup(std::vector<Resource>& resources, uint16_t group, const std::vector<IconImage>& images) {
    auto isGroup = [&](const Resource& r) {
        return r.type == ResourceId::Number(kRtGroupIcon) && r.name == ResourceId::Number(group);
    };
    auto found = std::find_if(resources.begin(), resources.end(), isGroup);
    if (found == resources.end())
        throw Error("the stub has no application icon");
    const uint16_t language = found->language;
    std::set<uint16_t> old;
    const Bytes& g = found->data;
    const unsigned count = Get16(g, 4, "the icon group");
    for (unsigned i = 0; i < count; ++i)
        old.insert(Get16(g, 6 + 14 * size_t(i) + 12, "the icon group"));
    std::erase_if(resources, [&](const Resource& r) {
        return isGroup(r) || (r.type == ResourceId::Number(kRtIcon) && r.name.name.empty() && old.count(r.name.id));
    });
    std::set<uint16_t> used;
    for (const Resource& r : resources)
        if (r.type == ResourceId::Number(kRtIcon) && r.name.name.empty())
            used.insert(r.name.id);

    Resource newGroup{ResourceId::Number(kRtGroupIcon), ResourceId::Number(group), language, {}};
    Bytes& out = newGroup.data;
    Append16(out, 0);
    Append16(out, 1);
    Append16(out, uint32_t(images.size()));
    uint32_t next = 1;
    for (const IconImage& img : images) {
        while (next <= 0xFFFF && used.count(uint16_t(next)))
            ++next;
        if (next > 0xFFFF)
            throw Error("no identifier left for an icon image");
        used.insert(uint16_t(next));
        out.insert(out.end(), {img.width, img.height, img.colors, 0});
        Append16(out, img.planes);
        Append16(out, img.bitCount);
        Append32(out, uint32_t(img.data.size()));
        Append16(out, next);
        resources.push_back({ResourceId::Number(kRtIcon), ResourceId::Number(uint16_t(next)), language, img.data});
    }
    resources.push_back(std::move(newGroup));
}

} // namespace sparlin::pack
