#ifndef KOVA_REGISTRY_KEY_H
#define KOVA_REGISTRY_KEY_H

#include "../Buffer.h"
#include "../ScopedHandle.h"

#include <windows.h>

#include <cstdint>
#include <functional>

namespace Kova {
namespace Registry {

// An open registry key that closes itself.
class Key {
public:
    // Name and data are valid only during the call; copy what is kept.
    using ValueCallback = std::function<void(const wchar_t* name, std::uint32_t type, Buffer& data)>;

    // A missing key throws FileNotFoundException naming it (e.g.
    // "HKLM\SOFTWARE\..."); any other status throws Win32Exception with it.
    static Key Open(HKEY root, const wchar_t* path, std::uint32_t access);

    explicit Key(ScopedHandle<HKEY>&& handle);
    Key(Key&&) = default;

    // Calls back once per value, in the system's order. Names of 1024
    // characters or more fail the enumeration (ERROR_MORE_DATA).
    void EnumValue(const ValueCallback& callback);

private:
    ScopedHandle<HKEY> handle;
};

} // namespace Registry
} // namespace Kova

#endif
