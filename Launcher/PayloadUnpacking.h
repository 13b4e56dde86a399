#ifndef SPARLIN_PAYLOADUNPACKING_H
#define SPARLIN_PAYLOADUNPACKING_H

#include "Integrity.h"
#include "StartNames.h"

#include "Kova/FileSystem/File.h"
#include "Kova/Process.h"

#include <optional>
#include <string>

namespace Sparlin {

// Writes one of this executable's resources, unchanged, into a new temporary
// file; the write handle stays open. When the resource cannot be read or
// written the file is removed again before the failure leaves; from the
// return on, the caller's guard is responsible for it.
// The file is made under the next of `names`.
Kova::FileSystem::File ExtractResourceToTempFile(const wchar_t* name, const wchar_t* type, const wchar_t* extension,
                                                 TempNames& names);

// Names in `directory` from the system's unique-name search.
TempNames SystemTempNames(const std::wstring& directory);

// Decompresses an LZMA resource by running the tool on it, into a new file of
// `names`; returns the output opened for reading, with read sharing only,
// after checking it against the digest recorded under `digestName`. An
// output that fails the check is removed.
Kova::FileSystem::File UnpackPayload(const std::wstring& toolPath, const wchar_t* name, const wchar_t* type,
                                     const wchar_t* extension, TempNames& names, const wchar_t* digestName);

// A payload the tool is decompressing: the resource is written out and the
// tool started on it in the constructor, so that the caller can work while
// it runs. Finish waits for the tool, removes the input and returns the
// output opened for reading, with read sharing only, not yet checked. Left
// unfinished (by a failure, its own included), the object waits for the tool
// if it still can and removes what it was given and what it wrote. Two may be
// pending at once, with the same `names`: each has its own files and its own tool. While its tool
// runs, Finish feeds `digest` the output written so far, and `alongside`
// (another pending payload's) likewise, so that neither waits idle.
class PendingPayload {
public:
    PendingPayload(const std::wstring& toolPath, const wchar_t* name, const wchar_t* type, const wchar_t* extension,
                   TempNames& names);
    PendingPayload(const PendingPayload&) = delete;
    PendingPayload& operator=(const PendingPayload&) = delete;
    ~PendingPayload();

    Kova::FileSystem::File Finish(GrowingFileDigest* digest = nullptr, GrowingFileDigest* alongside = nullptr);
    const std::wstring& GetOutputPath() const { return outputPath; }

private:
    // Lets tests make the wait fail and hold the output.
    friend struct PendingPayloadAccess;

    Kova::FileSystem::File input;
    std::wstring outputPath;
    std::optional<Kova::Process> tool;
    bool finished = false;
};

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

// The tool's command line.
std::wstring MakeToolCommandLine(const std::wstring& toolPath, const std::wstring& input, const std::wstring& output);

} // namespace Sparlin

#endif
