#include "Resources.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace sparlin::pack {

ResourceId ResourceId::Name(const char* ascii) {
    ResourceId r;
    for (; *ascii; ++ascii)
        r.name += char16_t(*ascii);
    return r;
}

bool ResourceId::operator<(const ResourceId& o) const {
    if (name.empty() != o.name.empty())
        return !name.empty();
    return name.empty() ? id < o.id : name < o.name;
}

namespace {

constexpr uint32_t kHigh = 0x80000000u;
constexpr size_t kMaxEntries = 0xFFFF; // a table counts its entries in 16 bits

class TreeReader {
public:
    TreeReader(const uint8_t* file, size_t size, const PeImage& image) : file_(file), size_(size), image_(image) {
        const DataDirectory dir = image.dirs[kDirResource];
        base_ = image.Offset(dir.rva, 16, "the resource directory");
        // Offsets in the tree are relative to its root; bound them by the section holding it.
        for (const Section& s : image.sections)
            if (dir.rva >= s.virtualAddress && dir.rva - s.virtualAddress < s.rawSize)
                limit_ = s.rawSize - (dir.rva - s.virtualAddress);
    }

    void Directory(uint32_t offset, int level, Resource& path, std::vector<Resource>& out) {
        if (!visited_.insert(offset).second)
            throw Error("the resource tree refers to one directory twice");
        const unsigned named = U16(offset + 12), ids = U16(offset + 14);
        if (named + ids > kMaxEntries)
            throw Error("a resource directory holds more than 65535 entries");
        for (unsigned i = 0; i < named + ids; ++i) {
            const uint32_t entry = offset + 16 + 8 * i;
            const uint32_t key = U32(entry), target = U32(entry + 4);
            ResourceId id;
            if (key & kHigh) {
                const uint32_t at = key & ~kHigh;
                const unsigned length = U16(at);
                Spend(2 * uint64_t(length));
                for (unsigned c = 0; c < length; ++c)
                    id.name += char16_t(U16(at + 2 + 2 * c));
                if (id.name.empty())
                    throw Error("the resource tree holds an empty name");
            } else {
                if (key > 0xFFFF)
                    throw Error("the resource tree holds an identifier out of range");
                id.id = uint16_t(key);
            }
            const bool sub = (target & kHigh) != 0;
            if (sub != (level < 2))
                throw Error("the resource tree is not three levels deep");
            if (level == 0)
                path.type = id;
            else if (level == 1)
                path.name = id;
            else
                path.language = id.name.empty() ? id.id : throw Error("a resource language is a name");
            if (sub) {
                Directory(target & ~kHigh, level + 1, path, out);
                continue;
            }
            const uint32_t rva = U32(target), length = U32(target + 4);
            const size_t at = image_.Offset(rva, length, "resource data");
            // Leaves may share data and names: each copy counts, as does the leaf itself.
            if (++leaves_ > limit_ / 8)
                throw Error("the resource tree has more leaves than its section has room for");
            Spend(uint64_t(length) + 2 * (path.type.name.size() + path.name.name.size()) + sizeof(Resource));
            Resource r = path;
            r.data.assign(file_ + at, file_ + at + length);
            out.push_back(std::move(r));
        }
    }

private:
    // All that reading the tree copies or walks, bounded by the file, not by the tree.
    void Spend(uint64_t bytes) {
        copied_ += bytes;
        if (copied_ > 4 * uint64_t(size_))
            throw Error("the resource tree repeats its data too often");
    }
    uint32_t U16(uint32_t offset) { return Check(offset, 2), Get(file_, size_, base_ + offset, 2, "the resource tree"); }
    uint32_t U32(uint32_t offset) { return Check(offset, 4), Get(file_, size_, base_ + offset, 4, "the resource tree"); }
    void Check(uint32_t offset, unsigned width) const {
        if (offset > limit_ || limit_ - offset < width)
            throw Error("the resource tree points outside its section");
    }

    const uint8_t* file_;
    size_t size_;
    const PeImage& image_;
    size_t base_ = 0;
    uint32_t limit_ = 0;
    std::set<uint32_t> visited_;
    uint64_t copied_ = 0;
    uint32_t leaves_ = 0;
};

void Table(Bytes& out, size_t named, size_t ids) {
    if (named + ids > kMaxEntries)
        throw Error("more than 65535 resources of one type or name");
    out.insert(out.end(), 12, 0); // characteristics, time stamp and version stay zero
    Append16(out, uint32_t(named));
    Append16(out, uint32_t(ids));
}

} // namespace

std::vector<Resource> ReadResources(const uint8_t* file, size_t size, const PeImage& image) {
    std::vector<Resource> out;
    if (image.dirs[kDirResource].rva == 0)
        return out;
    TreeReader reader(file, size, image);
    Resource path;
    reader.Directory(0, 0, path, out);
    return out;
}

