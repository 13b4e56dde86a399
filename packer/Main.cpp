// sparlin-pack: puts an application into a ready-built launcher stub.
// The packing itself is in Pack.cpp, the writing of the output in Output.cpp;
// this file reads the command line.

#include "Compress.h"
#include "Inspect.h"
#include "Output.h"
#include "Pack.h"
#include "ProgressLines.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;
using namespace sparlin::pack;

namespace {

const char kUsage[] =
    "Usage: sparlin-pack --stub Sparlin-stub.exe --gui32 App32.exe --layout32 Layout32.dll\n"
    "                    --gui64 App64.exe --layout64 Layout64.dll\n"
    "                    [--update-host HOST] [--download-host [https://]HOST[:PORT]]\n"
    "                    [--icon app.ico] [--strip-signature] [--threads N] [--quiet] -o Out.exe\n"
    "       sparlin-pack --inspect|--verify Packed.exe [--json]\n"
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
    "  --inspect FILE         print what a packed launcher (or a stub) carries\n"
    "  --verify FILE          the same, and unpack each payload and check it and the\n"
    "                         LZMA tool against their recorded SHA-256 (exit 1: a mismatch)\n"
    "  --json                 print that as one JSON object\n"
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
    bool json = false;
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
        {"--inspect", "inspect"}, {"--verify", "verify"},
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
        if (name == "--json") {
            o.json = true;
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
    if (o.files.count("inspect") || o.files.count("verify")) {
        if (o.files.size() > 1 || o.updateHost || o.downloadHost || o.stripSignature || !o.omit.empty() ||
            !o.wrongDigests.empty() || o.anyMachine)
            throw UsageError{std::string(o.files.count("verify") ? "--verify" : "--inspect") +
                             " takes no other file nor packing option"};
        return o;
    }
    if (o.json)
        throw UsageError{"--json goes with --inspect or --verify"};
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

// Prints what the file carries; 1 when --verify finds a mismatch.
int InspectFile(const fs::path& path, bool verify, bool json) {
    const Bytes file = ReadFile(path, Shown(path));
    Inspection inspection;
    try {
        inspection = Inspect(file.data(), file.size(), verify);
    } catch (const Error& e) {
        throw Error(Shown(path) + ": " + e.what());
    }
    const std::string name = Utf8(path.native());
    const std::string text = json ? InspectionJson(inspection, name) : InspectionText(inspection, name);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    for (const std::string& m : inspection.mismatches)
        std::fprintf(stderr, "sparlin-pack: %s\n", m.c_str());
    return inspection.mismatches.empty() ? 0 : 1;
}

int Run(const std::vector<Arg>& args) {
    bool done = false;
    Options o = Parse(args, done);
    if (done)
        return 0;
    if (o.files.count("inspect"))
        return InspectFile(o.files["inspect"], false, o.json);
    if (o.files.count("verify"))
        return InspectFile(o.files["verify"], true, o.json);
    const fs::path output = fs::absolute(o.files["output"]);
    // The stub may be the output (a launcher packed again in place); the other inputs may not.
    std::vector<std::pair<fs::path, std::string>> named;
    for (const auto& [option, path] : o.files)
        if (option != "stub" && option != "output")
            named.emplace_back(path, (option == "icon" ? "the icon " : "the input ") + Shown(path));
    CheckOutput(output, Shown(o.files["output"]), named);

    PackRequest request;
    // Cheap checks first, so that a mistake shows before minutes of compressing.
    if (o.updateHost)
        CheckUpdateHost(*o.updateHost);
    if (o.downloadHost)
        CheckDownloadHost(*o.downloadHost);
    request.updateHost = o.updateHost;
    request.downloadHost = o.downloadHost;
    request.stub = ReadFile(LongPath(o.files["stub"]), "the stub " + Shown(o.files["stub"]));
    if (o.files.count("icon"))
        request.icon = ReadFile(LongPath(o.files["icon"]), "the icon " + Shown(o.files["icon"]));
    if (o.files.count("tool"))
        request.tool = ReadFile(LongPath(o.files["tool"]), Shown(o.files["tool"]));
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
            inputs.push_back({LongPath(f->second), Shown(f->second), k});
    }
    {
        std::optional<ProgressLines> progress;
        if (!o.quiet)
            progress.emplace();
        const unsigned threads = o.threads ? o.threads : std::max(1u, std::thread::hardware_concurrency());
        request.payloads = CompressAll(inputs, threads, progress ? &*progress : nullptr);
    }
    WriteOutput(output, Shown(o.files["output"]), Pack(request));
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
