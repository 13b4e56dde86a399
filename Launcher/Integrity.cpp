#include "Integrity.h"

#include "Kova/Application.h"
#include "Kova/Hex.h"
#include "Kova/Security/Sha256.h"
#include "Kova/String.h"

#include <windows.h>

#include <cwctype>

namespace Sparlin {

std::wstring IntegrityException::GetMessageText() const
{
    return Kova::Format(L"The file \"%s\" is not the one this program carries: it is damaged or was changed. "
                        L"Nothing was started.",
                        path.c_str());
}

namespace {

std::wstring Upper(std::wstring text)
{
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

std::wstring RecordedDigest(const wchar_t* digestName)
{
    const Kova::Buffer recorded = Kova::Application::LoadResource(digestName, L"SHA256");
    return Upper(Kova::AnsiToWide(std::string(reinterpret_cast<const char*>(recorded.GetData()), recorded.GetSize())));
}

bool Matches(const std::wstring& expected, const Kova::Security::Sha256& hash)
{
    const std::wstring actual = Kova::ToHex(hash.GetDigest());
    return !actual.empty() && expected.compare(0, actual.size(), actual) == 0;
}

} // namespace

void VerifyFile(const Kova::FileSystem::File& file, const wchar_t* digestName)
{
    const std::wstring expected = RecordedDigest(digestName);
    Kova::Security::Sha256 hash;
    // In pieces through the handle: memory does not grow with the file.
    hash.Calculate(file);
    if (!Matches(expected, hash)) {
        throw IntegrityException("Sparlin::VerifyFile", 0, "Integrity", file.GetPath());
    }
}

GrowingFileDigest::GrowingFileDigest(std::wstring path, bool early) : path(std::move(path)), early(early) {}

void GrowingFileDigest::Advance()
{
    if (!early) {
        return;
    }
    if (reader.IsEmpty()) {
        // Sharing everything the writer may need, its removal of a failed
        // output included; reading only.
        const HANDLE opened =
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (opened == INVALID_HANDLE_VALUE) {
            return;
        }
        reader = Kova::KernelHandle(opened);
        chunk.resize(Kova::Security::Hash::FileChunkSize);
    }
    // Up to the end as it is now; a short read means the writer is behind.
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(reader.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
            early = false;
            Release();
            return;
        }
        if (read == 0) {
            return;
        }
        hash.Update(chunk.data(), read);
        hashed += read;
        if (read < chunk.size()) {
            return;
        }
    }
}

void GrowingFileDigest::Release()
{
    reader.Reset();
}

void GrowingFileDigest::Verify(const Kova::FileSystem::File& held, const wchar_t* digestName)
{
    Release();
    const std::wstring expected = RecordedDigest(digestName);
    if (early && hashed <= held.GetSize()) {
        hash.UpdateFromFile(held, hashed);
        hash.Final();
        if (Matches(expected, hash)) {
            return;
        }
    }
    VerifyFile(held, digestName);
}

} // namespace Sparlin
