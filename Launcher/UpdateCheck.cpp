#include "UpdateCheck.h"

#include "Bitness.h"
#include "DesktopShell.h"
#include "MachineIdentifier.h"
#include "MessageBox.h"
#include "PrivateFolder.h"
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
#include <memory>

namespace Sparlin {

const char* const ownVersion = "1.2.35.0";

namespace {

constexpr std::uint32_t delayAfterRefusal = 500;
constexpr std::uint32_t delayOnNormalStart = 2000;
constexpr unsigned int questionStyle = MB_YESNO | MB_ICONQUESTION | MB_SYSTEMMODAL | MB_SETFOREGROUND;

// Beyond the check's own limits: for the steps before and around them.
constexpr std::uint32_t grace = 5000;
constexpr std::uint32_t pageGrace = 2000;

std::atomic<std::uint32_t> networkTimeLimit{defaultNetworkTimeLimit};
std::atomic<std::uint32_t> pageTimeLimit{defaultPageTimeLimit};
std::atomic<PageRoute> desktopShellRoute{&OpenWithDesktopShell};

// Manual-reset events by which a waiting main thread follows the check.
struct Progress {
    Kova::KernelHandle asking{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Kova::KernelHandle answered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Kova::KernelHandle finished{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

void Signal(const Kova::KernelHandle& event)
{
    if (!event.IsEmpty()) {
        SetEvent(event.Get());
    }
}

// The events of the check on this thread, if anyone follows it; the task
// keeps them alive, also for a main thread that stopped waiting.
thread_local Progress* progress = nullptr;

struct UpdateTask {
    std::uint32_t delay;
    std::shared_ptr<Progress> followed;
    void operator()() const
    {
        progress = followed.get();
        RunUpdateCheck(delay);
        if (followed) {
            Signal(followed->finished);
        }
    }
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

void SetPageTimeLimit(std::uint32_t milliseconds)
{
    pageTimeLimit = milliseconds;
}

void SetDesktopShellRoute(PageRoute route)
{
    desktopShellRoute = route;
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
    // The browser must never get this process's administrator token: any
    // program of the user can make the desktop shell fail on purpose, and
    // name its own handler for the page's scheme. Elevated, the shell of the
    // logged-on user opens the page or nothing does.
    const bool elevated = IsElevated();
    if (desktopShellRoute.load()(page, elevated ? pageTimeLimit.load() : 0) || elevated) {
        return;
    }
    Kova::Process::Run(page);
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
        const std::string reply = Kova::Net::Http::Get(
            L"Sparlin", Kova::Application::LoadStringResource(IDS_UPDATE_HOST), 80, path, networkTimeLimit);

        if (!AnswerOffersNewerVersion(reply, app, &Kova::AnsiToWide)) {
            return;
        }
        const std::wstring question = Kova::Application::LoadStringResource(IDS_NEW_VERSION);
        if (progress) {
            Signal(progress->asking);
        }
        const int answer = ShowMessageBox(question, questionStyle);
        if (progress) {
            Signal(progress->answered);
        }
        if (answer == IDYES) {
            OpenDownloadPage(MakeDownloadPage(Kova::Application::LoadStringResource(IDS_DOWNLOAD_HOST)));
        }
    } catch (...) {
        // The check is optional: whatever went wrong, the user is not bothered.
    }
}

void RunUpdateCheckAfterRefusal()
{
    const auto followed = std::make_shared<Progress>();
    if (followed->asking.IsEmpty() || followed->answered.IsEmpty() || followed->finished.IsEmpty()) {
        return;
    }
    Kova::Thread thread = Kova::Thread::Create(UpdateTask{delayAfterRefusal, followed});
    // Up to the question: the delay and the network part, each bounded.
    HANDLE untilAsked[] = {followed->finished.Get(), followed->asking.Get()};
    DWORD waited = WaitForMultipleObjects(2, untilAsked, FALSE, delayAfterRefusal + networkTimeLimit + grace);
    if (waited == WAIT_OBJECT_0 + 1) {
        // The user's answer takes the user's time.
        HANDLE untilAnswered[] = {followed->finished.Get(), followed->answered.Get()};
        WaitForMultipleObjects(2, untilAnswered, FALSE, INFINITE);
        // Opening the page: whatever the shell does, no longer than this.
        waited = WaitForSingleObject(followed->finished.Get(), pageTimeLimit + pageGrace);
    }
    if (waited == WAIT_OBJECT_0) {
        // Past its last step the thread still lets go of what it held in the
        // window system; ending the process in the middle of that has crashed
        // Wine.
        thread.Wait(grace);
        return;
    }
    // The check is stuck in a call that does not return. Nothing of the
    // launcher's is left to tidy up on this path, and ending the process at
    // once cannot wait on a lock that thread holds, as an orderly exit might.
    TerminateProcess(GetCurrentProcess(), 0);
}

void StartUpdateCheck(const Kova::CommandLine::SwitchList& switches)
{
    for (const Kova::CommandLine::Switch& entry : switches) {
        if (entry.name == L"hide") {
            return;
        }
    }
    Kova::Thread::Create(UpdateTask{delayOnNormalStart, nullptr});
}

} // namespace Sparlin
