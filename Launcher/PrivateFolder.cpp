#include "PrivateFolder.h"

#include "Kova/Buffer.h"
#include "Kova/Exception.h"
#include "Kova/Hex.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <vector>

// RtlGenRandom, exported by advapi32 under this name.
extern "C" __declspec(dllimport) BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace Sparlin {

namespace {

const char* const source = "PrivateFolder";
constexpr int nameAttempts = 16;
constexpr int removalAttempts = 3;

// Never follows a link: a reparse point is opened as itself, so that it
// can be recognised and refused.
Kova::KernelHandle OpenDirectory(const std::wstring& path, DWORD access, DWORD share)
{
    HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return Kova::KernelHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

bool IsPlainDirectory(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The path the system itself resolved for an open handle, links and short
// names undone, without the \\?\ prefix.
std::wstring FinalPath(HANDLE handle)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            throw Kova::LastErrorException("Sparlin::FinalPath", 0, source);
        }
        if (length < buffer.size()) {
            std::wstring path(buffer.data(), length);
            if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
                return L"\\" + path.substr(7);
            }
            if (path.rfind(L"\\\\?\\", 0) == 0) {
                return path.substr(4);
            }
            return path;
        }
        buffer.resize(length);
    }
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return std::wstring();
    }
    std::wstring result = text;
    LocalFree(text);
    return result;
}

} // namespace

std::wstring SecurityOf(void* handle)
{
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, wanted, nullptr, nullptr, nullptr, nullptr, &descriptor) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    wchar_t* text = nullptr;
    std::wstring result;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, wanted, &text, nullptr)) {
        result = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

namespace {

Kova::KernelHandle OpenOwnToken()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return Kova::KernelHandle();
    }
    return Kova::KernelHandle(token);
}

std::wstring CurrentUserSid()
{
    const Kova::KernelHandle token = OpenOwnToken();
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size ? size : 1);
    if (token.IsEmpty() || !GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) {
        throw Kova::LastErrorException("Sparlin::CurrentUserSid", 0, source);
    }
    const std::wstring sid = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    if (sid.empty()) {
        throw Kova::LastErrorException("Sparlin::CurrentUserSid", 0, source);
    }
    return sid;
}

} // namespace

// Protected, so nothing is inherited from the directory above. The owner is
// the Administrators group rather than the user, whose unelevated programs
// would otherwise hold the owner's right to change the list.
const wchar_t* const PrivateFolder::securityDescriptor = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

namespace {

// Unelevated, the Administrators group can be neither the owner nor a way
// in for this process: the user's own SID must be on the list.
std::wstring UnelevatedDescriptor(const std::wstring& userSid)
{
    return L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + userSid + L")";
}

} // namespace

std::wstring PrivateFolder::GetSecurityDescriptor(bool elevated)
{
    return elevated ? securityDescriptor : UnelevatedDescriptor(CurrentUserSid());
}

namespace {

std::atomic<ElevationSource> elevationSource{nullptr};

} // namespace

void SetElevationSource(ElevationSource source)
{
    elevationSource = source;
}

