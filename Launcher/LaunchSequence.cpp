#include "LaunchSequence.h"

#include "Bitness.h"
#include "Integrity.h"
#include "PayloadUnpacking.h"
#include "PhaseTrace.h"
#include "PrivateFolder.h"
#include "ProcessorCheck.h"
#include "StaleFolders.h"
#include "UpdateCheck.h"

#include "Kova/Application.h"
#include "Kova/CommandLine/ArgumentList.h"
#include "Kova/Process.h"

#include <windows.h>

#include <cstdint>
#include <exception>
#include <optional>

namespace Sparlin {

using Kova::FileSystem::File;

namespace {

// The size of a compressed resource, 0 when there is none: its unpacking
// then fails and says so.
std::uint32_t StoredSize(const wchar_t* name, const wchar_t* type)
{
    try {
        return Kova::Application::ViewResource(name, type).size;
    } catch (...) {
        return 0;
    }
}

} // namespace

void RunLaunchSequence()
{
    if (!CheckProcessor()) {
        RunUpdateCheckAfterRefusal();
        return;
    }

    SPARLIN_PHASE("processor-checked");

    const bool wow64 = RunsOn64BitWindows();
    const wchar_t* const payloadType = wow64 ? L"BIN64" : L"BIN32";
    const std::wstring layoutDigest = wow64 ? L"HTMLAYOUT64" : L"HTMLAYOUT32";
    const std::wstring applicationDigest = wow64 ? L"GUI64" : L"GUI32";

    // Made first, so that it goes last, after every file in it.
    const PrivateFolder folder = PrivateFolder::Create();
    SPARLIN_PHASE("folder-created");

    TempNames names = SystemTempNames(folder.GetPath());
    File tool = ExtractResourceToTempFile(L"LZMA", L"EXE", L"exe", names);
    ScopeGuard toolGuard(tool, &DeleteFileWithRetries);
    tool.Close();
    // Held for reading from here until it is removed, so that the tool that
    // was checked is the tool that runs.
    tool = File::Open(std::wstring(tool.GetPath()));
    VerifyFile(tool, L"LZMA");
    SPARLIN_PHASE("tool-checked");

    // Both tools decode at once, so that unpacking costs about the longer
    // decode, not the sum; no thread of ours is needed for that. The larger
    // stream, the longer decode, starts first: writing out and starting the
    // other then happens while it decodes. A failure to start either is
    // reported once the ones before it are known good: the layout library's
    // own failure comes first.
    std::optional<PendingPayload> pendingLayout;
    std::optional<PendingPayload> pendingApplication;
    std::exception_ptr layoutFailure;
    std::exception_ptr applicationFailure;
    const auto start = [&](std::optional<PendingPayload>& pending, const wchar_t* name, const wchar_t* extension,
                           std::exception_ptr& failure) {
        try {
            pending.emplace(tool.GetPath(), name, payloadType, extension, names);
        } catch (...) {
            failure = std::current_exception();
        }
    };
    if (StoredSize(L"HTMLAYOUT", payloadType) > StoredSize(L"GUI", payloadType)) {
        start(pendingLayout, L"HTMLAYOUT", nullptr, layoutFailure);
        start(pendingApplication, L"GUI", L"exe", applicationFailure);
    } else {
        start(pendingApplication, L"GUI", L"exe", applicationFailure);
        start(pendingLayout, L"HTMLAYOUT", nullptr, layoutFailure);
    }
    // Splitting the command line loads shell32, which takes about as long as
    // starting a tool; nothing of the unpacking depends on it, nor on the
    // tidying up after earlier starts, so both are done while the tools
    // decode. Should the split fail, the tools are waited for and their files
    // removed before the failure is shown.
    Kova::CommandLine::ArgumentList arguments(GetCommandLineW());
    StartUpdateCheck(arguments.GetSwitches());
    SPARLIN_PHASE("arguments-read");
    RemoveStaleFolders(folder.GetRoot(), folder.GetSecurity());
    SPARLIN_PHASE("stale-folders-removed");
    if (layoutFailure) {
        std::rethrow_exception(layoutFailure);
    }

    // The layout library is checked while the application may still decode.
    // When something fails, the pending ones wait for their tools before
    // their files are removed, all before the failure is shown. Each output
    // is hashed while its tool writes it where nothing unelevated can change
    // it meanwhile: what is left once the tool ends is its tail.
    const bool hashEarly = folder.OnlyAdministratorsWrite();
    GrowingFileDigest layoutHash(pendingLayout->GetOutputPath(), hashEarly);
    std::optional<GrowingFileDigest> applicationHash;
    if (pendingApplication) {
        applicationHash.emplace(pendingApplication->GetOutputPath(), hashEarly);
    }
    File layout = pendingLayout->Finish(&layoutHash, applicationHash ? &*applicationHash : nullptr);
    ScopeGuard layoutGuard(layout, &DeleteFileWithRetries);
    layoutHash.Verify(layout, layoutDigest.c_str());
    SPARLIN_PHASE("payload-checked");
    if (applicationFailure) {
        std::rethrow_exception(applicationFailure);
    }
    File application = pendingApplication->Finish(&*applicationHash);
    ScopeGuard applicationGuard(application, &DeleteFileWithRetries);
    applicationHash->Verify(application, applicationDigest.c_str());
    SPARLIN_PHASE("payload-checked");

    toolGuard.Run();

    // The application keeps the launcher's current directory, so that
    // relative paths among the user's arguments mean what the user meant.
    arguments.PopFront();
    arguments.PushFront(layout.GetPath());
    arguments.PushFront(application.GetPath());
    {
        const std::wstring commandLine = arguments.ToString();
        SPARLIN_PHASE("application-start");
        Kova::Process process = Kova::Process::Create(commandLine, 0);
        process.Wait();
    }
}

} // namespace Sparlin
