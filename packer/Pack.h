#pragma once

#include "Bytes.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sparlin::pack {

// Where the launcher looks for its icon and its hosts (string ids).
constexpr uint16_t kIconGroup = 101;
constexpr unsigned kUpdateHostId = 110, kDownloadHostId = 111;

// One of the four payload files, compressed, with its digest.
struct Payload {
    std::string entry;      // GUI32, HTMLAYOUT32, GUI64 or HTMLAYOUT64
    Bytes compressed;       // as `LZMA e` writes it
    std::string digest;     // lower-case hexadecimal SHA-256 of the file
};

struct PackRequest {
    Bytes stub;
    std::vector<Payload> payloads;
    std::optional<std::string> updateHost, downloadHost; // unset: the stub's own
    std::optional<Bytes> icon;                           // an .ico file
    bool stripSignature = false;
    // Only for the project's own tests: another tool, and digests that do not match.
    std::optional<Bytes> tool;
    std::set<std::string> wrongDigests; // lzma, gui32, ...
};

// The packed image. Throws Error with a message for the user.
Bytes Pack(const PackRequest& request);

// The rules the build applies to its host settings; the message says what is wrong.
void CheckUpdateHost(const std::string& host);
void CheckDownloadHost(const std::string& host);

// The options naming each payload file, and the machine and kind each must be.
struct EntryKind {
    const char* entry;
    const char* option;
    uint16_t machine; // 0: any (the project's 64-bit test build has no 32-bit payload)
    bool dll;
};
extern const EntryKind kEntries[4];

// Reads `path` whole; the message names the file.
Bytes ReadFile(const std::filesystem::path& path, const std::string& shownName);

// A payload file whose headers are those its entry takes, open for compressing.
struct CheckedInput {
    std::unique_ptr<std::ifstream> file;
    uint64_t size;
    std::string shownName;
    std::string entry;
};
CheckedInput CheckInput(const std::filesystem::path& path, const std::string& shownName, const EntryKind& kind);
// Compresses with the tool's default settings, on `threads` (1 or 2) threads,
// and takes the digest in the same pass; `progress` is as lzma::EncoderOptions'.
Payload Compress(CheckedInput& input, unsigned threads, const std::function<void(uint64_t)>& progress);
// Both of them, on one thread.
Payload CompressFile(const std::filesystem::path& path, const std::string& shownName, const EntryKind& kind);

} // namespace sparlin::pack
