#include "ErrorReporting.h"
#include "LaunchSequence.h"
#include "PrivateFolder.h"
#include "PhaseTrace.h"
#include "ProcessorCheck.h"
#include "UpdateCheck.h"

#include "Kova/Exception.h"

#include <windows.h>

#ifdef SPARLIN_FEATURES_OVERRIDE
namespace {
// Test builds: a processor that lacks what the override leaves out.
std::uint32_t FixedFeatures()
{
    return SPARLIN_FEATURES_OVERRIDE;
}
} // namespace
#endif

namespace {

// Whatever is loaded from here on by name alone, by us or by the system
// libraries we use, comes from the system directory, never from the folder
// the launcher was started from or the current directory.
void RestrictLibrarySearch()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (restrict == nullptr || !restrict(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // Older systems: at least the current directory is taken out.
        SetDllDirectoryW(L"");
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    SPARLIN_PHASE("main");
    RestrictLibrarySearch();
    Kova::SetSeTranslator(&Kova::SeTranslator);
#ifdef SPARLIN_FEATURES_OVERRIDE
    Sparlin::SetFeatureSource(&FixedFeatures);
#endif
#ifdef SPARLIN_UPDATE_TIME_LIMIT_MS
    // Test builds: a limit that a test can wait out.
    Sparlin::SetUpdateTimeLimit(SPARLIN_UPDATE_TIME_LIMIT_MS);
#endif
#ifdef SPARLIN_PAGE_TIME_LIMIT_MS
    Sparlin::SetPageTimeLimit(SPARLIN_PAGE_TIME_LIMIT_MS);
#endif
#ifdef SPARLIN_NOT_ELEVATED
    // Test builds: as if the user had refused the elevation prompt.
    Sparlin::SetElevationSource([] { return false; });
#endif
#ifdef SPARLIN_SHELL_NEVER_ANSWERS
    Sparlin::SetDesktopShellRoute([](const std::wstring&, std::uint32_t) {
        Sleep(INFINITE);
        return false;
    });
#endif
    try {
        Sparlin::RunLaunchSequence();
    } catch (...) {
        Sparlin::ShowExceptionMessage();
    }
    SPARLIN_PHASE_WRITE();
    return 0;
}