std::vector<std::u16string> ReadStringBlock(const Bytes& block) {
    std::vector<std::u16string> texts(16);
    size_t at = 0;
    for (auto& t : texts) {
        const unsigned length = Get16(block, at, "the string table");
        for (unsigned c = 0; c < length; ++c)
            t += char16_t(Get16(block, at + 2 + 2 * c, "the string table"));
        at += 2 + 2 * size_t(length);
    }
    return texts;
}

Bytes BuildResourceSection(std::vector<Resource>& resources, uint32_t rva) {
    std::sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        if (!(a.type == b.type))
            return a.type < b.type;
        if (!(a.name == b.name))
            return a.name < b.name;
        return a.language < b.language;
    });
    for (size_t i = 1; i < resources.size(); ++i)
        if (resources[i].type == resources[i - 1].type && resources[i].name == resources[i - 1].name &&
            resources[i].language == resources[i - 1].language)
            throw Error("two resources of the same type, name and language");

    // Groups: types, then (type, name) pairs, in sorted order.
    std::vector<size_t> typeStart, nameStart; // indexes into resources
    for (size_t i = 0; i < resources.size(); ++i) {
        const bool newType = i == 0 || !(resources[i].type == resources[i - 1].type);
        if (newType)
            typeStart.push_back(i);
        if (newType || !(resources[i].name == resources[i - 1].name))
            nameStart.push_back(i);
    }
    typeStart.push_back(resources.size());
    nameStart.push_back(resources.size());

    // Sizes first: root, type tables, name tables, then strings, entries, data.
    const size_t types = typeStart.size() - 1, names = nameStart.size() - 1;
    size_t offset = 16 + 8 * types;
    std::vector<uint32_t> typeTable(types), nameTable(names);
    size_t n = 0;
    for (size_t t = 0; t < types; ++t) {
        typeTable[t] = uint32_t(offset);
        size_t count = 0;
        for (; n < names && nameStart[n] < typeStart[t + 1]; ++n)
            ++count;
        offset += 16 + 8 * count;
    }
    for (size_t k = 0; k < names; ++k) {
        nameTable[k] = uint32_t(offset);
        offset += 16 + 8 * (nameStart[k + 1] - nameStart[k]);
    }
    std::map<std::u16string, uint32_t> strings; // each once, in code-unit order
    for (const Resource& r : resources)
        for (const ResourceId* id : {&r.type, &r.name})
            if (!id->name.empty()) {
                if (id->name.size() > 0xFFFF)
                    throw Error("a resource name is too long");
                strings[id->name] = 0;
            }
    for (auto& [text, at] : strings) {
        at = uint32_t(offset);
        offset += 2 + 2 * text.size();
    }
    offset = AlignUp(offset, 8);
    const size_t entries = offset;
    offset += 16 * resources.size();
    std::vector<uint64_t> dataAt(resources.size());
    for (size_t i = 0; i < resources.size(); ++i) {
        offset = AlignUp(offset, 8);
        dataAt[i] = offset;
        offset += resources[i].data.size();
    }
    if (offset + rva > 0xFFFFFFFFu - 0x10000000u)
        throw Error("the resources would make the image larger than 4 GB");

    Bytes out;
    out.reserve(offset);
    auto key = [&](const ResourceId& id) { return id.name.empty() ? uint32_t(id.id) : kHigh | strings[id.name]; };
    auto entry = [&](const ResourceId& id, uint32_t target) {
        Append32(out, key(id));
        Append32(out, target);
    };
    // Root.
    {
        unsigned named = 0;
        for (size_t t = 0; t < types; ++t)
            named += !resources[typeStart[t]].type.name.empty();
        Table(out, named, types - named);
        for (size_t t = 0; t < types; ++t)
            entry(resources[typeStart[t]].type, kHigh | typeTable[t]);
    }
    // Per type, its names.
    n = 0;
    for (size_t t = 0; t < types; ++t) {
        size_t first = n, named = 0;
        for (; n < names && nameStart[n] < typeStart[t + 1]; ++n)
            named += !resources[nameStart[n]].name.name.empty();
        Table(out, named, n - first - named);
        for (size_t k = first; k < n; ++k)
            entry(resources[nameStart[k]].name, kHigh | nameTable[k]);
    }
    // Per name, its languages.
    for (size_t k = 0; k < names; ++k) {
        Table(out, 0, nameStart[k + 1] - nameStart[k]);
        for (size_t i = nameStart[k]; i < nameStart[k + 1]; ++i)
            entry(ResourceId::Number(resources[i].language), uint32_t(entries + 16 * i));
    }
    for (const auto& [text, at] : strings) {
        (void)at;
        Append16(out, uint32_t(text.size()));
        for (char16_t c : text)
            Append16(out, c);
    }
    out.resize(entries, 0);
    for (size_t i = 0; i < resources.size(); ++i) {
        Append32(out, uint32_t(rva + dataAt[i]));
        Append32(out, uint32_t(resources[i].data.size()));
        Append32(out, 0);
        Append32(out, 0);
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        out.resize(dataAt[i], 0);
        out.insert(out.end(), resources[i].data.begin(), resources[i].data.end());
    }
    return out;
}

} // namespace sparlin::pack
