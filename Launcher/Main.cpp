#include "ErrorReporting.h"
#include "LaunchSequence.h"
#include "ProcessorCheck.h"

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

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    Kova::SetSeTranslator(&Kova::SeTranslator);
#ifdef SPARLIN_FEATURES_OVERRIDE
    Sparlin::SetFeatureSource(&FixedFeatures);
#endif
    try {
        Sparlin::RunLaunchSequence();
    } catch (...) {
        Sparlin::ShowExceptionMessage();
    }
    return 0;
}
