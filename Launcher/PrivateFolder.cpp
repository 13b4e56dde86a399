#include "PrivateFolder.h"

#include "Kova/Buffer.h"
#include "Kova/Exception.h"
#include "Kova/Hex.h"

#include <windows.h>
#include <sddl.h>

// RtlGenRandom, exported by advapi32 under this name.
extern "C" __declspec(dllimport) BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace Sparlin {

namespace {

constexpr int attempts = 16;

} // namespace

// Protected, so nothing is inherited from the temporary directory, whose
// access list lets every program of the user write. The owner is the
// Administrators group rather than the user, whose unelevated programs
// would otherwise hold the owner's right to change the list.
const wchar_t* const PrivateFolder::securityDescriptor = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::wstring MakeRandomFolderName()
{
    Kova::Buffer random(16);
    if (!SystemFunction036(random.GetData(), random.GetSize())) {
        throw Kova::LastErrorException("Sparlin::MakeRandomFolderName", 0, "PrivateFolder");
    }
    return L"Sparlin-" + Kova::ToHex(random);
}

PrivateFolder PrivateFolder::Create()
{
    wchar_t parent[MAX_PATH];
    if (GetTempPathW(MAX_PATH, parent) == 0) {
        throw Kova::LastErrorException("Sparlin::PrivateFolder::Create", 0, "PrivateFolder");
    }
    return Create(parent, &MakeRandomFolderName);
}

PrivateFolder PrivateFolder::Create(const std::wstring& parent, const NameSource& names)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(securityDescriptor, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        throw Kova::LastErrorException("Sparlin::PrivateFolder::Create", 0, "PrivateFolder");
    }
    struct Release {
        PSECURITY_DESCRIPTOR descriptor;
        ~Release() { LocalFree(descriptor); }
    } release{descriptor};
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};

    std::wstring base = parent;
    if (!base.empty() && base.back() != L'\\') {
        base += L'\\';
    }
    for (int attempt = 1;; ++attempt) {
        std::wstring path = base + names();
        // Fails on any existing entry of that name, a link included: a
        // folder someone prepared is never used.
        if (CreateDirectoryW(path.c_str(), &attributes)) {
            return PrivateFolder(std::move(path));
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS || attempt == attempts) {
            throw Kova::LastErrorException("Sparlin::PrivateFolder::Create", 0, "PrivateFolder");
        }
    }
}

PrivateFolder::~PrivateFolder()
{
    if (!path.empty()) {
        RemoveDirectoryW(path.c_str());
    }
}

} // namespace Sparlin
