#include "UpdateCheck.h"

namespace Sparlin {

void RunUpdateCheckAfterRefusal()
{
}

void StartUpdateCheck(const Kova::CommandLine::SwitchList&)
{
}

} // namespace Sparlin
