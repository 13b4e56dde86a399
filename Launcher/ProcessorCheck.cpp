#include "ProcessorCheck.h"

#include "MessageBox.h"
#include "../resources/resource.h"

#include "Kova/Application.h"

#include <windows.h>

#include <cpuid.h>

namespace Sparlin {

namespace {

constexpr std::uint32_t sseMask = 0x02000000;
constexpr std::uint32_t sse2Mask = 0x04000000;

std::uint32_t ExecuteCpuid()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    return edx;
}

FeatureSource featureSource = &ExecuteCpuid;

bool Refuse(unsigned int textId)
{
    ShowMessageBox(Kova::Application::LoadStringResource(textId), MB_OK | MB_ICONERROR);
    return false;
}

} // namespace

FeatureSource SetFeatureSource(FeatureSource source)
{
    const FeatureSource previous = featureSource;
    featureSource = source ? source : &ExecuteCpuid;
    return previous;
}

std::uint32_t ReadProcessorFeatures()
{
    return featureSource();
}

bool CheckProcessor()
{
    const std::uint32_t features = ReadProcessorFeatures();
    if ((features & sseMask) == 0) {
        return Refuse(IDS_NO_SSE);
    }
    if ((features & sse2Mask) == 0) {
        return Refuse(IDS_NO_SSE2);
    }
    return true;
}

} // namespace Sparlin
