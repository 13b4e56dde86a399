#ifndef SPARLIN_BITNESS_H
#define SPARLIN_BITNESS_H

#include "Kova/Process.h"

namespace Sparlin {

// Whether the running Windows is 64-bit: a 64-bit build (made only to run
// the tests where no 32-bit code runs) is on 64-bit Windows by itself; the
// 32-bit launcher asks whether it runs under WoW64.
inline bool RunsOn64BitWindows()
{
    return sizeof(void*) == 8 || Kova::Process::IsWow64();
}

} // namespace Sparlin

#endif
