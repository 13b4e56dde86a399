#include "ProgressLines.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <unistd.h>
#endif

namespace sparlin::pack {

namespace {

// A terminal that understands the escapes that move the cursor up a line and clear one.
bool StderrIsTerminal() {
#ifdef _WIN32
    if (!_isatty(_fileno(stderr)))
        return false;
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    const char* term = std::getenv("TERM");
    return isatty(2) && !(term && std::strcmp(term, "dumb") == 0);
#endif
}

std::string Amount(uint64_t bytes) {
    char text[32];
    if (bytes < 1000000)
        std::snprintf(text, sizeof text, "%.1f kB", double(bytes) / 1e3);
    else
        std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    return text;
}

std::string Rate(uint64_t bytes, std::chrono::steady_clock::duration took) {
    const double seconds = std::chrono::duration<double>(took).count();
    return seconds > 0 ? Amount(uint64_t(double(bytes) / seconds)) + "/s" : "";
}

} // namespace

ProgressLines::ProgressLines() : terminal_(StderrIsTerminal()) {}

ProgressLines::~ProgressLines() {
    if (terminal_ && !lines_.empty())
        Redraw();
}

void ProgressLines::Begin(const std::vector<std::string>& names, const std::vector<uint64_t>& sizes) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.resize(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        lines_[i].name = names[i];
        lines_[i].size = sizes[i];
    }
    if (!terminal_)
        return;
    for (const Line& line : lines_)
        std::fprintf(stderr, "%s\n", Text(line).c_str());
    std::fflush(stderr);
}

void ProgressLines::Advanced(size_t input, uint64_t done) {
    std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_[input];
    if (!line.started) {
        line.started = true;
        line.start = Clock::now();
    }
    line.done = done;
}

void ProgressLines::Finished(size_t input, uint64_t compressed) {
    std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_[input];
    line.finished = true;
    line.end = Clock::now();
    line.compressed = compressed;
    if (!terminal_) {
        std::fprintf(stderr, "%s\n", Text(line).c_str());
        std::fflush(stderr);
    }
}

void ProgressLines::Tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (terminal_)
        Redraw();
}

std::string ProgressLines::Text(const Line& line) const {
    std::string text = line.name;
    text += "  ";
    if (line.finished) {
        text += Amount(line.size);
        text += " -> ";
        text += Amount(line.compressed);
        text += ", ";
        text += Rate(line.size, line.end - line.start);
    } else if (!line.started) {
        text += "waiting";
    } else {
        text += Amount(line.done);
        text += " of ";
        text += Amount(line.size);
        text += "  ";
        text += Rate(line.done, Clock::now() - line.start);
    }
    return text;
}

void ProgressLines::Redraw() {
    std::string out = "\x1b[";
    out += std::to_string(lines_.size());
    out += 'A';
    for (const Line& line : lines_) {
        out += '\r';
        out += Text(line);
        out += "\x1b[K\n";
    }
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

} // namespace sparlin::pack
