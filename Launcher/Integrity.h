#ifndef SPARLIN_INTEGRITY_H
#define SPARLIN_INTEGRITY_H

#include "Kova/Exception.h"
#include "Kova/FileSystem/File.h"

#include <string>

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

} // namespace Sparlin

#endif
