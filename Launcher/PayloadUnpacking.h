#ifndef SPARLIN_PAYLOADUNPACKING_H
#define SPARLIN_PAYLOADUNPACKING_H

#include "Kova/FileSystem/File.h"

#include <string>

namespace Sparlin {

// Writes one of this executable's resources, unchanged, into a new temporary
// file; the write handle stays open. When the resource cannot be read or
// written the file is removed again before the failure leaves; from the
// return on, the caller's guard is responsible for it.
// The file is made in `directory`.
Kova::FileSystem::File ExtractResourceToTempFile(const wchar_t* name, const wchar_t* type, const wchar_t* extension,
                                                 const std::wstring& directory);

// Decompresses an LZMA resource by running the tool on it, into a new file in
// `directory`; returns the output opened for reading, with read sharing only,
// after checking it against the digest recorded under `digestName`. An
// output that fails the check is removed.
Kova::FileSystem::File UnpackPayload(const std::wstring& toolPath, const wchar_t* name, const wchar_t* type,
                                     const wchar_t* extension, const std::wstring& directory,
                                     const wchar_t* digestName);

// Up to three attempts, one second apart; false when the file stays.
bool DeleteFileWithRetries(Kova::FileSystem::File& file);

// Removes one file when its scope ends, or earlier by Run; acts at most once.
class ScopeGuard {
public:
    using Action = bool (*)(Kova::FileSystem::File&);

    ScopeGuard(Kova::FileSystem::File& target, Action action) : target(target), action(action), armed(true) {}
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    ~ScopeGuard() { Run(); }

    void Run()
    {
        if (armed) {
            armed = false;
            action(target);
        }
    }

private:
    Kova::FileSystem::File& target;
    Action action;
    bool armed;
};

// The single-attempt action, for guards of files nothing else holds.
bool DeleteFileOnce(Kova::FileSystem::File& file);

// The tool's command line.
std::wstring MakeToolCommandLine(const std::wstring& toolPath, const std::wstring& input, const std::wstring& output);

} // namespace Sparlin

#endif
