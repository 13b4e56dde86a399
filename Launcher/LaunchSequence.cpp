#include "LaunchSequence.h"

#include "Bitness.h"
#include "Integrity.h"
#include "PayloadUnpacking.h"
#include "PhaseTrace.h"
#include "PrivateFolder.h"
#include "ProcessorCheck.h"
#include "StaleFolders.h"
#include "UpdateCheck.h"

#include "Kova/CommandLine/ArgumentList.h"
#include "Kova/Process.h"

#include <windows.h>

namespace Sparlin {

using Kova::FileSystem::File;

void RunLaunchSequence()
{
    if (!CheckProcessor()) {
        RunUpdateCheckAfterRefusal();
        return;
    }

    Kova::CommandLine::ArgumentList arguments(GetCommandLineW());
    const Kova::CommandLine::SwitchList switches = arguments.GetSwitches();
    StartUpdateCheck(switches);
    SPARLIN_PHASE("arguments-read");

    const bool wow64 = RunsOn64BitWindows();
    const wchar_t* const payloadType = wow64 ? L"BIN64" : L"BIN32";
    const std::wstring layoutDigest = wow64 ? L"HTMLAYOUT64" : L"HTMLAYOUT32";
    const std::wstring applicationDigest = wow64 ? L"GUI64" : L"GUI32";

    // Made first, so that it goes last, after every file in it.
    const PrivateFolder folder = PrivateFolder::Create();
    RemoveStaleFolders(folder.GetRoot(), folder.OwnersAreFaithful());
    SPARLIN_PHASE("folder-created");

    File tool = ExtractResourceToTempFile(L"LZMA", L"EXE", L"exe", folder.GetPath());
    ScopeGuard toolGuard(tool, &DeleteFileWithRetries);
    tool.Close();
    // Held for reading from here until it is removed, so that the tool that
    // was checked is the tool that runs.
    tool = File::Open(std::wstring(tool.GetPath()));
    VerifyFile(tool, L"LZMA");
    SPARLIN_PHASE("tool-checked");

    File layout = PendingPayload(tool.GetPath(), L"HTMLAYOUT", payloadType, nullptr, folder.GetPath()).Finish();
    ScopeGuard layoutGuard(layout, &DeleteFileWithRetries);

    // The layout library is checked while the tool decodes the application,
    // so that the check adds no time of its own. When it fails, the pending
    // application waits for its tool before its files are removed.
    PendingPayload pendingApplication(tool.GetPath(), L"GUI", payloadType, L"exe", folder.GetPath());
    VerifyFile(layout, layoutDigest.c_str());
    SPARLIN_PHASE("payload-checked");
    File application = pendingApplication.Finish();
    ScopeGuard applicationGuard(application, &DeleteFileWithRetries);
    VerifyFile(application, applicationDigest.c_str());
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