bool IsElevated()
{
    if (const ElevationSource source = elevationSource.load()) {
        return source();
    }
    const Kova::KernelHandle token = OpenOwnToken();
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return !token.IsEmpty() &&
           GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

void FillRandom(void* buffer, unsigned long size)
{
    if (!SystemFunction036(buffer, size)) {
        throw Kova::LastErrorException("Sparlin::FillRandom", 0, source);
    }
}

std::wstring MakeRandomFolderName()
{
    Kova::Buffer random(16);
    FillRandom(random.GetData(), random.GetSize());
    return privateFolderPrefix + Kova::ToHex(random);
}

std::wstring PrivateFolder::GetRoot(bool elevated)
{
    wchar_t buffer[MAX_PATH];
    if (elevated) {
        // The system's own Windows directory, which no environment variable
        // or per-user setting can redirect.
        const UINT length = GetSystemWindowsDirectoryW(buffer, MAX_PATH);
        if (length == 0) {
            throw Kova::LastErrorException("Sparlin::PrivateFolder::GetRoot", 0, source);
        }
        if (length >= MAX_PATH) {
            throw Kova::Win32Exception("Sparlin::PrivateFolder::GetRoot", 0, source, ERROR_FILENAME_EXCED_RANGE);
        }
        std::wstring root(buffer, length);
        if (root.back() != L'\\') {
            root += L'\\';
        }
        return root + L"Temp";
    }
    const DWORD length = GetTempPathW(MAX_PATH, buffer);
    if (length == 0) {
        throw Kova::LastErrorException("Sparlin::PrivateFolder::GetRoot", 0, source);
    }
    if (length >= MAX_PATH) {
        // The buffer was too small and holds nothing usable.
        throw Kova::Win32Exception("Sparlin::PrivateFolder::GetRoot", 0, source, ERROR_FILENAME_EXCED_RANGE);
    }
    return std::wstring(buffer, length);
}

PrivateFolder::PrivateFolder(std::wstring root, std::wstring path, Kova::KernelHandle parent, Kova::KernelHandle held,
                             std::wstring security, bool administratorsOnly)
    : root(std::move(root)), path(std::move(path)), parent(std::move(parent)), held(std::move(held)),
      security(std::move(security)), administratorsOnly(administratorsOnly)
{
}

namespace {

struct FolderHandle {
    std::wstring path;
    Kova::KernelHandle held;
};

// A new folder of a name from `names` in `home`, held.
FolderHandle MakeFolder(const std::wstring& home, const PrivateFolder::NameSource& names,
                        SECURITY_ATTRIBUTES& attributes)
{
    for (int attempt = 1;; ++attempt) {
        std::wstring path = home + names();
        // Fails on any existing entry of that name, a link included: a
        // folder someone prepared is never used.
        if (!CreateDirectoryW(path.c_str(), &attributes)) {
            if (GetLastError() != ERROR_ALREADY_EXISTS || attempt == nameAttempts) {
                throw Kova::LastErrorException("Sparlin::PrivateFolder::Create", 0, source);
            }
            continue;
        }
        // Without delete sharing: nobody can rename, delete or replace the
        // folder while this handle is open. Nor do we ask for delete access
        // ourselves, so that a process may still work in it.
        Kova::KernelHandle held =
            OpenDirectory(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (held.IsEmpty()) {
            const DWORD error = GetLastError();
            RemoveDirectoryW(path.c_str());
            throw Kova::Win32Exception("Sparlin::PrivateFolder::Create", 0, source, error);
        }
        // Swapped between its creation and the open: whatever is there now
        // is not ours to use, nor to remove.
        if (!IsPlainDirectory(held.Get()) || !SamePath(FinalPath(held.Get()), path)) {
            throw Kova::Win32Exception("Sparlin::PrivateFolder::Create", 0, source, ERROR_CANT_ACCESS_FILE);
        }
        return FolderHandle{std::move(path), std::move(held)};
    }
}

} // namespace

PrivateFolder PrivateFolder::Create()
{
    const bool elevated = IsElevated();
    return Create(GetRoot(elevated), &MakeRandomFolderName, elevated);
}

PrivateFolder PrivateFolder::Create(const std::wstring& root, const NameSource& names, bool elevated)
{
    // Links on the way to the root, and the root itself if administrators
    // moved it elsewhere by one, are resolved once, here; from then on the
    // folder's own handle is compared against this path.
    std::wstring base;
    {
        HANDLE opened = CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        const Kova::KernelHandle parent(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
        if (parent.IsEmpty()) {
            throw Kova::LastErrorException("Sparlin::PrivateFolder::Create", 0, source);
        }
        base = FinalPath(parent.Get());
    }
    if (base.empty() || base.back() != L'\\') {
        base += L'\\';
    }

    const std::wstring descriptorText = elevated ? securityDescriptor : UnelevatedDescriptor(CurrentUserSid());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptorText.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        throw Kova::LastErrorException("Sparlin::PrivateFolder::Create", 0, source);
    }
    struct Release {
        PSECURITY_DESCRIPTOR descriptor;
        ~Release() { LocalFree(descriptor); }
    } release{descriptor};
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};

    // The product's own folder in the root, made like the private folders
    // and kept: nobody unelevated can plant anything in it to keep the sweep
    // busy. One that is somebody else's, or a link, is passed over.
    Kova::KernelHandle parent;
    std::wstring home = base;
    if (elevated) {
        const std::wstring parentPath = base + productFolderName;
        CreateDirectoryW(parentPath.c_str(), &attributes);
        // Held like the private folder, so that it cannot be swapped meanwhile.
        parent = OpenDirectory(parentPath,
                               FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE);
        try {
            if (!parent.IsEmpty() && IsPlainDirectory(parent.Get()) && SamePath(FinalPath(parent.Get()), parentPath)) {
                home = parentPath + L'\\';
            } else {
                parent.Reset();
            }
        } catch (const Kova::Exception&) {
            parent.Reset();
        }
    }
    FolderHandle made = MakeFolder(home, names, attributes);
    std::wstring security = SecurityOf(made.held.Get());
    if (!parent.IsEmpty() && (security.empty() || SecurityOf(parent.Get()) != security)) {
        // Not made as ours: anyone may have planted folders in it.
        made.held.Reset();
        RemoveDirectoryW(made.path.c_str());
        parent.Reset();
        home = base;
        made = MakeFolder(home, names, attributes);
        security = SecurityOf(made.held.Get());
    }
    // Early reads of a file that a tool writes are trusted only where nothing
    // unelevated can write, which takes a volume that keeps access lists.
    DWORD volumeFlags = 0;
    const bool persistentAcls =
        GetVolumeInformationByHandleW(made.held.Get(), nullptr, 0, nullptr, nullptr, &volumeFlags, nullptr, 0) &&
        (volumeFlags & FILE_PERSISTENT_ACLS) != 0;
    return PrivateFolder(home, std::move(made.path), std::move(parent), std::move(made.held), std::move(security),
                         elevated && persistentAcls);
}

PrivateFolder::~PrivateFolder()
{
    if (path.empty()) {
        return;
    }
    // Our own handle would refuse the removal.
    held.Reset();
    for (int attempt = 1; attempt <= removalAttempts; ++attempt) {
        if (RemoveDirectoryW(path.c_str())) {
            return;
        }
        if (attempt < removalAttempts) {
            Sleep(1000);
        }
    }
}

} // namespace Sparlin
