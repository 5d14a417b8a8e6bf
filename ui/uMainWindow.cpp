// MainWindow: construction of the window and its two pages.
#include "ui/uMainWindow.h"

#include <objbase.h>

#include "analytics/uGoogleAnalitics.h"
#include "installer/uInstaller.h"
#include "platform/SystemLibrary.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"

// The state that needs clean-up, defined in this unit only: an inline
// definition in the header gives every unit that includes it its own copy
// of the start-up and clean-up code.
std::wstring MainWindow::StatusText;
platform::UniqueHandle MainWindow::InstanceMutex;

namespace {

constexpr int WindowWidth = 554;
constexpr int WindowHeight = 332;
constexpr int ProgressWindowHeight = 267;
constexpr int FooterHeight = 65;

// comctl32, for the progress bar's class; kept until the process ends.
platform::UniqueLibrary commonControls;

// ExitProcess, not exit: the analytics sender may already run, and exit
// would destroy what it uses before the system ends it (see RunInstaller).
[[noreturn]] void EndWithLastError() { ExitProcess(GetLastError()); }

HFONT CreatePageFont(int height, bool underline) {
    LOGFONTW font = {};
    font.lfHeight = height;
    font.lfWeight = FW_NORMAL;
    font.lfUnderline = underline;
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, MainWindow::FontFace, LF_FACESIZE);
    return CreateFontIndirectW(&font);
}

HWND CreateChild(const wchar_t* className, const std::wstring& text, DWORD style, int x, int y, int width,
                 int height, HWND parent, int id) {
    return CreateWindowExW(0, className, text.c_str(), style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

void SetFont(HWND control, HFONT font) {
    if (control == nullptr) return;
    HGDIOBJ face = font != nullptr ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(face), FALSE);
}

RECT ClientRect(HWND window) {
    RECT rect = {};
    GetClientRect(window, &rect);
    return rect;
}

}  // namespace

void MainWindow::Init() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CheckSingleInstance();
    ProgressPage = Globals::SkipStart;
    RegisterWindowClass();
    CreateMainWindow();
    if (ProgressPage) ShowProgressPage();
    else ShowStartPage();
    ShowMainWindow();
}

void MainWindow::Run() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void MainWindow::Done() {
    if (ClassAtom != 0) {
        UnregisterClassW(ClassName, GetModuleHandleW(nullptr));
        ClassAtom = 0;
    }
    CoUninitialize();
}

void MainWindow::CheckSingleInstance() {
    std::wstring name = Globals::GetInstanceName();
    ActivateMessage = RegisterWindowMessageW(name.c_str());
    // Held for the life of the process; no kernel namespace prefix, so the
    // guard acts within one logon session.
    InstanceMutex.reset(CreateMutexW(nullptr, TRUE, name.c_str()));
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(HWND_BROADCAST, ActivateMessage, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
        ExitProcess(0);
    }
}

void MainWindow::RegisterWindowClass() {
    HINSTANCE module = GetModuleHandleW(nullptr);
    ProductBitmap = LoadBitmapW(module, L"ICON_PRODUCT");
    ButtonBitmap = LoadBitmapW(module, L"BTN_IMAGE");

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_OWNDC | CS_GLOBALCLASS | CS_DROPSHADOW;
    if (ProgressPage) windowClass.style |= CS_NOCLOSE;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = module;
    windowClass.hIcon = LoadIconW(module, L"MAINICON");
    windowClass.hIconSm = LoadIconW(module, L"MAINICON");
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = ClassName;
    ClassAtom = RegisterClassExW(&windowClass);
    if (ClassAtom == 0) EndWithLastError();
}

