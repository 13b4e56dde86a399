#include "UpdateCheck.h"

#include "Bitness.h"
#include "DesktopShell.h"
#include "MachineIdentifier.h"
#include "MessageBox.h"
#include "Version.h"
#include "../resources/resource.h"

#include "Kova/Application.h"
#include "Kova/Exception.h"
#include "Kova/Net/Http.h"
#include "Kova/Process.h"
#include "Kova/String.h"
#include "Kova/System.h"
#include "Kova/Thread.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cwctype>

namespace Sparlin {

const char* const ownVersion = "1.2.35.0";

namespace {

constexpr std::uint32_t delayAfterRefusal = 500;
constexpr std::uint32_t delayOnNormalStart = 2000;
constexpr unsigned int questionStyle = MB_YESNO | MB_ICONQUESTION | MB_SYSTEMMODAL | MB_SETFOREGROUND;

std::atomic<std::uint32_t> networkTimeLimit{defaultNetworkTimeLimit};

struct UpdateTask {
    std::uint32_t delay;
    void operator()() const { RunUpdateCheck(delay); }
};

bool StartsWithScheme(const std::wstring& text, const std::wstring& scheme)
{
    if (text.size() < scheme.size()) {
        return false;
    }
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::towlower(text[i]) != scheme[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

void SetUpdateTimeLimit(std::uint32_t milliseconds)
{
    networkTimeLimit = milliseconds;
}

std::wstring MakeDownloadPage(const std::wstring& downloadHost)
{
    std::wstring base = downloadHost;
    if (!StartsWithScheme(base, L"https://") && !StartsWithScheme(base, L"http://")) {
        base = L"http://" + base;
    }
    while (!base.empty() && base.back() == L'/') {
        base.pop_back();
    }
    return base + L"/download.php";
}

void OpenDownloadPage(const std::wstring& page)
{
    // The browser must not inherit this process's administrator token;
    // without a desktop shell to ask, the shell functions open it directly.
    if (!OpenWithDesktopShell(page)) {
        Kova::Process::Run(page);
    }
}

std::wstring MakeQueryPath(const std::wstring& uid, const std::wstring& app, const std::wstring& os,
                           const std::wstring& bits)
{
    return Kova::Format(L"/update.php?uid=%s&app=%s&os=%s&bits=%s", uid.c_str(), app.c_str(), os.c_str(),
                        bits.c_str());
}

void RunUpdateCheck(std::uint32_t delay) noexcept
{
    try {
        Kova::SetSeTranslator(&Kova::SeTranslator);
        Sleep(delay);
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), 0xFF};
        InitCommonControlsEx(&controls);

        const std::wstring uid = GetMachineIdentifier();
        const std::wstring app = Kova::AnsiToWide(ownVersion);
        const std::wstring os = Kova::System::GetFullVersion();
        const std::wstring bits = RunsOn64BitWindows() ? L"64" : L"32";
        const std::wstring path = MakeQueryPath(uid, app, os, bits);

        // Only the network part is bounded; the user's answer is not.
        const std::string answer = Kova::Net::Http::Get(
            L"Sparlin", Kova::Application::LoadStringResource(IDS_UPDATE_HOST), 80, path, networkTimeLimit);

        if (!AnswerOffersNewerVersion(answer, app, &Kova::AnsiToWide)) {
            return;
        }
        const std::wstring question = Kova::Application::LoadStringResource(IDS_NEW_VERSION);
        if (ShowMessageBox(question, questionStyle) == IDYES) {
            OpenDownloadPage(MakeDownloadPage(Kova::Application::LoadStringResource(IDS_DOWNLOAD_HOST)));
        }
    } catch (...) {
        // The check is optional: whatever went wrong, the user is not bothered.
    }
}

void RunUpdateCheckAfterRefusal()
{
    Kova::Thread thread = Kova::Thread::Create(UpdateTask{delayAfterRefusal});
    thread.Wait();
}

void StartUpdateCheck(const Kova::CommandLine::SwitchList& switches)
{
    for (const Kova::CommandLine::Switch& entry : switches) {
        if (entry.name == L"hide") {
            return;
        }
    }
    Kova::Thread::Create(UpdateTask{delayOnNormalStart});
}

} // namespace Sparlin
