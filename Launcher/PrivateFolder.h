#ifndef SPARLIN_PRIVATEFOLDER_H
#define SPARLIN_PRIVATEFOLDER_H

#include <functional>
#include <string>

namespace Sparlin {

// A fresh folder for one start's temporary files, inside the user's
// temporary directory. Its name cannot be guessed, an existing folder or
// link of that name is never reused, and only SYSTEM and Administrators may
// write to it: nothing unelevated can plant a DLL beside the application or
// swap a file between its writing and its start.
class PrivateFolder {
public:
    // Names the folder inside the directory; random unless a test says otherwise.
    using NameSource = std::function<std::wstring()>;

    static PrivateFolder Create();
    static PrivateFolder Create(const std::wstring& parent, const NameSource& names);

    PrivateFolder(PrivateFolder&& other) noexcept : path(std::move(other.path)) { other.path.clear(); }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    // Removes the folder if it is empty by then; a file that could not be
    // deleted keeps it.
    ~PrivateFolder();

    const std::wstring& GetPath() const { return path; }

    // The access list every such folder gets, in SDDL.
    static const wchar_t* const securityDescriptor;

private:
    explicit PrivateFolder(std::wstring path) : path(std::move(path)) {}
    std::wstring path;
};

// 32 hexadecimal digits from the system's random generator, with a prefix.
std::wstring MakeRandomFolderName();

} // namespace Sparlin

#endif
