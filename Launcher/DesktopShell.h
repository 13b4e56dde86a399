#ifndef SPARLIN_DESKTOPSHELL_H
#define SPARLIN_DESKTOPSHELL_H

#include <cstdint>
#include <string>

namespace Sparlin {

// Asks the desktop shell of the logged-on user to open `address` with the
// verb "open", so that what it starts runs with the user's own rights, not
// with this elevated process's. False when there is no desktop shell to ask
// or any step fails; nothing has then been started. A desktop shell that is
// not there yet is asked again for up to `patience` ms (0: once).
bool OpenWithDesktopShell(const std::wstring& address, std::uint32_t patience);

} // namespace Sparlin

#endif