void MainWindow::CreateMainWindow() {
    CreateWindowExW(WS_EX_APPWINDOW | WS_EX_CLIENTEDGE | WS_EX_WINDOWEDGE, ClassName, Localizer::WindowCaption.c_str(),
                    WS_SYSMENU | WS_MAXIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                    nullptr, GetModuleHandleW(nullptr), nullptr);
    if (WindowHandle == nullptr) EndWithLastError();
    // A caption with the system menu and the close button only.
    SetWindowLongW(WindowHandle, GWL_STYLE, GetWindowLongW(WindowHandle, GWL_STYLE) & ~WS_MAXIMIZEBOX);

    HMONITOR monitor = MonitorFromWindow(WindowHandle, MONITOR_DEFAULTTONEAREST);
    if (monitor == nullptr) EndWithLastError();
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetMonitorInfoW(monitor, &info)) EndWithLastError();
    const RECT& work = info.rcWork;
    int x = work.left + (work.right - work.left - WindowWidth) / 2;
    int y = work.top + (work.bottom - work.top - WindowHeight) / 2;
    if (!SetWindowPos(WindowHandle, nullptr, x, y, WindowWidth, WindowHeight, SWP_NOZORDER | SWP_NOACTIVATE))
        EndWithLastError();

    LoadFontResource();
    CreateNormalFont();
    CreateFooter();
}

void MainWindow::LoadFontResource() {
    // Private to this process, and never removed: the fonts use it until the end.
    HINSTANCE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, L"FONT_FRANKLIN_MEDIUM", MAKEINTRESOURCEW(10));
    if (found == nullptr) return;
    HGLOBAL loaded = LoadResource(module, found);
    DWORD size = SizeofResource(module, found);
    void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr || size == 0) return;
    DWORD fonts = 0;
    AddFontMemResourceEx(data, size, nullptr, &fonts);
}

void MainWindow::CreateNormalFont() { NormalFont = CreatePageFont(-13, false); }

void MainWindow::CreateFooter() {
    RECT client = ClientRect(WindowHandle);
    int width = client.right;
    FooterBrush = CreateSolidBrush(RGB(255, 255, 255));
    FooterPanel = CreateChild(L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, client.bottom - FooterHeight, width,
                              FooterHeight, WindowHandle, 0);
    // The logos centred vertically, 21 px in from either side; each static
    // control shows the bitmap resource its text names, at the bitmap's size.
    NortonLogo = CreateChild(L"STATIC", L"LOGO_NORTON", WS_CHILD | WS_VISIBLE | SS_BITMAP, 21, (FooterHeight - 44) / 2,
                             width - 42, 55, FooterPanel, 0);
    MicrosoftLogo = CreateChild(L"STATIC", L"LOGO_MICROSOFT", WS_CHILD | WS_VISIBLE | SS_BITMAP, width - 21 - 148,
                                (FooterHeight - 31) / 2, 148, 48, FooterPanel, 0);
}

void MainWindow::ShowStartPage() {
    ProgressPage = false;
    const bool withErrorCode = !Globals::ErrorCode.empty();
    LargeFont = nullptr;
    TitleFont = nullptr;
    LinkFont = nullptr;
    LargeFont = CreatePageFont(-19, false);
    TitleFont = CreatePageFont(withErrorCode ? -18 : -26, false);
    LinkFont = CreatePageFont(-13, true);

    const DWORD label = WS_CHILD | WS_VISIBLE;
    BrandLabel = CreateChild(L"STATIC", Localizer::BrandText, label, 34, 164, 219, 21, WindowHandle, 0);
    ProductTitleLabel = CreateChild(L"STATIC", Localizer::ProductTitleText, label, 34, 182, 219, 28, WindowHandle, 0);
    OfferTitleLabel = CreateChild(L"STATIC", Localizer::OfferTitleText, label, 206, withErrorCode ? 22 : 29, 301,
                                  withErrorCode ? 23 : 39, WindowHandle, 0);
    if (withErrorCode)
        OfferSubtitleLabel =
            CreateChild(L"STATIC", Localizer::OfferSubtitleText, label, 206, 45, 301, 23, WindowHandle, 0);
    LicenseLabel = CreateChild(L"STATIC", Localizer::LicenseText, label, 206, 68, 280, 102, WindowHandle, 0);
    LicenseLink =
        CreateChild(L"STATIC", Localizer::LicenseLinkText, label | SS_NOTIFY, 361, 85, 280, 20, WindowHandle, 103);
    SetFont(BrandLabel, NormalFont);
    SetFont(ProductTitleLabel, LargeFont);
    SetFont(OfferTitleLabel, TitleFont);
    SetFont(OfferSubtitleLabel, NormalFont);
    SetFont(LicenseLabel, NormalFont);
    SetFont(LicenseLink, LinkFont);

    InstallButton = CreateChild(L"BUTTON", Localizer::StartInstallText, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 206,
                                144, 301, 54, WindowHandle, 101);
    if (Globals::AutoCSOffer) {
        OfferCheckBox =
            CreateChild(L"BUTTON", Localizer::CleanerOfferText,
                        WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX | BS_TOP | BS_MULTILINE, 207, 204, 280, 25,
                        WindowHandle, 102);
        PostMessageW(OfferCheckBox, BM_SETCHECK, Globals::AutoCSOfferDefault ? BST_CHECKED : BST_UNCHECKED, 0);
        SetFont(OfferCheckBox, NormalFont);
    }
}

