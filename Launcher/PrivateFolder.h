#ifndef SPARLIN_PRIVATEFOLDER_H
#define SPARLIN_PRIVATEFOLDER_H

#include "StartNames.h"

#include "Kova/ScopedHandle.h"

#include <functional>
#include <string>

namespace Sparlin {

// A fresh folder for one start's temporary files. Its name cannot be
// guessed, an existing folder or link of that name is never reused, and
// only SYSTEM and Administrators may write to it: nothing unelevated can
// plant a DLL beside the application or swap a file between its check and
// its start. The folder is held open without delete sharing for as long as
// it exists, so it cannot be renamed or replaced meanwhile.
class PrivateFolder {
public:
    // Names the folder inside the root; random unless a test says otherwise.
    using NameSource = std::function<std::wstring()>;

    // In GetRoot(IsElevated()), with the access list that fits.
    static PrivateFolder Create();
    // `elevated` chooses the access list: Administrators own the folder, or
    // (not elevated) the user does and may use it too.
    static PrivateFolder Create(const std::wstring& root, const NameSource& names, bool elevated);

    PrivateFolder(PrivateFolder&& other) noexcept
        : root(std::move(other.root)), path(std::move(other.path)), parent(std::move(other.parent)),
          held(std::move(other.held)), security(std::move(other.security)), administratorsOnly(other.administratorsOnly)
    {
        other.path.clear();
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    // Removes the folder if it is empty by then, with the files' retries;
    // a file that could not be deleted keeps it until a later start.
    ~PrivateFolder();

    const std::wstring& GetPath() const { return path; }
    // Where the folder was made, as the system resolved it, and where stale
    // folders are looked for: the product's folder in the root when elevated
    // and that folder is ours, else the root itself.
    const std::wstring& GetRoot() const { return root; }
    // Its owner and access list as the system reads them back (SecurityOf):
    // what every folder of a start like this one shows.
    const std::wstring& GetSecurity() const { return security; }
    // Whether only SYSTEM and Administrators may write in it (made elevated,
    // on a volume that keeps access lists): nothing unelevated can change a
    // file there behind the launcher's back.
    bool OnlyAdministratorsWrite() const { return administratorsOnly; }

    // Where a start unpacks: the Windows directory's own Temp when elevated
    // (local, admin-owned, no user may list, rename or delete its entries),
    // otherwise the user's temporary directory. Never from TMP or TEMP when
    // elevated: any unelevated program may set those.
    static std::wstring GetRoot(bool elevated);

    // The access lists, in SDDL; the user's own variant is completed with
    // the user's SID.
    static const wchar_t* const securityDescriptor;
    static std::wstring GetSecurityDescriptor(bool elevated);

private:
    PrivateFolder(std::wstring root, std::wstring path, Kova::KernelHandle parent, Kova::KernelHandle held,
                  std::wstring security, bool administratorsOnly);

    std::wstring root;
    std::wstring path;
    // The product's folder it is in, held while it exists; empty in the root.
    Kova::KernelHandle parent;
    Kova::KernelHandle held;
    std::wstring security;
    bool administratorsOnly = false;
};

// Whether this process runs with an elevated token.
bool IsElevated();

// Test builds: what IsElevated says instead of the token.
using ElevationSource = bool (*)();
void SetElevationSource(ElevationSource source);

// 32 hexadecimal digits from the system's random generator, with a prefix.
std::wstring MakeRandomFolderName();

// Fills `buffer` from the system's random generator; throws when it cannot.
void FillRandom(void* buffer, unsigned long size);

// The folder in an elevated start's root that holds the private folders.
inline constexpr wchar_t productFolderName[] = L"Sparlin";

// The owner and access list of an open object in SDDL, empty when they
// cannot be read.
std::wstring SecurityOf(void* handle);

} // namespace Sparlin

#endif
