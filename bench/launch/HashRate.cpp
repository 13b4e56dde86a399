// SHA-256 in-process rate, the way the launcher hashes a file: 256 KiB
// pieces into one object. Built for each architecture by the launch
// benchmark (and natively with -m32 or -m64 for a quick look); the best of
// several passes is printed, so that a busy moment of the machine shows less.
#include "Security/Sha256.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

double BestRate(Kova::Security::Sha256::Engine engine, const std::vector<std::uint8_t>& data, int passes)
{
    double best = 0;
    for (int pass = 0; pass < passes; ++pass) {
        Kova::Security::Sha256 hash(engine);
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t offset = 0; offset < data.size(); offset += 256 * 1024) {
            hash.Update(data.data() + offset, static_cast<std::uint32_t>(std::min<std::size_t>(256 * 1024, data.size() - offset)));
        }
        hash.Final();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (hash.GetDigest().GetSize() != 32) {
            std::fprintf(stderr, "HashRate: no digest\n");
            return 0;
        }
        best = std::max(best, static_cast<double>(data.size()) / seconds / 1e9);
    }
    return best;
}

} // namespace

int main()
{
    std::vector<std::uint8_t> data(64 << 20);
    std::uint32_t state = 1;
    for (std::uint8_t& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    const char* build = sizeof(void*) == 4 ? "32-bit" : "64-bit";
    const double portable = BestRate(Kova::Security::Sha256::Engine::Portable, data, 3);
    if (Kova::Security::Sha256::ProcessorEngineAvailable()) {
        std::printf("SHA-256 in-process, %s build: SHA instructions %.2f GB/s, portable %.2f GB/s\n", build,
                    BestRate(Kova::Security::Sha256::Engine::Processor, data, 5), portable);
    } else {
        std::printf("SHA-256 in-process, %s build: no SHA instructions here; portable %.2f GB/s\n", build, portable);
    }
    return 0;
}
