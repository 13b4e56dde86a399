#include "Key.h"

#include "../Exception.h"

#include <string>

namespace Kova {
namespace Registry {

namespace {

const char* const source = "Registry/Key";

void CloseKey(HKEY key)
{
    CloseRegistryKey(key);
}

const wchar_t* ShortName(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE) {
        return L"HKLM";
    }
    if (root == HKEY_CURRENT_USER) {
        return L"HKCU";
    }
    if (root == HKEY_CLASSES_ROOT) {
        return L"HKCR";
    }
    if (root == HKEY_USERS) {
        return L"HKU";
    }
    return L"";
}

} // namespace

Key::Key(ScopedHandle<HKEY>&& handle) : handle(std::move(handle)) {}

Key Key::Open(HKEY root, const wchar_t* path, std::uint32_t access)
{
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExW(root, path, 0, access, &opened);
    if (status == ERROR_FILE_NOT_FOUND) {
        std::wstring fullPath = ShortName(root);
        if (!fullPath.empty()) {
            fullPath += L"\\";
        }
        fullPath += path;
        throw FileNotFoundException("Kova::Registry::Key::Open", 205, source, fullPath);
    }
    if (status != ERROR_SUCCESS) {
        throw Win32Exception("Kova::Registry::Key::Open", 209, source, static_cast<std::uint32_t>(status));
    }
    return Key(ScopedHandle<HKEY>(opened, &CloseKey));
}

void Key::EnumValue(const ValueCallback& callback)
{
    constexpr DWORD nameCapacity = 1024;
    wchar_t name[nameCapacity];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = nameCapacity;
        DWORD type = 0;
        DWORD dataSize = 0;
        LSTATUS status = RegEnumValueW(handle.Get(), index, name, &nameLength, nullptr, &type, nullptr, &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) {
            return;
        }
        if (status != ERROR_SUCCESS) {
            throw Win32Exception("Kova::Registry::Key::EnumValue", 55, source, static_cast<std::uint32_t>(status));
        }
        if (nameLength < nameCapacity) {
            ++nameLength;
        }
        Buffer data(dataSize);
        DWORD delivered = dataSize;
        status = RegEnumValueW(handle.Get(), index, name, &nameLength, nullptr, &type, data.GetData(), &delivered);
        if (status == ERROR_NO_MORE_ITEMS) {
            return;
        }
        if (status != ERROR_SUCCESS) {
            throw Win32Exception("Kova::Registry::Key::EnumValue", 71, source, static_cast<std::uint32_t>(status));
        }
        callback(name, type, data);
    }
}

} // namespace Registry
} // namespace Kova