void MainWindow::DestroyStartPage() {
    for (HWND* control : {&InstallButton, &OfferCheckBox, &BrandLabel, &ProductTitleLabel, &OfferTitleLabel,
                          &OfferSubtitleLabel, &LicenseLabel, &LicenseLink}) {
        if (*control != nullptr) DestroyWindow(*control);
        *control = nullptr;
    }
}

void MainWindow::ShowProgressPage() {
    ProgressPage = true;
    RECT product = {34, 34, 155, 155};
    InvalidateRect(WindowHandle, &product, FALSE);
    SetWindowPos(WindowHandle, HWND_TOP, 0, 0, WindowWidth, ProgressWindowHeight, SWP_NOMOVE | SWP_NOACTIVATE);

    RECT client = ClientRect(WindowHandle);
    SetWindowPos(FooterPanel, HWND_TOP, 0, client.bottom - FooterHeight, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    StatusRect = {34, 61, client.right - 34, 61 + 42};
    InvalidateRect(WindowHandle, &StatusRect, TRUE);

    // The progress bar's class lives in comctl32 (version 6, through the
    // manifest), loaded from System32 only.
    if (!commonControls) commonControls = platform::LoadSystemLibrary(L"comctl32.dll");
    using InitFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto initCommonControls = platform::GetFunction<InitFunction>(commonControls.get(), "InitCommonControlsEx");
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    if (initCommonControls == nullptr || !initCommonControls(&controls)) EndWithLastError();
    ProgressBar = CreateChild(L"msctls_progress32", L"", WS_CHILD | WS_VISIBLE, 34, StatusRect.bottom,
                              client.right - 68, 17, WindowHandle, 0);

    StartInstallation();
    GoogleAnalitics::AddEvent(L"install_start", L"", 0);
}

void MainWindow::ShowMainWindow() {
    ShowWindow(WindowHandle, SW_SHOWNORMAL);
    UpdateWindow(WindowHandle);
}

void MainWindow::AllowActivateMessage() {
    // Lets another instance's broadcast through the message filter, even
    // from a lower integrity level.
    platform::UniqueLibrary user32(LoadLibraryW(L"user32.dll"));
    if (!user32) return;
    using FilterEx = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    using Filter = BOOL(WINAPI*)(UINT, DWORD);
    if (auto filterEx = platform::GetFunction<FilterEx>(user32.get(), "ChangeWindowMessageFilterEx")) {
        struct {
            DWORD cbSize;
            DWORD ExtStatus;
        } change = {8, 0};
        filterEx(WindowHandle, ActivateMessage, 1, &change);
    } else if (auto filter = platform::GetFunction<Filter>(user32.get(), "ChangeWindowMessageFilter")) {
        filter(ActivateMessage, 1);
    }
}
