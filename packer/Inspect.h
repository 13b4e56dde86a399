#pragma once

#include "Bytes.h"

#include <optional>
#include <string>
#include <vector>

namespace sparlin::pack {

// What a payload, or the LZMA tool, holds.
struct CarriedFile {
    std::string entry;                  // GUI32 ... HTMLAYOUT64, or LZMA for the tool
    bool present = false;               // its data is there
    uint64_t storedSize = 0;            // the resource's size
    std::optional<uint64_t> unpackedSize; // as the stream's header says; unset: unknown
    std::string machine, kind;          // of the unpacked file: "x86", "program"; empty: see problem
    std::optional<std::string> recorded; // the digest text as stored; unset: none
    std::string problem;                // why machine and kind are not known
    std::optional<bool> matches;        // --verify: whether the digest matches
};

struct IconSize {
    unsigned width, height, bitCount;
};

struct Inspection {
    std::string machine;                 // of the launcher: x86 or x64
    std::string version;                 // its file version; empty: none
    std::string updateHost, downloadHost; // UTF-8
    std::vector<CarriedFile> payloads;   // those present or with a digest
    CarriedFile tool;
    std::vector<IconSize> icon;
    uint32_t certificateSize = 0;        // 0: not signed
    bool verified = false;               // --verify was done
    std::vector<std::string> mismatches; // --verify: one line each
};

// A payload may unpack to no more than a PE file can hold.
constexpr uint64_t kMaxUnpacked = 0xFFFFFFFFu;

// Reads what a packed launcher or a stub carries; `verify` also decodes
// every payload, hashes it and the tool and compares them with the recorded
// digests, the way the launcher does. A file that is no launcher is refused
// with Error. Memory stays within the file's size, a copy of its resources
// and one decoder's window; no payload is decoded past `unpackedLimit`.
Inspection Inspect(const uint8_t* file, size_t size, bool verify, uint64_t unpackedLimit = kMaxUnpacked);

// For people, and one JSON object for programs; `name` is the file's, in UTF-8.
std::string InspectionText(const Inspection& inspection, const std::string& name);
std::string InspectionJson(const Inspection& inspection, const std::string& name);

} // namespace sparlin::pack
