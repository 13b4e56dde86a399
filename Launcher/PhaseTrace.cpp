#include "PhaseTrace.h"

#include <windows.h>

#include <cstdio>

namespace Sparlin::PhaseTrace {

namespace {

struct Entry {
    const char* label;
    long long counter;
};

// Fixed room: marking must cost no allocation inside the phases it times.
Entry entries[64];
int count = 0;

} // namespace

void Mark(const char* label)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (count < 64) {
        entries[count++] = {label, now.QuadPart};
    }
}

void Write()
{
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    wcscat(path, L".phases");
    FILE* file = _wfopen(path, L"w");
    if (file == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        std::fprintf(file, "%s %lld\n", entries[i].label, entries[i].counter);
    }
    std::fclose(file);
}

} // namespace Sparlin::PhaseTrace
