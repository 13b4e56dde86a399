// sparlin-pack: puts an application into a ready-built launcher stub.
// The packing itself is in Pack.cpp; this file reads the command line and
// writes the output so that no half-written file ever carries its name.

#include "Compress.h"
#include "Pack.h"
#include "ProgressLines.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <new>
#include <thread>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace sparlin::pack;

namespace {

const char kUsage[] =
    "Usage: sparlin-pack --stub Sparlin-stub.exe --gui32 App32.exe --layout32 Layout32.dll\n"
    "                    --gui64 App64.exe --layout64 Layout64.dll\n"
    "                    [--update-host HOST] [--download-host [https://]HOST[:PORT]]\n"
    "                    [--icon app.ico] [--strip-signature] [--threads N] [--quiet] -o Out.exe\n"
    "\n"
    "Wraps an application in the launcher: compresses the four files into the\n"
    "stub's resources with their SHA-256 digests and writes Out.exe.\n"
    "\n"
    "  --stub FILE            the ready-built launcher (Sparlin-stub.exe), or a packed one\n"
    "  --gui32 FILE           the application for 32-bit Windows (an x86 program)\n"
    "  --layout32 FILE        its layout library (an x86 DLL)\n"
    "  --gui64 FILE           the application for 64-bit Windows (an x64 program)\n"
    "  --layout64 FILE        its layout library (an x64 DLL)\n"
    "  --update-host HOST     where the launcher asks for updates (port 80, /update.php)\n"
    "  --download-host HOST   the download page's host (/download.php), optionally\n"
    "                         after https:// or http:// and with a :port\n"
    "  --icon FILE            an .ico file whose images replace the launcher's icon\n"
    "  --strip-signature      drop the stub's Authenticode signature (sign after packing)\n"
    "  --threads N            compress on at most N threads (default: one per core)\n"
    "  --quiet                no progress lines on stderr; errors still show\n"
    "  -o, --output FILE      the packed launcher to write\n"
    "  --help, --version\n";

struct UsageError {
    std::string message;
};

#ifdef _WIN32
using Arg = std::wstring;
std::string Utf8(const std::wstring& w) {
    if (w.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}
#else
using Arg = std::string;
std::string Utf8(const std::string& s) { return s; }
#endif

std::string Shown(const fs::path& p) {
    std::string s(1, '\'');
    s += Utf8(p.native());
    s += '\'';
    return s;
}

struct Options {
    std::map<std::string, fs::path> files; // stub, gui32, ..., icon, output, tool
    std::optional<std::string> updateHost, downloadHost;
    bool stripSignature = false, quiet = false;
    unsigned threads = 0; // one per core
    std::set<std::string> omit, wrongDigests;
    bool anyMachine = false;
};

#ifdef SPARLIN_PACK_TESTING
const char* const kEntryNames[] = {"lzma", "gui32", "htmlayout32", "gui64", "htmlayout64"};
std::string TestEntry(const std::string& value) {
    for (const char* e : kEntryNames)
        if (value == e)
            return value;
    throw UsageError{"unknown entry '" + value + "'"};
}
#endif

Options Parse(const std::vector<Arg>& args, bool& done) {
    static const std::map<std::string, std::string> kFileOptions = {
        {"--stub", "stub"}, {"--gui32", "gui32"}, {"--layout32", "layout32"}, {"--gui64", "gui64"},
        {"--layout64", "layout64"}, {"--icon", "icon"}, {"-o", "output"}, {"--output", "output"},
#ifdef SPARLIN_PACK_TESTING
        {"--tool", "tool"},
#endif
    };
    Options o;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string name = Utf8(args[i]);
        Arg value;
        bool inlineValue = false;
        if (name.rfind("--", 0) == 0 && name.find('=') != std::string::npos) {
            const size_t eq = args[i].find(Arg::value_type('='));
            value = args[i].substr(eq + 1);
            name = name.substr(0, name.find('='));
            inlineValue = true;
        }
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            done = true;
            return o;
        }
        if (name == "--version") {
            std::printf("sparlin-pack %s\n", SPARLIN_PACK_VERSION);
            done = true;
            return o;
        }
        if (name == "--strip-signature") {
            o.stripSignature = true;
            continue;
        }
        if (name == "--quiet") {
            o.quiet = true;
            continue;
        }
        auto next = [&]() -> Arg {
            if (inlineValue)
                return value;
            if (i + 1 >= args.size())
                throw UsageError{name + " needs a value"};
            return args[++i];
        };
        if (auto f = kFileOptions.find(name); f != kFileOptions.end()) {
            if (o.files.count(f->second))
                throw UsageError{name + " given twice"};
            const Arg v = next();
            if (v.empty())
                throw UsageError{name + " needs a file"};
            o.files[f->second] = fs::path(v);
        } else if (name == "--threads") {
            const std::string v = Utf8(next());
            if (v.empty() || v.size() > 3 || v.find_first_not_of("0123456789") != std::string::npos || std::stoi(v) < 1)
                throw UsageError{"--threads needs a number from 1 to 999"};
            o.threads = unsigned(std::stoi(v));
        } else if (name == "--update-host") {
            o.updateHost = Utf8(next());
        } else if (name == "--download-host") {
            o.downloadHost = Utf8(next());
#ifdef SPARLIN_PACK_TESTING
        } else if (name == "--omit") {
            o.omit.insert(TestEntry(Utf8(next())));
        } else if (name == "--wrong-digest") {
            o.wrongDigests.insert(TestEntry(Utf8(next())));
        } else if (name == "--any-machine") {
            o.anyMachine = true;
#endif
        } else {
            throw UsageError{"unknown option '" + name + "'"};
        }
    }
    for (const char* required : {"stub", "output"})
        if (!o.files.count(required))
            throw UsageError{std::string("no ") + (std::strcmp(required, "stub") ? "-o" : "--stub") + " given"};
    for (const EntryKind& k : kEntries) {
        std::string lower = k.entry;
        for (char& c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        if (!o.files.count(k.option + 2) && !o.omit.count(lower))
            throw UsageError{std::string("no ") + k.option + " given"};
    }
    return o;
}

// A new file beside `target` that no one else created: opened exclusively.
FILE* CreateBeside(const fs::path& target, fs::path& created) {
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
#ifdef _WIN32
        const std::wstring suffix = L".partial-" + std::to_wstring(_getpid()) + L"-" + std::to_wstring(attempt);
        created = target.parent_path() / (L"." + target.filename().native() + suffix);
        const int fd = _wopen(created.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0)
            return _fdopen(fd, "wb");
#else
        const std::string suffix = ".partial-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        created = target.parent_path() / ("." + target.filename().native() + suffix);
        const int fd = open(created.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0755);
        if (fd >= 0)
            return fdopen(fd, "wb");
#endif
        if (errno != EEXIST)
            break;
    }
    throw Error("cannot create a file beside " + Shown(target) + ": " + std::strerror(errno));
}

