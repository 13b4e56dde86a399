#ifndef SPARLIN_PHASETRACE_H
#define SPARLIN_PHASETRACE_H

// Benchmark builds only (SparlinPhases.exe): the time at which each phase of
// a start ends, written beside the executable when the start is over. In
// every other build the marks compile to nothing, so no user can turn the
// trace on in a shipped launcher.
#ifdef SPARLIN_PHASE_TRACE
namespace Sparlin::PhaseTrace {
void Mark(const char* label);
// "<label> <performance counter>" lines into "<own path>.phases".
void Write();
} // namespace Sparlin::PhaseTrace
#define SPARLIN_PHASE(label) ::Sparlin::PhaseTrace::Mark(label)
#define SPARLIN_PHASE_WRITE() ::Sparlin::PhaseTrace::Write()
#else
#define SPARLIN_PHASE(label) ((void)0)
#define SPARLIN_PHASE_WRITE() ((void)0)
#endif

#endif
