#ifndef SPARLIN_DESKTOPSHELL_H
#define SPARLIN_DESKTOPSHELL_H

#include <cstdint>
#include <string>
#include <vector>

namespace Sparlin {

// Asks the desktop shell of the logged-on user to open `address` with the
// verb "open", so that what it starts runs with the user's own rights, not
// with this elevated process's. False when there is no desktop shell to ask
// or any step fails; nothing has then been started. A desktop shell that is
// not there yet is asked again for up to `patience` ms (0: once).
bool OpenWithDesktopShell(const std::wstring& address, std::uint32_t patience);

// Who may call into this process through COM: SYSTEM and Administrators,
// from high integrity only, in SDDL.
inline constexpr wchar_t comAccess[] = L"O:BAG:BAD:(A;;0x3;;;SY)(A;;0x3;;;BA)S:(ML;;NX;;;HI)";

// A security descriptor in the absolute form CoInitializeSecurity takes,
// made from SDDL; empty (Get() null) when the text cannot be converted.
class AbsoluteSecurityDescriptor {
public:
    explicit AbsoluteSecurityDescriptor(const wchar_t* sddl);
    AbsoluteSecurityDescriptor(const AbsoluteSecurityDescriptor&) = delete;
    AbsoluteSecurityDescriptor& operator=(const AbsoluteSecurityDescriptor&) = delete;
    void* Get() { return parts.empty() ? nullptr : parts.data(); }

private:
    // The descriptor, then the lists and SIDs it points into.
    std::vector<std::uintptr_t> parts;
};

} // namespace Sparlin

#endif