void WriteAtomically(const fs::path& target, const Bytes& data) {
    fs::path temp;
    FILE* f = CreateBeside(target, temp);
    try {
        const bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size() && std::fflush(f) == 0;
        const bool closed = std::fclose(f) == 0;
        if (!written || !closed)
            throw Error("cannot write " + Shown(target));
#ifdef _WIN32
        if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            throw Error("cannot replace " + Shown(target) + " (error " + std::to_string(GetLastError()) + ")");
#else
        if (std::rename(temp.c_str(), target.c_str()) != 0)
            throw Error("cannot replace " + Shown(target) + ": " + std::strerror(errno));
#endif
    } catch (...) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw;
    }
}

int Run(const std::vector<Arg>& args) {
    bool done = false;
    Options o = Parse(args, done);
    if (done)
        return 0;
    const fs::path output = fs::absolute(o.files["output"]);
    std::error_code ec;
    if (!fs::is_directory(output.parent_path(), ec))
        throw Error("the folder of " + Shown(o.files["output"]) + " does not exist");
    if (fs::is_directory(output, ec))
        throw Error(Shown(o.files["output"]) + " is a folder");

    PackRequest request;
    // Cheap checks first, so that a mistake shows before minutes of compressing.
    if (o.updateHost)
        CheckUpdateHost(*o.updateHost);
    if (o.downloadHost)
        CheckDownloadHost(*o.downloadHost);
    request.updateHost = o.updateHost;
    request.downloadHost = o.downloadHost;
    request.stub = ReadFile(o.files["stub"], "the stub " + Shown(o.files["stub"]));
    if (o.files.count("icon"))
        request.icon = ReadFile(o.files["icon"], "the icon " + Shown(o.files["icon"]));
    if (o.files.count("tool"))
        request.tool = ReadFile(o.files["tool"], Shown(o.files["tool"]));
    request.stripSignature = o.stripSignature;
    request.wrongDigests = o.wrongDigests;
    // The stub and icon are checked fully before the inputs are compressed.
    Pack(request);
    std::vector<Input> inputs;
    for (EntryKind k : kEntries) {
        const auto f = o.files.find(k.option + 2);
        if (o.anyMachine)
            k.machine = 0;
        if (f != o.files.end())
            inputs.push_back({f->second, Shown(f->second), k});
    }
    {
        std::optional<ProgressLines> progress;
        if (!o.quiet)
            progress.emplace();
        const unsigned threads = o.threads ? o.threads : std::max(1u, std::thread::hardware_concurrency());
        request.payloads = CompressAll(inputs, threads, progress ? &*progress : nullptr);
    }
    WriteAtomically(output, Pack(request));
    return 0;
}

template <class Args> int Main(const Args& args) {
    try {
        return Run(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "sparlin-pack: %s (see sparlin-pack --help)\n", e.message.c_str());
        return 2;
    } catch (const Error& e) {
        std::fprintf(stderr, "sparlin-pack: %s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fputs("sparlin-pack: not enough memory\n", stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sparlin-pack: %s\n", e.what());
    }
    return 1;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return Main(std::vector<Arg>(argv, argv + argc)); }
#else
int main(int argc, char** argv) { return Main(std::vector<Arg>(argv, argv + argc)); }
#endif
