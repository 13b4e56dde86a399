#include "Pe.h"

#include <algorithm>

namespace sparlin::pack {

size_t PeImage::Offset(uint32_t rva, uint32_t length, const char* what) const {
    for (const Section& s : sections) {
        const uint32_t inFile = std::min(s.virtualSize ? s.virtualSize : s.rawSize, s.rawSize);
        if (rva >= s.virtualAddress && rva - s.virtualAddress <= inFile && inFile - (rva - s.virtualAddress) >= length)
            return size_t(s.rawPointer) + (rva - s.virtualAddress);
    }
    throw Error(std::string(what) + " lies outside the file's sections");
}

PeImage ParsePe(const uint8_t* data, size_t size, bool headerOnly) {
    const char* what = "the PE headers";
    if (size < 64 || data[0] != 'M' || data[1] != 'Z')
        throw Error("not a PE image (no MZ header)");
    const uint32_t pe = Get(data, size, 0x3C, 4, what);
    if (Get(data, size, pe, 4, what) != 0x4550)
        throw Error("not a PE image (no PE signature)");
    PeImage img;
    img.machine = uint16_t(Get(data, size, pe + 4, 2, what));
    const unsigned count = Get(data, size, pe + 6, 2, what);
    img.symbolTable = Get(data, size, pe + 12, 4, what);
    const unsigned optionalSize = Get(data, size, pe + 20, 2, what);
    img.characteristics = uint16_t(Get(data, size, pe + 22, 2, what));
    img.optionalOffset = size_t(pe) + 24;
    const size_t opt = img.optionalOffset;
    const unsigned magic = Get(data, size, opt, 2, what);
    if (magic != 0x10B && magic != 0x20B)
        throw Error("not a PE image (unknown optional header)");
    img.pe32plus = magic == 0x20B;
    img.sectionAlignment = Get(data, size, opt + 32, 4, what);
    img.fileAlignment = Get(data, size, opt + 36, 4, what);
    img.sizeOfHeaders = Get(data, size, opt + 60, 4, what);
    img.subsystem = uint16_t(Get(data, size, opt + 68, 2, what));
    const size_t countOffset = opt + (img.pe32plus ? 108 : 92);
    img.dirOffset = countOffset + 4;
    img.dirCount = std::min<uint32_t>(Get(data, size, countOffset, 4, what), 16);
    if (img.dirOffset + 8 * size_t(img.dirCount) > opt + optionalSize)
        throw Error("the PE optional header is too small for its directories");
    for (unsigned i = 0; i < img.dirCount; ++i)
        img.dirs[i] = {Get(data, size, img.dirOffset + 8 * i, 4, what), Get(data, size, img.dirOffset + 8 * i + 4, 4, what)};
    const size_t table = opt + optionalSize;
    if (count > 96)
        throw Error("the PE image has too many sections");
    for (unsigned i = 0; i < count; ++i) {
        const size_t at = table + 40 * size_t(i);
        Section s;
        s.headerOffset = at;
        Get(data, size, at, 4, "the section table"), Get(data, size, at + 36, 4, "the section table");
        s.name.assign(reinterpret_cast<const char*>(data + at), 8);
        s.name.resize(s.name.find('\0') == std::string::npos ? 8 : s.name.find('\0'));
        s.virtualSize = Get(data, size, at + 8, 4, what);
        s.virtualAddress = Get(data, size, at + 12, 4, what);
        s.rawSize = Get(data, size, at + 16, 4, what);
        s.rawPointer = Get(data, size, at + 20, 4, what);
        if (!headerOnly && s.rawSize && (s.rawPointer > size || size - s.rawPointer < s.rawSize))
            throw Error("section " + s.name + " extends past the end of the file");
        img.sections.push_back(s);
    }
    if (headerOnly)
        return img;
    // What the packer rewrites must be laid out as linkers lay it out: the
    // headers apart from every section, and alignments that keep sizes small.
    const uint32_t fa = img.fileAlignment, sa = img.sectionAlignment;
    if (fa < 512 || fa > 0x10000 || (fa & (fa - 1)) || sa < fa || (sa & (sa - 1)))
        throw Error("the PE image's alignments are not what linkers write");
    if (img.sizeOfHeaders < table + 40 * size_t(count) || img.sizeOfHeaders > size)
        throw Error("the PE headers do not fit their SizeOfHeaders");
    for (const Section& s : img.sections)
        if (s.rawSize && s.rawPointer < img.sizeOfHeaders)
            throw Error("section " + s.name + " overlaps the PE headers");
    return img;
}

uint32_t PeCheckSum(const Bytes& file) {
    uint64_t sum = 0;
    const size_t n = file.size();
    for (size_t i = 0; i + 1 < n; i += 2) {
        sum += uint32_t(file[i]) | uint32_t(file[i + 1]) << 8;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (n & 1)
        sum += file[n - 1];
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + n);
}

} // namespace sparlin::pack
