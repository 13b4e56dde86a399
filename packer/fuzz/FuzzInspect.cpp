// A hostile launcher for --inspect and --verify: described, or refused with
// Error; its payloads decoded no further than a small limit, so that a run
// stays short whatever the streams claim.
#include "Inspect.h"

using namespace sparlin::pack;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (bool verify : {false, true}) {
        try {
            const Inspection inspection = Inspect(data, size, verify, uint64_t(1) << 20);
            InspectionText(inspection, "fuzz.exe");
            InspectionJson(inspection, "fuzz.exe");
        } catch (const Error&) {
        }
    }
    return 0;
}
