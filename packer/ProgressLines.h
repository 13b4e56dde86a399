#pragma once

#include "Compress.h"

#include <chrono>
#include <mutex>

namespace sparlin::pack {

// Progress on stderr. On a terminal, a line per input that is rewritten in
// place; otherwise, as in a CI log, a line per input once it is done.
class ProgressLines : public Progress {
public:
    ProgressLines();
    ~ProgressLines() override;
    void Begin(const std::vector<std::string>& names, const std::vector<uint64_t>& sizes) override;
    void Advanced(size_t input, uint64_t done) override;
    void Finished(size_t input, uint64_t compressed) override;
    void Tick() override;

private:
    using Clock = std::chrono::steady_clock;
    struct Line {
        std::string name;
        uint64_t size = 0, done = 0, compressed = 0;
        bool started = false, finished = false;
        Clock::time_point start, end;
    };
    std::string Text(const Line& line) const;
    void Redraw();

    const bool terminal_;
    std::mutex mutex_;
    std::vector<Line> lines_;
};

} // namespace sparlin::pack
