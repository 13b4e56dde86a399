#ifndef SPARLIN_MACHINEIDENTIFIER_H
#define SPARLIN_MACHINEIDENTIFIER_H

#include <windows.h>

#include <cstdint>
#include <string>

namespace Sparlin {

// 40 upper-case hexadecimal digits: the SHA-1 of the processor text, a slash
// and the Windows product ID ("(null)" when it cannot be read). Stable for
// one machine; never fails because of the registry.
std::wstring GetMachineIdentifier();

// EDX and EAX of CPUID leaf 1, as "%08X%08X".
std::wstring GetProcessorText();

// The product ID of the running Windows (the 64-bit view of the registry on
// 64-bit Windows); empty when it cannot be read.
std::wstring GetProductId();

// The REG_SZ value named exactly "ProductId" of one key; empty when the key
// or the value cannot be read.
std::wstring ReadProductId(HKEY root, const wchar_t* path, std::uint32_t access);

// The identifier for a given identifier text.
std::wstring HashIdentifierText(const std::wstring& text);

} // namespace Sparlin

#endif
