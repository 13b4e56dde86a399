#pragma once

#include "Bytes.h"

#include <array>
#include <string>
#include <vector>

namespace sparlin::pack {

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kFileDll = 0x2000;
constexpr unsigned kDirSecurity = 4, kDirResource = 2, kDirReloc = 5, kDirDebug = 6;

struct Section {
    std::string name;
    size_t headerOffset; // of its 40-byte entry in the section table
    uint32_t virtualSize, virtualAddress, rawSize, rawPointer;
};

struct DataDirectory {
    uint32_t rva = 0, size = 0;
};

// The headers of a PE image, checked against the file's size.
struct PeImage {
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    bool pe32plus = false;
    uint16_t subsystem = 0;
    uint32_t symbolTable = 0;
    size_t optionalOffset = 0;
    uint32_t sectionAlignment = 0, fileAlignment = 0, sizeOfHeaders = 0;
    std::vector<Section> sections;
    std::array<DataDirectory, 16> dirs{};
    size_t dirOffset = 0; // of directory 0
    unsigned dirCount = 0;

    size_t CheckSumOffset() const { return optionalOffset + 64; }
    size_t SizeOfImageOffset() const { return optionalOffset + 56; }
    size_t InitializedDataOffset() const { return optionalOffset + 8; }
    size_t DirOffset(unsigned i) const { return dirOffset + 8 * i; }
    // The file offset of an RVA inside a section's raw data, with `length` bytes after it; throws otherwise.
    size_t Offset(uint32_t rva, uint32_t length, const char* what) const;
};

// Reads the headers of `data`; `headerOnly` accepts a file cut after its
// headers (for checking inputs without reading them whole). A whole file
// must also have sane alignments and headers that no section overlaps.
PeImage ParsePe(const uint8_t* data, size_t size, bool headerOnly = false);

// What Windows and the signing tools expect in the CheckSum field, of a
// file whose CheckSum field holds zero.
uint32_t PeCheckSum(const Bytes& file);

} // namespace sparlin::pack
