#ifndef SPARLIN_STARTNAMES_H
#define SPARLIN_STARTNAMES_H

#include <functional>
#include <string>
#include <vector>

namespace Sparlin {

// What every private folder's name begins with.
inline constexpr wchar_t privateFolderPrefix[] = L"Sparlin-";

// Whether a name is one MakeRandomFolderName could have made.
bool IsPrivateFolderName(const std::wstring& name);

// Whether a file name has a shape that a start writes into its folder: the
// system's temporary names, up to four hexadecimal digits, ending in the
// system's extension or in exe.
bool IsStartFileName(const std::wstring& name);

// The names of one start's files in its folder. No two it hands out share
// their stem, whatever the source proposes: the system's search proposes a
// name again once its file is gone, and an output does not exist yet when
// the next name is asked for.
class TempNames {
public:
    // A path in `directory` with the system's temporary extension.
    using Source = std::function<std::wstring(const std::wstring& directory)>;

    TempNames(std::wstring directory, Source source);

    // A path no earlier call returned, with `extension` (no dot) in place of
    // the system's when given. Throws when the source only repeats itself.
    std::wstring Next(const wchar_t* extension);
    const std::wstring& GetDirectory() const { return directory; }

private:
    std::wstring directory;
    Source source;
    std::vector<std::wstring> stems;
};

} // namespace Sparlin

#endif
