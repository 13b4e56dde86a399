#include "LaunchSequence.h"

#include "PayloadUnpacking.h"
#include "ProcessorCheck.h"
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

    const wchar_t* const payloadType = Kova::Process::IsWow64() ? L"BIN64" : L"BIN32";

    File tool = ExtractResourceToTempFile(L"LZMA", L"EXE", L"exe");
    ScopeGuard toolGuard(tool, &DeleteFileWithRetries);
    tool.Close();

    File layout = UnpackPayload(tool.GetPath(), L"HTMLAYOUT", payloadType, nullptr);
    ScopeGuard layoutGuard(layout, &DeleteFileWithRetries);

    File application = UnpackPayload(tool.GetPath(), L"GUI", payloadType, L"exe");
    ScopeGuard applicationGuard(application, &DeleteFileWithRetries);

    toolGuard.Run();

    arguments.PopFront();
    arguments.PushFront(layout.GetPath());
    arguments.PushFront(application.GetPath());
    {
        const std::wstring commandLine = arguments.ToString();
        Kova::Process process = Kova::Process::Create(commandLine, 0);
        process.Wait();
    }
}

} // namespace Sparlin
