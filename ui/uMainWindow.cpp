// MainWindow: construction of the window and its two pages.
#include "ui/uMainWindow.h"

#include <objbase.h>
#include <oleacc.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "analytics/uGoogleAnalitics.h"
#include "installer/uInstaller.h"
#include "platform/FatalError.h"
#include "platform/Strings.h"
#include "platform/SystemLibrary.h"
#include "startup/uGlobals.h"
#include "ui/uFonts.h"
#include "ui/uLocalizer.h"
#include "ui/uPictures.h"

// The state that needs clean-up, defined in this unit only: an inline
// definition in the header gives every unit that includes it its own copy
// of the start-up and clean-up code.
std::wstring MainWindow::StatusText;
std::wstring MainWindow::FontFaceName = MainWindow::FontFace;
platform::UniqueNamespace MainWindow::InstanceNamespace;
platform::UniqueHandle MainWindow::InstanceMutex;
layout::TWindowLayout MainWindow::Layout;

namespace {

// comctl32, for the progress bar's class; kept until the process ends.
platform::UniqueLibrary commonControls;

// ExitProcess, not exit: the analytics sender may already run, and exit
// would destroy what it uses before the system ends it (see RunInstaller).
[[noreturn]] void EndWithLastError() { ExitProcess(GetLastError()); }

HFONT CreatePageFont(int height, bool underline) {
    return fonts::CreatePageFont(MainWindow::FontFaceName, height, underline);
}

HWND CreateChild(const wchar_t* className, const std::wstring& text, DWORD style, int x, int y, int width,
                 int height, HWND parent, int id) {
    // Text in a language written right to left reads that way; the mirrored
    // window already puts each control on the other side.
    const DWORD reading = MainWindow::RightToLeftLayout && text.size() > 0 ? WS_EX_RTLREADING : 0;
    return CreateWindowExW(reading, className, text.c_str(), style, x, y, width, height, parent,
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

HWND CreateChild(const wchar_t* className, const std::wstring& text, DWORD style, const layout::TRect& r, HWND parent,
                 int id) {
    return CreateChild(className, text, style, r.Left, r.Top, r.Width(), r.Height(), parent, id);
}

void Place(HWND control, const layout::TRect& r) {
    if (control != nullptr)
        SetWindowPos(control, nullptr, r.Left, r.Top, r.Width(), r.Height(), SWP_NOZORDER | SWP_NOACTIVATE);
}

// A new font handle in place of an old one: given to the control, then the
// old one is deleted.
void ReplaceFont(HFONT& slot, HFONT font) {
    HFONT old = slot;
    slot = font;
    if (old != nullptr) DeleteObject(old);
}

void ReplaceBitmap(HBITMAP& slot, HBITMAP bitmap) {
    HBITMAP old = slot;
    slot = bitmap;
    if (old != nullptr) DeleteObject(old);
}

// A picture shown by a static control: the control takes the new one
// before the old one is deleted.
void ShowLogo(HWND logo, HBITMAP& slot, HBITMAP bitmap) {
    if (logo != nullptr) SendMessageW(logo, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
    ReplaceBitmap(slot, bitmap);
}

// Tells screen readers that the licence link is a link: the system's
// accessibility proxy calls every static control static text. Through the
// accessibility layer's annotation service (oleacc, a COM server since
// Windows 2000), so that nothing is imported; without it the link stays
// static text, named by its text.
void AnnotateAsLink(HWND link) {
    static constexpr CLSID AccPropServicesClass = {
        0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
    static constexpr IID AccPropServicesInterface = {
        0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
    static constexpr GUID RoleProperty = {0xcb905ff2, 0x7bd1, 0x4c05, {0xb3, 0xc8, 0xe6, 0xc2, 0x41, 0x36, 0x4d, 0x70}};
    IAccPropServices* services = nullptr;
    if (link == nullptr || FAILED(CoCreateInstance(AccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER,
                                                   AccPropServicesInterface, reinterpret_cast<void**>(&services))))
        return;
    VARIANT role = {};
    role.vt = VT_I4;
    role.lVal = ROLE_SYSTEM_LINK;
    services->SetHwndProp(link, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, RoleProperty, role);
    services->Release();
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
    // Focus rectangles and the like follow the system's setting: hidden
    // until the keyboard is used, unless the user has them always shown.
    // (Said outright: not every system acts on UIS_INITIALIZE.) The update
    // goes down to every control.
    BOOL cues = FALSE;
    SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &cues, 0);
    SendMessageW(WindowHandle, WM_UPDATEUISTATE, MAKEWPARAM(cues ? UIS_CLEAR : UIS_SET, UISF_HIDEFOCUS | UISF_HIDEACCEL),
                 0);
    ShowMainWindow();
}

void MainWindow::Run() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_KEYDOWN && OnKeyDown(message)) continue;
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
    // The guard lives in a namespace that only elevated administrators can
    // enter: a plain name can be created first by any program of the
    // session, which then stops every installation. The session's number in
    // the boundary keeps the guard to one logon session. Where the system
    // has no private namespaces (Wine), the plain name, as before.
    std::wstring boundary = name + L"-";
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    platform::AppendDecimal(boundary, session);
    bool unsupported = false;
    InstanceNamespace = platform::OpenAdminNamespace(boundary, unsupported);
    if (InstanceNamespace) name = std::wstring(platform::AdminNamespaceAlias) + L"\\" + name;
    // Both held for the life of the process.
    if (InstanceNamespace || unsupported) InstanceMutex.reset(CreateMutexW(nullptr, TRUE, name.c_str()));
    // A guard that cannot be taken is no second instance: the user is told,
    // and the exit code is not 0.
    if (!InstanceMutex) platform::RaiseSystemError(GetLastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(HWND_BROADCAST, ActivateMessage, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
        ExitProcess(0);
    }
}

void MainWindow::RegisterWindowClass() {
    // The pictures are made for the window's DPI once it exists (LoadPictures).
    HINSTANCE module = GetModuleHandleW(nullptr);

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_OWNDC | CS_GLOBALCLASS | CS_DROPSHADOW;
    if (ProgressPage) windowClass.style |= CS_NOCLOSE;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = module;
    windowClass.hIcon = LoadIconW(module, L"MAINICON");
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = ClassName;
    ClassAtom = RegisterClassExW(&windowClass);
    if (ClassAtom == 0) EndWithLastError();
}

void MainWindow::CreateMainWindow() {
    // A language written right to left gets the window mirrored: every
    // control changes sides, and the pictures are drawn unmirrored.
    RightToLeftLayout = Localizer::RightToLeft;
    const DWORD mirrored = RightToLeftLayout ? WS_EX_LAYOUTRTL : 0;
    CreateWindowExW(WS_EX_APPWINDOW | WS_EX_CLIENTEDGE | WS_EX_WINDOWEDGE | mirrored, ClassName, Localizer::WindowCaption.c_str(),
                    WS_SYSMENU | WS_MAXIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                    nullptr, GetModuleHandleW(nullptr), nullptr);
    if (WindowHandle == nullptr) EndWithLastError();
    // A caption with the system menu and the close button only.
    SetWindowLongW(WindowHandle, GWL_STYLE, GetWindowLongW(WindowHandle, GWL_STYLE) & ~WS_MAXIMIZEBOX);

    // Every size is the one of 96 DPI scaled for the monitor the window
    // opens on; at 96 DPI, 554 x 332.
    Dpi = WindowDpi();
    ComputeLayout();
    const int windowWidth = Layout.WindowWidth, windowHeight = Layout.StartWindowHeight;
    HMONITOR monitor = MonitorFromWindow(WindowHandle, MONITOR_DEFAULTTONEAREST);
    if (monitor == nullptr) EndWithLastError();
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetMonitorInfoW(monitor, &info)) EndWithLastError();
    const RECT& work = info.rcWork;
    // Centred in the work area; a window larger than it keeps its top left
    // corner (its caption, icon and title) inside it.
    const int x = std::max<int>(work.left, work.left + (work.right - work.left - windowWidth) / 2);
    const int y = std::max<int>(work.top, work.top + (work.bottom - work.top - windowHeight) / 2);
    if (!SetWindowPos(WindowHandle, nullptr, x, y, windowWidth, windowHeight, SWP_NOZORDER | SWP_NOACTIVATE))
        EndWithLastError();
    ComputeLayout();
    LoadIcons();
    HighContrast = false;
    OnSettingChange();

    LoadFontResource();
    ChooseFontFace();
    CreateNormalFont();
    CreateFooter();
}

// The icon's images are drawn at 16, 24, 32, 48, 64 and 256 px: each icon
// takes the image of its size at the window's DPI (16 and 32 px at 96 DPI),
// not another one shrunk by the caption.
void MainWindow::LoadIcons() {
    HINSTANCE module = GetModuleHandleW(nullptr);
    const int small = layout::ScaleForDpi(16, Dpi), big = layout::ScaleForDpi(32, Dpi);
    platform::UniqueIcon smallIcon(static_cast<HICON>(LoadImageW(module, L"MAINICON", IMAGE_ICON, small, small, 0)));
    platform::UniqueIcon bigIcon(static_cast<HICON>(LoadImageW(module, L"MAINICON", IMAGE_ICON, big, big, 0)));
    if (smallIcon) SendMessageW(WindowHandle, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon.get()));
    if (bigIcon) SendMessageW(WindowHandle, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon.get()));
    // The window no longer shows the icons of before: they may go.
    if (smallIcon) SmallIcon = std::move(smallIcon);
    if (bigIcon) BigIcon = std::move(bigIcon);
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


// The embedded font has the Latin script only. For a translation in another
// script the window takes, of the faces that have every character of its
// texts: the system's usual user-interface face for that script, then the
// face of the system's message boxes, then any installed face.
void MainWindow::ChooseFontFace() {
#ifdef QUELLOX_TRANSLATIONS
    FontFaceName = FontFace;
    if (Localizer::LanguageTag == L"en") return;
    std::wstring shown;
    for (const std::wstring* text :
         {&Localizer::StartInstallText, &Localizer::CleanerOfferText, &Localizer::OfferTitleText,
          &Localizer::OfferSubtitleText, &Localizer::LicenseText, &Localizer::LicenseLinkText, &Localizer::ProgressText,
          &Localizer::ProgressPercentPattern, &Localizer::FinalizingText, &Localizer::PausedNoticeText})
        shown += *text;
    FontFaceName = fonts::ChooseFace(FontFace, Localizer::LanguageTag, shown);
#endif
}

void MainWindow::CreateNormalFont() { NormalFont = CreatePageFont(Layout.NormalFontHeight, false); }

void MainWindow::CreateFooter() {
    FooterBrush = CreateSolidBrush(RGB(255, 255, 255));
    FooterPanel = CreateChild(L"STATIC", L"", WS_CHILD | WS_VISIBLE, Layout.FooterPanel, WindowHandle, 0);
    // In a mirrored window the logos change sides but are not mirrored
    // themselves: the band does not hand its layout down.
    if (RightToLeftLayout && FooterPanel != nullptr)
        SetWindowLongW(FooterPanel, GWL_EXSTYLE, GetWindowLongW(FooterPanel, GWL_EXSTYLE) | WS_EX_NOINHERITLAYOUT);
    // The logos centred vertically, 21 px in from either side. Each static
    // control shows the picture made for the DPI, at the picture's size; its
    // text is what a screen reader says of it (the name of no resource, so
    // the control loads nothing by itself).
    NortonLogo = CreateChild(L"STATIC", Localizer::TrustLogoText, WS_CHILD | WS_VISIBLE | SS_BITMAP, Layout.TrustLogo,
                             FooterPanel, 0);
    MicrosoftLogo = CreateChild(L"STATIC", Localizer::CompatLogoText, WS_CHILD | WS_VISIBLE | SS_BITMAP,
                                Layout.CompatLogo, FooterPanel, 0);
    LoadPictures();
}

// The DPI of the monitor the window is on: the window's own DPI where the
// system has one for each monitor (Windows 10 1607 on, then 8.1 on), the
// system's DPI before. Looked up at run time: older systems lack them.
int MainWindow::WindowDpi() {
    using DpiForWindow = UINT(WINAPI*)(HWND);
    if (auto forWindow = platform::GetFunction<DpiForWindow>(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow"))
        if (UINT dpi = forWindow(WindowHandle)) return static_cast<int>(dpi);
    using DpiForMonitor = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
    platform::UniqueLibrary shcore = platform::LoadSystemLibrary(L"shcore.dll");
    if (auto forMonitor = platform::GetFunction<DpiForMonitor>(shcore.get(), "GetDpiForMonitor")) {
        UINT x = 0, y = 0;
        // 0: MDT_EFFECTIVE_DPI, the DPI the user chose for that monitor.
        if (SUCCEEDED(forMonitor(MonitorFromWindow(WindowHandle, MONITOR_DEFAULTTONEAREST), 0, &x, &y)) && y != 0)
            return static_cast<int>(y);
    }
    HDC screen = GetDC(nullptr);
    int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

void MainWindow::ComputeLayout() {
    RECT client = ClientRect(WindowHandle);
    Layout = layout::ComputeLayout(Dpi, client.right, client.bottom, !Globals::ErrorCode.empty(),
                                   Localizer::LanguageTag != L"en");
}

void MainWindow::CreatePageFonts() {
    ReplaceFont(LargeFont, CreatePageFont(Layout.LargeFontHeight, false));
    ReplaceFont(TitleFont, CreatePageFont(Layout.TitleFontHeight, false));
    ReplaceFont(LinkFont, CreatePageFont(Layout.LinkFontHeight, true));
}

// Every picture at the layout's sizes, from the art drawn for the DPI.
void MainWindow::LoadPictures() {
    const layout::TRect& product = Layout.ProductPicture;
    ReplaceBitmap(ProductBitmap, pictures::Load(L"ICON_PRODUCT", Dpi, product.Width(), product.Height()));
    // The button's strip: its three rows, each as high as the button.
    const int row = Layout.InstallButton.Height();
    ReplaceBitmap(ButtonBitmap, pictures::Load(L"BTN_IMAGE", Dpi, 2 * Layout.ButtonCap + 1, 3 * row));
    ShowLogo(NortonLogo, TrustLogoBitmap,
             pictures::Load(L"LOGO_NORTON", Dpi, Layout.TrustLogo.Width(), Layout.TrustLogo.Height()));
    ShowLogo(MicrosoftLogo, CompatLogoBitmap,
             pictures::Load(L"LOGO_MICROSOFT", Dpi, Layout.CompatLogo.Width(), Layout.CompatLogo.Height()));
}

// The link completes the licence sentence: a blank after the end of its
// last line, or at the start of the next where it does not fit there,
// measured as the label lays the sentence out, in every language and at
// every DPI. It is as wide as its text.
void MainWindow::PlaceLicenseLink() {
    if (LicenseLink == nullptr || LicenseLabel == nullptr) return;
    HDC dc = GetDC(LicenseLabel);
    if (dc == nullptr) return;
    HGDIOBJ previous = SelectObject(dc, LinkFont != nullptr ? static_cast<HGDIOBJ>(LinkFont) : GetStockObject(DEFAULT_GUI_FONT));
    RECT text = {};
    DrawTextW(dc, Localizer::LicenseLinkText.c_str(), static_cast<int>(Localizer::LicenseLinkText.size()), &text,
              DT_CALCRECT | DT_SINGLELINE | ReadingOrder());
    SelectObject(dc, NormalFont != nullptr ? static_cast<HGDIOBJ>(NormalFont) : GetStockObject(DEFAULT_GUI_FONT));
    const layout::TRect& label = Layout.LicenseLabel;
    const fonts::TLinkPlace place =
        fonts::PlaceLink(dc, Localizer::LicenseText, text.right, label.Width(), ReadingOrder());
    const int line = fonts::LineHeight(dc);
    SelectObject(dc, previous);
    ReleaseDC(LicenseLabel, dc);
    // One pixel more for the focus rectangle's right edge.
    layout::TRect link;
    link.Left = label.Left + place.Offset;
    link.Top = label.Top + place.Line * line;
    link.Right = link.Left + text.right + layout::ScaleForDpi(1, Dpi);
    link.Bottom = link.Top + Layout.LicenseLink.Height();
    // The English window at 96 DPI keeps the place it was drawn with: there
    // the sentence breaks as designed, and the designed place is within two
    // pixels of the measured one.
    if (Dpi == 96 && Localizer::LanguageTag == L"en" && place.Line == 1) {
        link.Left = Layout.LicenseLink.Left;
        link.Top = Layout.LicenseLink.Top;
        link.Right = link.Left + text.right + 1;
        link.Bottom = Layout.LicenseLink.Bottom;
    }
    Place(LicenseLink, link);
}

// The whole window again for a new DPI or client size: fonts, pictures and
// every control's place.
void MainWindow::ApplyLayout() {
    ComputeLayout();
    HFONT oldNormal = NormalFont, oldLarge = LargeFont, oldTitle = TitleFont, oldLink = LinkFont;
    NormalFont = CreatePageFont(Layout.NormalFontHeight, false);
    LargeFont = TitleFont = LinkFont = nullptr;
    if (!ProgressPage) {
        CreatePageFonts();
        SetFont(BrandLabel, NormalFont);
        SetFont(ProductTitleLabel, LargeFont);
        SetFont(OfferTitleLabel, TitleFont);
        SetFont(OfferSubtitleLabel, NormalFont);
        SetFont(LicenseLabel, NormalFont);
        SetFont(LicenseLink, LinkFont);
        SetFont(OfferCheckBox, NormalFont);
    }
    for (HFONT old : {oldNormal, oldLarge, oldTitle, oldLink})
        if (old != nullptr) DeleteObject(old);
    LoadPictures();

    Place(FooterPanel, Layout.FooterPanel);
    Place(NortonLogo, Layout.TrustLogo);
    Place(MicrosoftLogo, Layout.CompatLogo);
    Place(BrandLabel, Layout.BrandLabel);
    Place(ProductTitleLabel, Layout.ProductTitleLabel);
    Place(OfferTitleLabel, Layout.OfferTitleLabel);
    Place(OfferSubtitleLabel, Layout.OfferSubtitleLabel);
    Place(LicenseLabel, Layout.LicenseLabel);
    Place(LicenseLink, Layout.LicenseLink);
    PlaceLicenseLink();
    Place(InstallButton, Layout.InstallButton);
    Place(OfferCheckBox, Layout.OfferCheckBox);
    Place(ProgressBar, Layout.ProgressBar);
    Place(PausedNotice, Layout.PausedStatusArea);
    const layout::TRect& status = Layout.StatusRect;
    StatusRect = {status.Left, status.Top, status.Right, status.Bottom};
    RedrawWindow(WindowHandle, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void MainWindow::ShowStartPage() {
    ProgressPage = false;
    const bool withErrorCode = !Globals::ErrorCode.empty();
    LargeFont = nullptr;
    TitleFont = nullptr;
    LinkFont = nullptr;
    CreatePageFonts();

    const DWORD label = WS_CHILD | WS_VISIBLE;
    BrandLabel = CreateChild(L"STATIC", Localizer::BrandText, label, Layout.BrandLabel, WindowHandle, 0);
    ProductTitleLabel =
        CreateChild(L"STATIC", Localizer::ProductTitleText, label, Layout.ProductTitleLabel, WindowHandle, 0);
    OfferTitleLabel = CreateChild(L"STATIC", Localizer::OfferTitleText, label, Layout.OfferTitleLabel, WindowHandle, 0);
    if (withErrorCode)
        OfferSubtitleLabel =
            CreateChild(L"STATIC", Localizer::OfferSubtitleText, label, Layout.OfferSubtitleLabel, WindowHandle, 0);
    LicenseLabel = CreateChild(L"STATIC", Localizer::LicenseText, label, Layout.LicenseLabel, WindowHandle, 0);
    // The three controls the keyboard reaches, in the order Tab visits them:
    // the install button, the offer box, the link.
    LicenseLink = CreateChild(L"STATIC", Localizer::LicenseLinkText, label | SS_NOTIFY | WS_TABSTOP, Layout.LicenseLink,
                              WindowHandle, 103);
    if (LicenseLink != nullptr) {
        LinkDefaultProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(LicenseLink, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LinkProc)));
        AnnotateAsLink(LicenseLink);
    }
    PlaceLicenseLink();
    SetFont(BrandLabel, NormalFont);
    SetFont(ProductTitleLabel, LargeFont);
    SetFont(OfferTitleLabel, TitleFont);
    SetFont(OfferSubtitleLabel, NormalFont);
    SetFont(LicenseLabel, NormalFont);
    SetFont(LicenseLink, LinkFont);

    InstallButton = CreateChild(L"BUTTON", Localizer::StartInstallText,
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, Layout.InstallButton, WindowHandle,
                                101);
    // The page opens with the keyboard focus on the install button.
    FocusedControl = InstallButton;
    if (Globals::AutoCSOffer) {
        OfferCheckBox = CreateChild(L"BUTTON", Localizer::CleanerOfferText,
                                    WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX | BS_TOP | BS_MULTILINE,
                                    Layout.OfferCheckBox, WindowHandle, 102);
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
    const layout::TRect& picture = Layout.ProductPicture;
    RECT product = {picture.Left, picture.Top, picture.Right, picture.Bottom};
    InvalidateRect(WindowHandle, &product, FALSE);
    SetWindowPos(WindowHandle, HWND_TOP, 0, 0, Layout.WindowWidth, Layout.ProgressWindowHeight,
                 SWP_NOMOVE | SWP_NOACTIVATE);

    ComputeLayout();
    SetWindowPos(FooterPanel, HWND_TOP, 0, Layout.FooterPanel.Top, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    const layout::TRect& status = Layout.StatusRect;
    StatusRect = {status.Left, status.Top, status.Right, status.Bottom};
    InvalidateRect(WindowHandle, &StatusRect, TRUE);

    // The progress bar's class lives in comctl32 (version 6, through the
    // manifest), loaded from System32 only.
    if (!commonControls) commonControls = platform::LoadSystemLibrary(L"comctl32.dll");
    using InitFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto initCommonControls = platform::GetFunction<InitFunction>(commonControls.get(), "InitCommonControlsEx");
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    if (initCommonControls == nullptr || !initCommonControls(&controls)) EndWithLastError();
    ProgressBar = CreateChild(L"msctls_progress32", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP, Layout.ProgressBar,
                              WindowHandle, 0);
    PausedNotice = CreateChild(L"STATIC", L"", WS_CHILD | WS_TABSTOP | SS_OWNERDRAW, Layout.PausedStatusArea,
                               WindowHandle, 0);
    // The bar holds the keyboard focus on this page, so that a screen reader
    // follows its value and its name, the status line (AnnounceStatus).
    FocusedControl = ProgressBar;
    if (GetFocus() == WindowHandle || GetFocus() == nullptr) {
        if (GetActiveWindow() == WindowHandle && ProgressBar != nullptr) SetFocus(ProgressBar);
    }

    StartInstallation();
    AnnounceStatus(StartStep);
    GoogleAnalitics::AddEvent(L"install_start", L"", 0);
}

void MainWindow::ShowMainWindow() {
    ShowWindow(WindowHandle, SW_SHOWNORMAL);
    UpdateWindow(WindowHandle);
}
