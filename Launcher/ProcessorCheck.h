#ifndef SPARLIN_PROCESSORCHECK_H
#define SPARLIN_PROCESSORCHECK_H

#include <cstdint>

namespace Sparlin {

// EDX of CPUID leaf 1; replaceable so that refusals can be tested on any
// processor.
using FeatureSource = std::uint32_t (*)();
FeatureSource SetFeatureSource(FeatureSource source);
std::uint32_t ReadProcessorFeatures();

// True when the processor offers SSE and SSE2; otherwise shows the message
// naming the missing set (SSE first) and returns false once it is closed.
bool CheckProcessor();

} // namespace Sparlin

#endif
