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

} // namespace

void VerifyFile(const Kova::FileSystem::File& file, const wchar_t* digestName)
{
    const Kova::Buffer recorded = Kova::Application::LoadResource(digestName, L"SHA256");
    const std::wstring expected =
        Upper(Kova::AnsiToWide(std::string(reinterpret_cast<const char*>(recorded.GetData()), recorded.GetSize())));
    Kova::Security::Sha256 hash;
    // In pieces through the handle: memory does not grow with the file.
    hash.Calculate(file);
    const std::wstring actual = Kova::ToHex(hash.GetDigest());
    if (expected.compare(0, actual.size(), actual) != 0 || actual.empty()) {
        throw IntegrityException("Sparlin::VerifyFile", 0, "Integrity", file.GetPath());
    }
}

} // namespace Sparlin
