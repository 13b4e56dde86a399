#ifndef SPARLIN_INTEGRITY_H
#define SPARLIN_INTEGRITY_H

#include "Kova/Exception.h"
#include "Kova/FileSystem/File.h"
#include "Kova/ScopedHandle.h"
#include "Kova/Security/Sha256.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Sparlin {

// A file the launcher wrote or unpacked is not what the build recorded.
class IntegrityException : public Kova::Exception {
public:
    IntegrityException(const char* function, int line, const char* file, std::wstring path)
        : Kova::Exception(function, line, file), path(std::move(path))
    {
    }

    std::wstring GetMessageText() const override;
    const std::wstring& GetPath() const { return path; }

private:
    std::wstring path;
};

// Hashes the file through its open handle (read from the start) and compares
// the SHA-256 with the one the build recorded under "SHA256"/digestName.
// Throws IntegrityException on a mismatch.
void VerifyFile(const Kova::FileSystem::File& file, const wchar_t* digestName);

// The digest of a file that another process writes from its start to its end,
// taken while it grows, so that once the writer has ended only the tail is
// left to hash. Only for a folder that nothing unelevated may write to: the
// bytes read before the file is held are trusted to stay as they were read.
class GrowingFileDigest {
public:
    // `early` false: nothing is read before Verify, which hashes the whole file.
    GrowingFileDigest(std::wstring path, bool early);

    // Hashes what was written since the last call. Never fails: a file not
    // made yet is looked for again next time, and any other trouble leaves
    // the whole file to Verify.
    void Advance();
    // Closes the reading handle, so that a writer's removal of the file
    // completes and the file can be opened without write sharing.
    void Release();
    // Hashes the rest of `held` (opened with read sharing only, so no writer
    // is left) and compares with the digest recorded under digestName. A
    // mismatch is confirmed by hashing the whole of `held` again, so that a
    // read that raced the writer never fails a good file. Throws
    // IntegrityException like VerifyFile.
    void Verify(const Kova::FileSystem::File& held, const wchar_t* digestName);

private:
    std::wstring path;
    bool early;
    Kova::KernelHandle reader;
    Kova::Security::Sha256 hash;
    std::uint64_t hashed = 0;
    std::vector<std::uint8_t> chunk;
};

} // namespace Sparlin

#endif
