#include "PayloadUnpacking.h"

#include "Integrity.h"
#include "PhaseTrace.h"

#include "Kova/Application.h"
#include "Kova/Process.h"
#include "Kova/String.h"

#include <windows.h>

#include <initializer_list>

namespace Sparlin {

using Kova::FileSystem::File;

namespace {

// How often a growing output is read while its tool runs: often enough that
// little is left to hash when it ends, seldom enough to cost next to nothing.
constexpr std::uint32_t digestInterval = 10;

} // namespace

TempNames SystemTempNames(const std::wstring& directory)
{
    return TempNames(directory, [](const std::wstring& in) { return File::GetTempFilePath(nullptr, in); });
}

File ExtractResourceToTempFile(const wchar_t* name, const wchar_t* type, const wchar_t* extension, TempNames& names)
{
    File file = File::Create(names.Next(extension));
    try {
        // Straight from the mapped image: a copy would cost the time and the
        // memory of the whole resource and give the same bytes.
        const Kova::Application::ResourceView bytes = Kova::Application::ViewResource(name, type);
        file.Write(bytes.data, bytes.size);
        SPARLIN_PHASE("resource-written");
    } catch (...) {
        // An empty or half-written file must not outlive the failure that
        // is about to be shown.
        file.Delete();
        throw;
    }
    return file;
}

std::wstring MakeToolCommandLine(const std::wstring& toolPath, const std::wstring& input, const std::wstring& output)
{
    std::wstring commandLine;
    Kova::Format(commandLine, L"\"%s\" d \"%s\" \"%s\"", toolPath.c_str(), input.c_str(), output.c_str());
    return commandLine;
}

PendingPayload::PendingPayload(const std::wstring& toolPath, const wchar_t* name, const wchar_t* type,
                               const wchar_t* extension, TempNames& names)
    : input(ExtractResourceToTempFile(name, type, nullptr, names))
{
    try {
        outputPath = names.Next(extension);
        const std::wstring commandLine = MakeToolCommandLine(toolPath, input.GetPath(), outputPath);
        input.Close();
        SPARLIN_PHASE("tool-start");
        // Working in the private folder: nothing the user controls lies in
        // the tool's current directory, where a DLL search might look.
        // No console at all: given a hidden one of its own, each tool of a
        // GUI program gets a console host process beside it, which costs
        // about as much as starting the tool. Its messages are read by
        // nobody either way.
        tool.emplace(Kova::Process::Create(commandLine, CREATE_NO_WINDOW | DETACHED_PROCESS, names.GetDirectory()));
        SPARLIN_PHASE("tool-running");
    } catch (...) {
        input.Delete();
        throw;
    }
}

PendingPayload::~PendingPayload()
{
    if (finished) {
        return;
    }
    // Left by a failure: the tool's files go only once it has let go of them.
    // A wait that fails tells nothing more; the removals are still tried,
    // and whatever the tool still holds stays for the next start's sweep.
    if (tool) {
        try {
            tool->Wait();
        } catch (...) {
            // Nothing may leave a destructor.
        }
    }
    input.Delete();
    DeleteFileW(outputPath.c_str());
}

File PendingPayload::Finish(GrowingFileDigest* digest, GrowingFileDigest* alongside)
{
    // Whatever fails from here on, the destructor removes both files; a
    // failed wait is not tried a second time there.
    std::optional<Kova::Process> running(std::move(tool));
    tool.reset();
    if (digest != nullptr || alongside != nullptr) {
        while (running->Wait(digestInterval) == WAIT_TIMEOUT) {
            for (GrowingFileDigest* growing : {digest, alongside}) {
                if (growing != nullptr) {
                    growing->Advance();
                }
            }
        }
        if (digest != nullptr) {
            digest->Release();
        }
    } else {
        running->Wait();
    }
    SPARLIN_PHASE("tool-ended");
    running.reset();
    // The output's existence is the only sign of the tool's success. One
    // that exists but cannot be opened is removed with the input.
    File output = File::Open(outputPath);
    finished = true;
    input.Delete();
    SPARLIN_PHASE("input-removed");
    return output;
}

File UnpackPayload(const std::wstring& toolPath, const wchar_t* name, const wchar_t* type, const wchar_t* extension,
                   TempNames& names, const wchar_t* digestName)
{
    File output = PendingPayload(toolPath, name, type, extension, names).Finish();
    try {
        // Through the handle the output was opened with, which no writer can share.
        VerifyFile(output, digestName);
        SPARLIN_PHASE("payload-checked");
    } catch (...) {
        output.Delete();
        throw;
    }
    return output;
}

bool DeleteFileWithRetries(File& file)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        file.Close();
        if (DeleteFileW(file.GetPath()) == TRUE) {
            file.ForgetPath();
            return true;
        }
        Sleep(1000);
    }
    return false;
}

} // namespace Sparlin
