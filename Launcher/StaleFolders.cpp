#include "StaleFolders.h"

#include "PrivateFolder.h"

#include "Kova/ScopedHandle.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#ifndef FILE_FLAG_OPEN_REQUIRING_OPLOCK
#define FILE_FLAG_OPEN_REQUIRING_OPLOCK 0x00040000
#endif

namespace Sparlin {

namespace {

// Ours hold five files at most: the tool, two inputs and two outputs.
constexpr size_t fileLimit = 5;

// Opens the entry itself, never what a link points to, and never waits: an
// open that would have to break another process's oplock fails instead.
// Systems before Windows 7 refuse the flag, and have no directory oplocks.
Kova::KernelHandle OpenWithoutWaiting(const std::wstring& path, DWORD access, DWORD share, DWORD flags)
{
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                flags | FILE_FLAG_OPEN_REQUIRING_OPLOCK, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
        handle = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    return Kova::KernelHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

bool ReadInformation(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information)
{
    return GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

std::uint64_t Ticks(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// The names of the files in the folder, through its handle: a listing by
// path would have to share it. False when anything in it is not what a start
// writes: too many files, a folder, or a name of another shape.
bool ListFiles(HANDLE folder, std::vector<std::wstring>& names)
{
    alignas(8) unsigned char listing[16384];
    FILE_INFO_BY_HANDLE_CLASS next = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, next, listing, sizeof(listing))) {
        next = FileFullDirectoryInfo;
        for (size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(listing + offset);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                // A link is deleted as itself, never followed.
                if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsStartFileName(name) ||
                    names.size() == fileLimit) {
                    return false;
                }
                names.push_back(std::move(name));
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            offset += entry->NextEntryOffset;
        }
    }
    return true;
}

bool MarkForDeletion(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

bool RemoveStaleFolder(const std::wstring& path, const std::wstring& security, std::uint64_t minimumAge)
{
    // Attributes and security only: this open conflicts with no sharing, and
    // breaks no oplock (or fails where it would have to).
    BY_HANDLE_FILE_INFORMATION seen{};
    {
        const Kova::KernelHandle look =
            OpenWithoutWaiting(path, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_FLAG_BACKUP_SEMANTICS);
        if (look.IsEmpty() || !ReadInformation(look.Get(), seen)) {
            return false;
        }
        // A young folder may be a start's that has not opened it yet; one
        // from the future is nobody's business either.
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const std::uint64_t created = Ticks(seen.ftCreationTime);
        if (created > Ticks(now) || Ticks(now) - created < minimumAge) {
            return false;
        }
        // Not made as ours: a folder moved in under our name pattern, one
        // its owner may still rename, or one planted by anyone.
        if (security.empty() || SecurityOf(look.Get()) != security) {
            return false;
        }
    }
    // Asking for delete access fails while anything holds the folder
    // without delete sharing: the start that made it, or a process working in it.
    const Kova::KernelHandle folder = OpenWithoutWaiting(
        path, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ,
        FILE_FLAG_BACKUP_SEMANTICS);
    BY_HANDLE_FILE_INFORMATION now{};
    // Replaced between the two opens: not the folder that was checked.
    if (folder.IsEmpty() || !ReadInformation(folder.Get(), now) || !SameFile(seen, now)) {
        return false;
    }
    std::vector<std::wstring> names;
    if (!ListFiles(folder.Get(), names)) {
        return false;
    }
    for (const std::wstring& name : names) {
        const Kova::KernelHandle file =
            OpenWithoutWaiting(path + L"\\" + name, DELETE | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        if (!file.IsEmpty()) {
            MarkForDeletion(file.Get());
        }
    }
    // Gone when the handle closes, if it is empty by then.
    return MarkForDeletion(folder.Get());
}

// How deep a crowded listing narrows, one random hexadecimal digit at a time.
constexpr unsigned narrowingDigits = 3;

// Our folders in `base` whose names begin with `prefix`, reading at most
// `limit` entries. False when there were more.
bool ListCandidates(const std::wstring& base, const std::wstring& prefix, unsigned limit,
                    std::vector<std::wstring>& candidates)
{
    candidates.clear();
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileExW((base + prefix + L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                   nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        return true;
    }
    bool complete = true;
    unsigned read = 0;
    do {
        if (++read > limit) {
            complete = false;
            break;
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && IsPrivateFolderName(entry.cFileName)) {
            candidates.push_back(base + entry.cFileName);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return complete;
}

} // namespace

unsigned RemoveStaleFolders(const std::wstring& root, const std::wstring& security, std::uint64_t minimumAge,
                            unsigned listing)
{
    try {
        std::wstring base = root;
        if (!base.empty() && base.back() != L'\\') {
            base += L'\\';
        }
        struct {
            std::uint32_t digits[narrowingDigits];
            std::uint32_t picks[staleFolderCandidates];
        } random;
        FillRandom(&random, sizeof(random));

        // Listings come in name order, so anyone who plants enough folders
        // of low names would fill the first ones at every start: a listing
        // that is too long narrows to names that begin with a random digit
        // more, and the candidates are picked at random from the last one.
        // A start pays for a few bounded listings at most, however many were
        // planted.
        std::wstring prefix = privateFolderPrefix;
        std::vector<std::wstring> candidates;
        for (unsigned depth = 0; !ListCandidates(base, prefix, listing, candidates) && depth < narrowingDigits;
             ++depth) {
            prefix += L"0123456789ABCDEF"[random.digits[depth] % 16];
        }
        const size_t count = std::min<size_t>(candidates.size(), staleFolderCandidates);
        for (size_t i = 0; i < count; ++i) {
            std::swap(candidates[i], candidates[i + random.picks[i] % (candidates.size() - i)]);
        }
        candidates.resize(count);

        unsigned removed = 0;
        for (const std::wstring& candidate : candidates) {
            if (RemoveStaleFolder(candidate, security, minimumAge)) {
                ++removed;
            }
        }
        return removed;
    } catch (...) {
        // Tidying up after earlier starts never stops this one.
        return 0;
    }
}

} // namespace Sparlin
