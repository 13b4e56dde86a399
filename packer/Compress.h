#pragma once

#include "Pack.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sparlin::pack {

// Told how the compressing goes. Advanced and Finished come from the
// compressing threads, Tick about four times a second from the waiting one.
class Progress {
public:
    virtual ~Progress() = default;
    // Once, with every input's shown name and size, before any is compressed.
    virtual void Begin(const std::vector<std::string>& names, const std::vector<uint64_t>& sizes) = 0;
    virtual void Advanced(size_t input, uint64_t done) = 0;
    virtual void Finished(size_t input, uint64_t compressed) = 0;
    virtual void Tick() = 0;
};

struct Input {
    std::filesystem::path path;
    std::string shownName;
    EntryKind kind;
};

// Checks every input's headers first, then compresses the inputs at once on
// up to `threads` threads, each input by its own worker. Threads left over,
// and the core the others leave to an input larger than all of them
// together, go to the largest inputs as their encoders' second threads. The
// payloads come in the inputs' order and are the same bytes whatever the
// number of threads. The first failure stops the others and is thrown.
std::vector<Payload> CompressAll(const std::vector<Input>& inputs, unsigned threads, Progress* progress);

} // namespace sparlin::pack
