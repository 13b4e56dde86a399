#include "DesktopShell.h"

#include <windows.h>
#include <exdisp.h>
#include <objbase.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <sddl.h>

#include <cstdint>

namespace Sparlin {

namespace {

constexpr DWORD retryInterval = 200;

// Defined here rather than taken from libuuid, so that the launcher's
// imports stay as they are. {9BA05972-F6A8-11CF-A442-00A0C90A8F39}
constexpr GUID shellWindowsClass{0x9ba05972, 0xf6a8, 0x11cf, {0xa4, 0x42, 0x00, 0xa0, 0xc9, 0x0a, 0x8f, 0x39}};
// SID_STopLevelBrowser, {4C96BE40-915C-11CF-99D3-00AA004AE837}
constexpr GUID topLevelBrowserService{0x4c96be40, 0x915c, 0x11cf, {0x99, 0xd3, 0x00, 0xaa, 0x00, 0x4a, 0xe8, 0x37}};

template <typename Interface>
class ComPointer {
public:
    ComPointer() = default;
    ComPointer(const ComPointer&) = delete;
    ComPointer& operator=(const ComPointer&) = delete;
    ~ComPointer()
    {
        if (pointer != nullptr) {
            pointer->Release();
        }
    }

    Interface** Out() { return &pointer; }
    void** OutVoid() { return reinterpret_cast<void**>(&pointer); }
    Interface* operator->() const { return pointer; }
    explicit operator bool() const { return pointer != nullptr; }

    // Asks this object for another of its interfaces.
    template <typename Other>
    bool Query(ComPointer<Other>& other) const
    {
        return SUCCEEDED(pointer->QueryInterface(__uuidof(Other), other.OutVoid())) && other;
    }

private:
    Interface* pointer = nullptr;
};

class Apartment {
public:
    Apartment() : result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
    ~Apartment()
    {
        if (SUCCEEDED(result)) {
            CoUninitialize();
        }
    }
    bool Entered() const { return SUCCEEDED(result); }

private:
    HRESULT result;
};

class Text {
public:
    explicit Text(const wchar_t* text) : value(SysAllocString(text)) {}
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text()
    {
        if (value != nullptr) {
            SysFreeString(value);
        }
    }
    BSTR Get() const { return value; }

private:
    BSTR value;
};

VARIANT Number(LONG value)
{
    VARIANT variant{};
    variant.vt = VT_I4;
    variant.lVal = value;
    return variant;
}

// COM's process-wide security, before any call into another process: the
// shell is ours to ask, not to act as us (identify only), may not hand us an
// unmarshaller of its own, and nothing is started under this token on our
// behalf. Nobody but SYSTEM and elevated administrators may call into us:
// without a descriptor COM would take the machine's defaults. Once per
// process; a second call is refused by COM, so it is made only here.
bool SecureCom()
{
    static const HRESULT result = [] {
        AbsoluteSecurityDescriptor access(comAccess);
        if (access.Get() == nullptr) {
            return E_FAIL;
        }
        return CoInitializeSecurity(access.Get(), -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                    RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NO_CUSTOM_MARSHAL | EOAC_DISABLE_AAA,
                                    nullptr);
    }();
    return SUCCEEDED(result);
}

// The shell's dispatch object of the desktop, or nothing while the desktop
// shell has not registered its windows (not started yet, or restarting).
bool FindShell(ComPointer<IShellDispatch2>& shell)
{
    // The shell windows of the desktop's own process: an object made in this
    // process would start the browser with this process's token.
    ComPointer<IShellWindows> windows;
    if (FAILED(CoCreateInstance(shellWindowsClass, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(IShellWindows),
                                windows.OutVoid())) ||
        !windows) {
        return false;
    }
    VARIANT location = Number(CSIDL_DESKTOP);
    VARIANT root{};
    LONG window = 0;
    ComPointer<IDispatch> desktop;
    // S_FALSE: no desktop window is registered.
    if (windows->FindWindowSW(&location, &root, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, desktop.Out()) != S_OK ||
        !desktop) {
        return false;
    }
    ComPointer<IServiceProvider> services;
    ComPointer<IShellBrowser> browser;
    ComPointer<IShellView> view;
    ComPointer<IDispatch> background;
    ComPointer<IShellFolderViewDual> folderView;
    ComPointer<IDispatch> application;
    return desktop.Query(services) &&
           SUCCEEDED(services->QueryService(topLevelBrowserService, __uuidof(IShellBrowser), browser.OutVoid())) &&
           browser && SUCCEEDED(browser->QueryActiveShellView(view.Out())) && view &&
           SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, __uuidof(IDispatch), background.OutVoid())) &&
           background && background.Query(folderView) && SUCCEEDED(folderView->get_Application(application.Out())) &&
           application && application.Query(shell);
}

} // namespace

AbsoluteSecurityDescriptor::AbsoluteSecurityDescriptor(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR relative = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &relative, nullptr)) {
        return;
    }
    // Descriptor, DACL, SACL, owner, group: sizes first, then one block of
    // words for all, so that every part is aligned for the pointers in it.
    DWORD sizes[5] = {};
    MakeAbsoluteSD(relative, nullptr, &sizes[0], nullptr, &sizes[1], nullptr, &sizes[2], nullptr, &sizes[3], nullptr,
                   &sizes[4]);
    std::size_t offsets[5] = {};
    std::size_t words = 0;
    for (int i = 0; i < 5; ++i) {
        offsets[i] = words;
        words += (sizes[i] + sizeof(std::uintptr_t) - 1) / sizeof(std::uintptr_t);
    }
    std::vector<std::uintptr_t> block(words);
    const auto at = [&](int i) { return static_cast<void*>(block.data() + offsets[i]); };
    if (sizes[0] != 0 &&
        MakeAbsoluteSD(relative, at(0), &sizes[0], static_cast<PACL>(at(1)), &sizes[1], static_cast<PACL>(at(2)),
                       &sizes[2], at(3), &sizes[3], at(4), &sizes[4])) {
        // Moving the vector keeps its storage, and with it the pointers.
        parts = std::move(block);
    }
    LocalFree(relative);
}

bool OpenWithDesktopShell(const std::wstring& address, std::uint32_t patience)
{
    // Declared first, so that every interface below is released before the
    // apartment is left.
    Apartment apartment;
    if (!apartment.Entered() || !SecureCom()) {
        return false;
    }
    const DWORD start = GetTickCount();
    ComPointer<IShellDispatch2> shell;
    while (!FindShell(shell)) {
        // A desktop shell that is starting (Wine's comes with the first
        // window of a session, our question) registers its windows a little
        // later; it is asked again until the patience runs out.
        if (GetTickCount() - start + retryInterval > patience) {
            return false;
        }
        Sleep(retryInterval);
    }
    const Text file(address.c_str());
    const Text verb(L"open");
    if (file.Get() == nullptr || verb.Get() == nullptr) {
        return false;
    }
    VARIANT none{};
    VARIANT operation{};
    operation.vt = VT_BSTR;
    operation.bstrVal = verb.Get();
    return SUCCEEDED(shell->ShellExecute(file.Get(), none, none, operation, Number(SW_SHOWNORMAL)));
}

} // namespace Sparlin
