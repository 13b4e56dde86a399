// Command-line front end: LZMA <e|d> inputFile outputFile [<switches>...]
//
// The launcher runs the decoded output, so a failed run must never leave a
// partial output file behind.

#include "LzmaDecoder.h"
#include "LzmaEncoder.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <wchar.h>
#define LZMA_T(s) L##s
using Char = wchar_t;
#else
#include <sys/stat.h>
#define LZMA_T(s) s
using Char = char;
#endif

namespace {

using String = std::basic_string<Char>;

const char kUsage[] =
    "Usage:  LZMA <e|d> inputFile outputFile [<switches>...]\n"
    "  e: encode file\n"
    "  d: decode file\n"
    "<Switches>\n"
    "  -a{N}:  set compression mode - [0, 1], default: 1 (max)\n"
    "  -d{N}:  set dictionary size - [0, 30], default: 23 (8MB)\n"
    "  -fb{N}: set number of fast bytes - [5, 273], default: 64\n"
    "  -mc{N}: set number of cycles for match finder - [1, 1000000], default: 16 + fb / 2\n"
    "  -mt{N}: set number of threads - [1, 2], default: 2 on 2 or more cores\n"
    "  -lc{N}: set number of literal context bits - [0, 8], default: 3\n"
    "  -lp{N}: set number of literal pos bits - [0, 4], default: 0\n"
    "  -pb{N}: set number of pos bits - [0, 4], default: 2\n"
    "  -eos:   write end of stream marker\n";

struct UsageError {};

FILE* OpenFile(const String& path, bool write) {
#ifdef _WIN32
    return _wfopen(path.c_str(), write ? L"wb" : L"rb");
#else
    return std::fopen(path.c_str(), write ? "wb" : "rb");
#endif
}

void RemoveFile(const String& path) {
#ifdef _WIN32
    _wremove(path.c_str());
#else
    std::remove(path.c_str());
#endif
}

bool SameFile(const String& a, const String& b) {
#ifdef _WIN32
    wchar_t fa[4096], fb[4096];
    if (!_wfullpath(fa, a.c_str(), 4096) || !_wfullpath(fb, b.c_str(), 4096))
        return false;
    return _wcsicmp(fa, fb) == 0;
#else
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#endif
}

uint64_t FileSize(FILE* f) {
#ifdef _WIN32
    if (_fseeki64(f, 0, SEEK_END) != 0)
        throw lzma::Error("cannot determine the input file's size");
    const long long size = _ftelli64(f);
    if (size < 0 || _fseeki64(f, 0, SEEK_SET) != 0)
        throw lzma::Error("cannot determine the input file's size");
#else
    if (fseeko(f, 0, SEEK_END) != 0)
        throw lzma::Error("cannot determine the input file's size");
    const off_t size = ftello(f);
    if (size < 0 || fseeko(f, 0, SEEK_SET) != 0)
        throw lzma::Error("cannot determine the input file's size");
#endif
    return uint64_t(size);
}

class FileIn : public lzma::InStream {
public:
    explicit FileIn(FILE* f) : f_(f) {}
    size_t Read(uint8_t* buf, size_t size) override {
        const size_t n = std::fread(buf, 1, size, f_);
        if (n < size && std::ferror(f_))
            throw lzma::Error("cannot read the input file");
        return n;
    }

private:
    FILE* f_;
};

class FileOut : public lzma::OutStream {
public:
    explicit FileOut(FILE* f) : f_(f) {}
    void Write(const uint8_t* buf, size_t size) override {
        if (std::fwrite(buf, 1, size, f_) != size)
            throw lzma::Error("cannot write the output file");
    }

private:
    FILE* f_;
};

// Parses the digits after a switch name; anything else is a usage error.
unsigned Number(const String& s, size_t from, unsigned lo, unsigned hi) {
    if (from >= s.size() || s.size() - from > 7)
        throw UsageError{};
    unsigned v = 0;
    for (size_t i = from; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            throw UsageError{};
        v = v * 10 + unsigned(s[i] - '0');
    }
    if (v < lo || v > hi)
        throw UsageError{};
    return v;
}

bool StartsWith(const String& s, const Char* prefix) {
    return s.compare(0, String(prefix).size(), prefix) == 0;
}

lzma::EncoderOptions ParseSwitches(const std::vector<String>& args) {
    lzma::EncoderOptions o;
    o.threads = std::thread::hardware_concurrency() >= 2 ? 2 : 1;
    for (size_t i = 4; i < args.size(); ++i) {
        const String& a = args[i];
        if (a == LZMA_T("-eos"))
            o.endMarker = true;
        else if (StartsWith(a, LZMA_T("-lc")))
            o.props.lc = Number(a, 3, 0, lzma::kMaxLc);
        else if (StartsWith(a, LZMA_T("-lp")))
            o.props.lp = Number(a, 3, 0, lzma::kMaxLp);
        else if (StartsWith(a, LZMA_T("-pb")))
            o.props.pb = Number(a, 3, 0, lzma::kMaxPb);
        else if (StartsWith(a, LZMA_T("-fb")))
            o.niceLen = Number(a, 3, 5, 273);
        else if (StartsWith(a, LZMA_T("-mt")))
            o.threads = Number(a, 3, 1, 2);
        else if (StartsWith(a, LZMA_T("-mc")))
            o.depth = Number(a, 3, 1, 1000000);
        else if (StartsWith(a, LZMA_T("-a")))
            o.fast = Number(a, 2, 0, 1) == 0;
        else if (StartsWith(a, LZMA_T("-d")))
            o.props.dictSize = 1u << Number(a, 2, 0, 30);
        else
            throw UsageError{};
    }
    return o;
}

int Run(const std::vector<String>& args) {
    if (args.size() < 4)
        throw UsageError{};
    const String& cmd = args[1];
    const bool encode = cmd == LZMA_T("e") || cmd == LZMA_T("E");
    if (!encode && cmd != LZMA_T("d") && cmd != LZMA_T("D"))
        throw UsageError{};
    const lzma::EncoderOptions options = ParseSwitches(args);
    const String& inPath = args[2];
    const String& outPath = args[3];

    FILE* in = OpenFile(inPath, false);
    if (!in)
        throw lzma::Error("cannot open the input file");
    if (SameFile(inPath, outPath)) {
        std::fclose(in);
        throw lzma::Error("the input and output files are the same");
    }
    FILE* out = OpenFile(outPath, true);
    if (!out) {
        std::fclose(in);
        throw lzma::Error("cannot create the output file");
    }
    try {
        FileIn fin(in);
        FileOut fout(out);
        if (encode) {
            const uint64_t size = options.endMarker ? lzma::kUnknownSize : FileSize(in);
            lzma::Encode(fin, fout, options, size);
        } else {
            lzma::Decode(fin, fout);
        }
        std::fclose(in);
        in = nullptr;
        const bool ok = std::fflush(out) == 0 && !std::ferror(out);
        const bool closed = std::fclose(out) == 0;
        out = nullptr;
        if (!ok || !closed)
            throw lzma::Error("cannot write the output file");
    } catch (...) {
        if (in)
            std::fclose(in);
        if (out)
            std::fclose(out);
        RemoveFile(outPath);
        throw;
    }
    return 0;
}

int Main(std::vector<String> args) {
    try {
        return Run(args);
    } catch (const UsageError&) {
        std::fputs(kUsage, stderr);
    } catch (const std::bad_alloc&) {
        std::fputs("Error: not enough memory\n", stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Error: %s\n", e.what());
    } catch (...) {
        std::fputs("Error: unexpected failure\n", stderr);
    }
    return 1;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return Main(std::vector<String>(argv, argv + argc)); }
#else
int main(int argc, char** argv) { return Main(std::vector<String>(argv, argv + argc)); }
#endif
