#include "Application.h"

#include "Exception.h"

#include <windows.h>

namespace Kova {
namespace Application {

ResourceView ViewResource(const wchar_t* name, const wchar_t* type)
{
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
        throw LastErrorException("Kova::Application::LoadResource", 17, "Application");
    }
    HGLOBAL loaded = ::LoadResource(module, found);
    if (loaded == nullptr) {
        throw LastErrorException("Kova::Application::LoadResource", 23, "Application");
    }
    const DWORD size = SizeofResource(module, found);
    const void* bytes = LockResource(loaded);
    // Resources of the running module stay mapped: nothing to release.
    return ResourceView{bytes, static_cast<std::uint32_t>(size)};
}

Buffer LoadResource(const wchar_t* name, const wchar_t* type)
{
    const ResourceView view = ViewResource(name, type);
    return Buffer(view.data, view.size);
}

std::wstring LoadStringResource(unsigned int id)
{
    HMODULE module = GetModuleHandleW(nullptr);
    const wchar_t* text = nullptr;
    // A length of 0 asks for a read-only pointer into the resource itself.
    const int length = LoadStringW(module, id, reinterpret_cast<wchar_t*>(&text), 0);
    if (length == 0) {
        throw LastErrorException("Kova::Application::LoadStringResource", 47, "Application");
    }
    return std::wstring(text, static_cast<size_t>(length));
}

} // namespace Application
} // namespace Kova
