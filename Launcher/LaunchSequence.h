#ifndef SPARLIN_LAUNCHSEQUENCE_H
#define SPARLIN_LAUNCHSEQUENCE_H

namespace Sparlin {

// The launcher's whole job, from the processor check to the removal of the
// last unpacked file. Every failure leaves as an exception, after the guards
// have removed the temporary files made so far.
void RunLaunchSequence();

} // namespace Sparlin

#endif
