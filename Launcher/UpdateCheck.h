#ifndef SPARLIN_UPDATECHECK_H
#define SPARLIN_UPDATECHECK_H

#include "Kova/CommandLine/ArgumentList.h"

namespace Sparlin {

// After a refused processor: runs the check with a short delay and waits
// for it, the user's answer included.
void RunUpdateCheckAfterRefusal();

// On a normal start: starts the check in the background unless a switch is
// named exactly "hide"; nothing ever waits for it.
void StartUpdateCheck(const Kova::CommandLine::SwitchList& switches);

} // namespace Sparlin

#endif
