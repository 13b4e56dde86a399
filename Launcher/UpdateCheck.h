#ifndef SPARLIN_UPDATECHECK_H
#define SPARLIN_UPDATECHECK_H

#include "Kova/CommandLine/ArgumentList.h"

#include <cstdint>
#include <string>

namespace Sparlin {

// The launcher's own version, as its version resource also carries it.
extern const char* const ownVersion;

// After a refused processor: runs the check with a short delay and waits
// for it, the user's answer included, but for the network part and the
// opening of the page no longer than their limits (and a little grace):
// then the process ends.
void RunUpdateCheckAfterRefusal();

// On a normal start: starts the check in the background unless a switch is
// named exactly "hide"; nothing ever waits for it.
void StartUpdateCheck(const Kova::CommandLine::SwitchList& switches);

// The check itself, on the calling thread: waits `delay` ms, asks the update
// server, and offers the download page when a newer version is announced.
// Silent on every failure.
void RunUpdateCheck(std::uint32_t delay) noexcept;

// Connecting, sending and reading the answer together end within this
// time, whatever a server or proxy does.
inline constexpr std::uint32_t defaultNetworkTimeLimit = 60000;

// Opening the download page, the wait for a desktop shell that is still
// starting included, takes no longer than this after a refusal.
inline constexpr std::uint32_t defaultPageTimeLimit = 30000;

// Test builds shorten the limits.
void SetUpdateTimeLimit(std::uint32_t milliseconds);
void SetPageTimeLimit(std::uint32_t milliseconds);

// How the page is opened for the logged-on user: the desktop shell, unless
// a test build stands in a shell that fails or never answers. Given the page
// and how long to wait for the shell to be there; true when it was opened.
using PageRoute = bool (*)(const std::wstring& page, std::uint32_t patience);
void SetDesktopShellRoute(PageRoute route);

// The download page's address from the download-host setting: a setting
// that begins with https:// or http:// names its scheme, anything else is
// a host reached over http://.
std::wstring MakeDownloadPage(const std::wstring& downloadHost);

// Opens the page for the logged-on user: through the desktop shell, which
// is waited for while it starts; only a launcher that is not elevated falls
// back to the shell functions of its own process.
void OpenDownloadPage(const std::wstring& page);

// The query path sent to the update server.
std::wstring MakeQueryPath(const std::wstring& uid, const std::wstring& app, const std::wstring& os,
                           const std::wstring& bits);

} // namespace Sparlin

#endif
