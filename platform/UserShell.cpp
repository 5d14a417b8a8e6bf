// The desktop's shell runs ShellExecute for us: the desktop window's view,
// found through the shell's window list, hands out the shell's automation
// object, whose ShellExecute runs in Explorer's process, with Explorer's
// (the user's unelevated) token.
#include "platform/UserShell.h"

#include <windows.h>

#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include "platform/ComReference.h"
#include "platform/SystemLibrary.h"

namespace platform {
namespace {

// oleaut32 is loaded only when a page is opened (it is loaded then anyway,
// to carry the calls to Explorer's process).
class Strings {
public:
    Strings() : library_(LoadSystemLibrary(L"oleaut32.dll")) {
        Allocate = GetFunction<decltype(&SysAllocString)>(library_.get(), "SysAllocString");
        Free = GetFunction<decltype(&SysFreeString)>(library_.get(), "SysFreeString");
    }
    bool Loaded() const { return Allocate != nullptr && Free != nullptr; }
    decltype(&SysAllocString) Allocate = nullptr;
    decltype(&SysFreeString) Free = nullptr;

private:
    UniqueLibrary library_;
};

// A string argument of an automation call, freed when it goes.
class TextArgument {
public:
    TextArgument(const Strings& AStrings, const wchar_t* AText) : free_(AStrings.Free) {
        value_.vt = VT_BSTR;
        value_.bstrVal = AStrings.Allocate(AText);
    }
    ~TextArgument() { free_(value_.bstrVal); }
    TextArgument(const TextArgument&) = delete;
    TextArgument& operator=(const TextArgument&) = delete;
    bool Made() const { return value_.bstrVal != nullptr; }
    const VARIANT& Value() const { return value_; }

private:
    decltype(&SysFreeString) free_;
    VARIANT value_ = {};
};

// The shell's automation object, from the desktop window's view.
bool DesktopShell(ComReference<IShellDispatch2>& AShell) {
    ComReference<IShellWindows> windows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                windows.putVoid())))
        return false;
    VARIANT desktop = {}, none = {};
    desktop.vt = VT_I4;
    desktop.lVal = CSIDL_DESKTOP;
    long window = 0;
    ComReference<IDispatch> found;
    if (windows->FindWindowSW(&desktop, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, found.put()) != S_OK ||
        found.get() == nullptr)
        return false;
    ComReference<IServiceProvider> services;
    ComReference<IShellBrowser> browser;
    ComReference<IShellView> view;
    ComReference<IDispatch> background;
    ComReference<IShellFolderViewDual> folderView;
    ComReference<IDispatch> application;
    return SUCCEEDED(found->QueryInterface(IID_IServiceProvider, services.putVoid())) &&
           SUCCEEDED(services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.putVoid())) &&
           SUCCEEDED(browser->QueryActiveShellView(view.put())) && view.get() != nullptr &&
           SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.putVoid())) &&
           background.get() != nullptr &&
           SUCCEEDED(background->QueryInterface(IID_IShellFolderViewDual, folderView.putVoid())) &&
           SUCCEEDED(folderView->get_Application(application.put())) && application.get() != nullptr &&
           SUCCEEDED(application->QueryInterface(IID_IShellDispatch2, AShell.putVoid()));
}

}  // namespace

bool OpenAsDesktopUser(const std::wstring& AAddress) {
    Strings strings;
    if (!strings.Loaded()) return false;
    ComReference<IShellDispatch2> shell;
    if (!DesktopShell(shell)) return false;
    TextArgument file(strings, AAddress.c_str()), none(strings, L""), verb(strings, L"open");
    if (!file.Made() || !none.Made() || !verb.Made()) return false;
    VARIANT show = {};
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    return SUCCEEDED(shell->ShellExecute(file.Value().bstrVal, none.Value(), none.Value(), verb.Value(), show));
}

}  // namespace platform
