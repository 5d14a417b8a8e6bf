// MainWindow's window procedure: painting, the custom-drawn install button,
// the user's commands, the worker's notices and progress, and the orderly
// release of everything when the window is destroyed.
#include "ui/uMainWindow.h"

#include "analytics/uGoogleAnalitics.h"
#include "installer/uInstaller.h"
#include "platform/Strings.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"

namespace {

// A progress report of the worker, posted to the window: wParam is the percentage.
constexpr UINT ProgressReport = WM_APP + 1;

// WM_DPICHANGED, of Windows 8.1 on (the headers show it for that target only).
constexpr UINT DpiChangedMessage = 0x02E0;

constexpr WORD InstallButtonId = 101;
constexpr WORD LicenseLinkId = 103;
constexpr WORD PauseResumeCommand = 201;
constexpr WORD CancelCommand = 202;

// Where the status line is painted: StatusRect, and down to the separator
// while the progress bar is hidden for the paused notice.
RECT StatusArea() {
    RECT area = MainWindow::StatusRect;
    if (MainWindow::ProgressBar == nullptr || !IsWindowVisible(MainWindow::ProgressBar))
        area.bottom = MainWindow::Layout.PausedStatusArea.Bottom;
    return area;
}

RECT ToRect(const layout::TRect& r) { return {r.Left, r.Top, r.Right, r.Bottom}; }

bool IsHighContrastOn() {
    HIGHCONTRASTW contrast = {};
    contrast.cbSize = sizeof(contrast);
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

bool IsStoppingOrStopped() {
    LONG state = Installer::State.load();
    return state == Stopping || state == Stopped;
}

// Selects an object into a DC for one scope and restores the previous one.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~SelectedObject() { SelectObject(dc_, previous_); }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

using platform::UniqueGdiObject;
using platform::UniqueMemoryDc;

template <typename Handle>
void DeleteGdiObject(Handle& handle) {
    if (handle != nullptr) DeleteObject(handle);
    handle = nullptr;
}

void DestroyControl(HWND& control) {
    if (control != nullptr) DestroyWindow(control);
    control = nullptr;
}

// The status line, or the paused notice, in its place.
void DrawStatusText(HDC dc, RECT& rect) {
    SelectedObject font(dc, MainWindow::NormalFont);
    // The window's DC is its own (CS_OWNDC) and keeps what is set in it:
    // the system colours of high contrast are set for this text only.
    const int saved = SaveDC(dc);
    SetTextColor(dc, MainWindow::HighContrast ? GetSysColor(COLOR_WINDOWTEXT) : RGB(0, 0, 0));
    SetBkColor(dc, MainWindow::HighContrast ? GetSysColor(COLOR_WINDOW) : RGB(255, 255, 255));
    // Long lines (the paused notice) wrap instead of running off both sides.
    DrawTextW(dc, MainWindow::StatusText.c_str(), static_cast<int>(MainWindow::StatusText.size()), &rect,
              DT_CENTER | DT_VCENTER | DT_WORDBREAK | MainWindow::ReadingOrder());
    if (saved != 0) RestoreDC(dc, saved);
}

}  // namespace

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        OnDestroy();
        return 0;
    case WM_PAINT:
        OnPaint(window);
        break;
    case WM_CLOSE:
        OnClose();
        break;
    case WM_SETCURSOR:
        if (OnSetCursor(reinterpret_cast<HWND>(wParam))) return TRUE;
        break;
    case WM_NOTIFY: {
        LRESULT result = 0;
        if (OnNotify(reinterpret_cast<const NMHDR*>(lParam), result)) return result;
        break;
    }
    case WM_COMMAND:
        if (OnCommand(LOWORD(wParam), HIWORD(wParam))) return 0;
        break;
    case WM_DRAWITEM:
        if (OnDrawItem(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam))) return TRUE;
        break;
    case WM_SYSCOMMAND:
        // The progress page cannot be closed by the user.
        if (wParam == SC_CLOSE && ProgressPage) return 0;
        break;
    case DpiChangedMessage:
        OnDpiChanged(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_ACTIVATE:
        OnActivate(LOWORD(wParam));
        break;
    case WM_SETFOCUS:
        OnSetFocus();
        return 0;
    case WM_ERASEBKGND:
        if (OnEraseBackground(reinterpret_cast<HDC>(wParam))) return 1;
        break;
    case WM_UPDATEUISTATE: {
        LRESULT result = DefWindowProcW(window, message, wParam, lParam);
        OnUpdateUIState(LOWORD(wParam), HIWORD(wParam));
        return result;
    }
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
        OnSettingChange();
        break;
    case WM_CTLCOLORSTATIC:
        if (HBRUSH brush = OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)))
            return reinterpret_cast<LRESULT>(brush);
        break;
    case ProgressReport:
        ShowProgress(static_cast<std::uint8_t>(wParam));
        return 0;
    default:
        if (message == ActivateMessage && ActivateMessage != 0) {
            OnActivateRequest();
            return 0;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT MainWindow::OnCreate(HWND window) {
    WindowHandle = window;
    Globals::MainWindowHandle = window;
    GoogleAnalitics::Init();
    return 0;
}

void MainWindow::OnDestroy() {
    Installer::Done();
    GoogleAnalitics::Done();
    DestroyStartPage();
    for (HWND* control : {&ProgressBar, &PausedNotice, &NortonLogo, &MicrosoftLogo, &FooterPanel})
        DestroyControl(*control);
    DeleteGdiObject(FooterBrush);
    for (HFONT* font : {&NormalFont, &LargeFont, &TitleFont, &LinkFont}) DeleteGdiObject(*font);
    DeleteGdiObject(ProductBitmap);
    DeleteGdiObject(ButtonBitmap);
    DeleteGdiObject(TrustLogoBitmap);
    DeleteGdiObject(CompatLogoBitmap);
    SmallIcon.reset();
    BigIcon.reset();
    FocusedControl = nullptr;
    Globals::MainWindowHandle = nullptr;
    PostQuitMessage(0);
}

void MainWindow::OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (ProgressPage) {
        // The paused notice draws itself, in its own control.
        if (PausedNotice == nullptr || !IsWindowVisible(PausedNotice)) {
            RECT rect = StatusArea();
            DrawStatusText(dc, rect);
        }
    } else {
        UniqueMemoryDc memory(CreateCompatibleDC(dc));
        const layout::TRect& picture = Layout.ProductPicture;
        // The mirrored window's picture, the right way round.
        if (RightToLeftLayout) SetLayout(dc, LAYOUT_RTL | LAYOUT_BITMAPORIENTATIONPRESERVED);
        if (memory && ProductBitmap != nullptr) {
            SelectedObject bitmap(memory.get(), ProductBitmap);
            BitBlt(dc, picture.Left, picture.Top, picture.Width(), picture.Height(), memory.get(), 0, 0, SRCCOPY);
        }
    }

    // The separator, right above the footer band: one pixel high at 96 DPI.
    RECT separator = ToRect(Layout.Separator);
    UniqueGdiObject line(HighContrast ? nullptr : CreateSolidBrush(RGB(224, 224, 224)));
    FillRect(dc, &separator, HighContrast ? GetSysColorBrush(COLOR_WINDOWTEXT) : static_cast<HBRUSH>(line.get()));
    EndPaint(window, &paint);
}

void MainWindow::OnClose() {
    GoogleAnalitics::AddEvent(Installer::State.load() == Installed ? L"install_finish" : L"install_cancel", L"", 0);
}

bool MainWindow::OnSetCursor(HWND target) {
    if (LicenseLink == nullptr || target != LicenseLink) return false;
    SetCursor(LoadCursorW(nullptr, IDC_HAND));
    return true;
}

bool MainWindow::OnNotify(const NMHDR* header, LRESULT& result) {
    if (header->idFrom != InstallButtonId || header->code != static_cast<UINT>(NM_CUSTOMDRAW)) return false;
    // The whole button is painted at every stage; it never paints itself.
    DrawInstallButton(reinterpret_cast<const NMCUSTOMDRAW*>(header));
    result = CDRF_SKIPDEFAULT;
    return true;
}

bool MainWindow::OnDrawItem(const DRAWITEMSTRUCT* AItem) {
    if (AItem == nullptr || PausedNotice == nullptr || AItem->hwndItem != PausedNotice) return false;
    RECT rect = AItem->rcItem;
    HBRUSH background =
        HighContrast ? GetSysColorBrush(COLOR_WINDOW) : static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    FillRect(AItem->hDC, &rect, background);
    DrawStatusText(AItem->hDC, rect);
    return true;
}

void MainWindow::DrawInstallButton(const NMCUSTOMDRAW* draw) {
    // The strip's rows are as high as the button; its caps are 2 px at 96 DPI.
    const RECT& r = draw->rc;
    const int height = r.bottom - r.top, cap = Layout.ButtonCap;
    const bool pressed = (draw->uItemState & CDIS_SELECTED) != 0, hot = (draw->uItemState & CDIS_HOT) != 0;
    int row = pressed ? 2 * height : hot ? height : 0;
    if (HighContrast) {
        // System colours: the button's face and text, framed, the frame in
        // the highlight colour under the pointer or pressed.
        RECT face = r;
        FillRect(draw->hdc, &face, GetSysColorBrush(COLOR_BTNFACE));
        FrameRect(draw->hdc, &face, GetSysColorBrush(pressed || hot ? COLOR_HIGHLIGHT : COLOR_BTNTEXT));
    } else {
        UniqueMemoryDc memory(CreateCompatibleDC(draw->hdc));
        // A mirrored button keeps its picture the right way round.
        if (RightToLeftLayout) SetLayout(draw->hdc, LAYOUT_RTL | LAYOUT_BITMAPORIENTATIONPRESERVED);
        if (memory && ButtonBitmap != nullptr) {
            SelectedObject bitmap(memory.get(), ButtonBitmap);
            StretchBlt(draw->hdc, r.left, r.top, cap, height, memory.get(), 0, row, cap, height, SRCCOPY);
            StretchBlt(draw->hdc, r.left + cap, r.top, r.right - r.left - 2 * cap, height, memory.get(), cap, row, 1,
                       height, SRCCOPY);
            StretchBlt(draw->hdc, r.right - cap, r.top, cap, height, memory.get(), cap + 1, row, cap, height, SRCCOPY);
        }
    }
    SelectObject(draw->hdc, LargeFont);
    SetTextColor(draw->hdc, HighContrast ? GetSysColor(COLOR_BTNTEXT) : RGB(255, 255, 255));
    SetBkMode(draw->hdc, TRANSPARENT);
    RECT text = r;
    DrawTextW(draw->hdc, Localizer::StartInstallText.c_str(), static_cast<int>(Localizer::StartInstallText.size()),
              &text, DT_CENTER | DT_VCENTER | DT_SINGLELINE | ReadingOrder());
    // The focus cue: a solid frame inside the face, two pixels wide at
    // 96 DPI and scaled, black (at least 4.8:1 against both ends of the
    // green, where a dotted rectangle was 1.2:1 at its worst), shown once
    // the keyboard is in use (or always, as the user's setting says).
    if (GetFocus() == InstallButton && !KeyboardCuesHidden(InstallButton)) {
        RECT focus = r;
        const int inset = layout::ScaleForDpi(4, Dpi), width = layout::ScaleForDpi(2, Dpi);
        InflateRect(&focus, -inset, -inset);
        HBRUSH ink = HighContrast ? GetSysColorBrush(COLOR_BTNTEXT) : static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        for (int i = 0; i < width; ++i) {
            FrameRect(draw->hdc, &focus, ink);
            InflateRect(&focus, -1, -1);
        }
    }
}

bool MainWindow::OnCommand(WORD id, WORD code) {
    switch (id) {
    case InstallButtonId:
        if (code != BN_CLICKED) return false;
        // The button is gone with the start page; a click sent from outside
        // would build a second progress page and start a second worker.
        if (ProgressPage) return true;
        if (OfferCheckBox != nullptr) Globals::AutoCSOffer = IsDlgButtonChecked(WindowHandle, 102) == BST_CHECKED;
        DestroyStartPage();
        ShowProgressPage();
        return true;
    case LicenseLinkId:
        if (code != STN_CLICKED) return false;
        Localizer::OpenURL(Localizer::LicenseURL);
        return true;
    case PauseResumeCommand:
        // A second press while the paused worker is still ending is a resume:
        // it is let end first.
        Installer::WaitWhileStopping();
        if (Installer::State.load() == Stopped) {
            // The bytes already on disk count from the start of the resumed
            // attempt, before the server answers: read while no worker runs.
            const std::uint8_t done = Installer::LastPercent;
            // Refused only when the run is ending; its close request follows.
            if (Installer::Start()) GoogleAnalitics::AddEvent(L"install_resume", L"", 0);
            UpdateProgress(done);
        } else {
            Installer::Stop();
            GoogleAnalitics::AddEvent(L"install_pause", L"", 0);
            UpdateProgress(0);
        }
        return true;
    case CancelCommand: {
        int answer = ConfirmCancel();
        // The question's own message loop runs the worker's notices: a run
        // that failed meanwhile has closed and destroyed the window, and
        // released the event queue, while the question was open.
        if (Globals::MainWindowHandle.load() == nullptr) return true;
        if (answer == IDNO) {
            GoogleAnalitics::AddEvent(L"install_cancel", L"", 0);
            PostMessageW(WindowHandle, WM_CLOSE, 0, 0);
            return true;
        }
        Installer::WaitWhileStopping();
        if (Installer::State.load() != Stopped) return true;
        const std::uint8_t done = Installer::LastPercent;
        if (Installer::Start()) {
            GoogleAnalitics::AddEvent(L"install_resume", L"", 0);
            UpdateProgress(done);
        }
        return true;
    }
    }
    return false;
}

HBRUSH MainWindow::OnCtlColorStatic(HDC dc, HWND control) {
    if (control == nullptr) return nullptr;
    if (HighContrast) {
        if (control != FooterPanel && control != OfferCheckBox && control != BrandLabel &&
            control != OfferTitleLabel && control != LicenseLabel && control != OfferSubtitleLabel &&
            control != ProductTitleLabel && control != LicenseLink)
            return nullptr;
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        return GetSysColorBrush(COLOR_WINDOW);
    }
    if (control == FooterPanel) {
        SetBkColor(dc, RGB(255, 255, 255));
        return FooterBrush;
    }
    HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    if (control == OfferCheckBox || control == BrandLabel || control == OfferTitleLabel || control == LicenseLabel) {
        SetBkColor(dc, RGB(255, 255, 255));
        return white;
    }
    if (control == OfferSubtitleLabel) {
        SetBkColor(dc, RGB(255, 255, 255));
        SetTextColor(dc, RGB(128, 128, 128));
        return white;
    }
    if (control == ProductTitleLabel || control == LicenseLink) {
        SetBkColor(dc, RGB(255, 255, 255));
        SetTextColor(dc, RGB(0, 0, 0));
        return white;
    }
    return nullptr;
}

// Only an elevated second instance has a reason to ask (an unelevated one
// ends at the administrator check), and the message filter keeps lower
// integrity levels out. Still, each request may hold this thread for up to
// 2 s in BringToForeground: at most one a second, so that a program posting
// them in a loop cannot starve the window's input.
void MainWindow::OnActivateRequest() {
    if (LastActivation != 0 && Globals::GetTickCountDiff(LastActivation) < 1000) return;
    ShowMainWindow();
    BringToForeground();
    LastActivation = GetTickCount() | 1;
}

void MainWindow::StartInstallation() {
    EnableMenuItem(GetSystemMenu(WindowHandle, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_DISABLED | MF_GRAYED);
    StatusText = Localizer::ProgressText;
    Installer::OnProgress = {nullptr, ProgressFromWorker};
    // Ended at once, as every failure while the window is built: ExitProcess
    // and not exit, since the analytics sender runs (see RunInstaller).
    if (!Installer::Start()) ExitProcess(GetLastError());
}

// Called by the worker on its own thread. It only posts the report: the
// window's text and the progress bar are touched on the GUI thread alone,
// and the worker never waits for the GUI thread, which may itself be
// waiting for the worker in Installer::Done.
void MainWindow::ProgressFromWorker(void*, std::uint8_t APercent) {
    PostMessageW(WindowHandle, ProgressReport, APercent, 0);
}

void MainWindow::UpdateProgress(std::uint8_t APercent) { ShowProgress(APercent); }

void MainWindow::ShowProgress(std::uint8_t APercent) {
    const bool paused = IsStoppingOrStopped();
    if (paused) {
        StatusText = Localizer::PausedNoticeText;
    } else if (APercent == 100) {
        StatusText = Localizer::FinalizingText;
    } else {
        StatusText = Localizer::ProgressPercent(APercent);
    }
    // The paused notice takes the bar's place, so that all of it shows; the
    // bar comes back with the progress. The area is erased every time, as it
    // was before the change and as it is after: a shorter text must not
    // leave pieces of a longer one behind, the notice's last line below the
    // bar included.
    AnnounceStatus(paused ? PausedStep : APercent == 100 ? FinalStep : APercent / 10);
    RECT area = StatusArea();
    // The page's focus is on the bar or the notice (or, hidden under it, on
    // the window itself): it follows to whichever shows.
    HWND focus = GetFocus();
    const bool pageFocus = focus == nullptr || focus == WindowHandle || focus == ProgressBar || focus == PausedNotice;
    ShowPausedNotice(paused);
    if (ProgressBar != nullptr) ShowWindow(ProgressBar, paused ? SW_HIDE : SW_SHOWNA);
    HWND target = paused ? PausedNotice : ProgressBar;
    if (target != nullptr) {
        FocusedControl = target;
        if (pageFocus && GetActiveWindow() == WindowHandle && GetFocus() != target) SetFocus(target);
    }
    RECT now = StatusArea();
    UnionRect(&area, &area, &now);
    InvalidateRect(WindowHandle, &area, TRUE);
    if (ProgressBar != nullptr && !paused) SendMessageW(ProgressBar, PBM_SETPOS, APercent, 0);
}

// The notice's text is its name, which a screen reader says when it takes
// the focus and finds when it explores the window.
void MainWindow::ShowPausedNotice(bool APaused) {
    if (PausedNotice == nullptr) return;
    if (!APaused) {
        ShowWindow(PausedNotice, SW_HIDE);
        return;
    }
    SetWindowTextW(PausedNotice, StatusText.c_str());
    ShowWindow(PausedNotice, SW_SHOWNA);
    InvalidateRect(PausedNotice, nullptr, TRUE);
}

int MainWindow::ConfirmCancel() {
    return MessageBoxW(WindowHandle, Localizer::CancelConfirmText.c_str(), Localizer::WindowCaption.c_str(),
                       MB_YESNO | MB_ICONQUESTION | (RightToLeftLayout ? MB_RTLREADING | MB_RIGHT : 0));
}

void MainWindow::BringToForeground() {
    DWORD self = GetCurrentThreadId();
    for (int attempt = 1; attempt <= 12 && GetForegroundWindow() != WindowHandle; ++attempt) {
        if (attempt >= 3) Sleep(200);
        DWORD foreground = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
        bool attached = foreground != 0 && foreground != self && AttachThreadInput(self, foreground, TRUE);
        SetForegroundWindow(WindowHandle);
        if (attached) AttachThreadInput(self, foreground, FALSE);
    }
}

// The status line is the progress bar's name, which screen readers say when
// it changes; the bar itself draws no text. Said at every percent it would
// be about a hundred announcements: the name changes at the first showing,
// at every tenth of the way, when the text says something else (paused,
// finalizing) and at the end. The bar's value has the percentage at any
// time.
void MainWindow::AnnounceStatus(int AStep) {
    if (ProgressBar == nullptr) return;
    if (AStep == AnnouncedStep && AStep != StartStep) return;
    AnnouncedStep = AStep;
    SetWindowTextW(ProgressBar, StatusText.c_str());
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, ProgressBar, OBJID_CLIENT, CHILDID_SELF);
}

// The window moved to a monitor of another DPI (or the user changed it):
// the system's suggested rectangle keeps the window's place, and everything
// in it is laid out again.
void MainWindow::OnDpiChanged(int ADpi, const RECT* ASuggested) {
    if (ADpi <= 0 || ASuggested == nullptr) return;
    Dpi = ADpi;
    SetWindowPos(WindowHandle, nullptr, ASuggested->left, ASuggested->top, ASuggested->right - ASuggested->left,
                 ASuggested->bottom - ASuggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    // While the window is being built (its centring may move it to another
    // monitor), the construction goes on with the new DPI by itself.
    if (FooterPanel == nullptr) return;
    LoadIcons();
    ApplyLayout();
}

// The control that had the focus gets it back when the window is active again.
void MainWindow::OnActivate(WORD AState) {
    if (AState != WA_INACTIVE) return;
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(WindowHandle, focus)) FocusedControl = focus;
}

void MainWindow::OnSetFocus() {
    HWND target = FocusedControl;
    if (target == nullptr || !IsWindow(target) || !IsWindowVisible(target)) return;
    SetFocus(target);
}

// The keys of the window, before they are translated: Tab and Shift+Tab
// move through the controls that take the focus, Enter presses the focused
// install button or link, Space the link (the buttons take Space
// themselves), Esc does what the close button does.
bool MainWindow::OnKeyDown(const MSG& AMessage) {
    if (WindowHandle == nullptr || (AMessage.hwnd != WindowHandle && !IsChild(WindowHandle, AMessage.hwnd)))
        return false;
    switch (AMessage.wParam) {
    case VK_TAB: {
        if (GetKeyState(VK_MENU) < 0 || GetKeyState(VK_CONTROL) < 0) return false;
        HWND current = GetFocus();
        if (current != nullptr && !IsChild(WindowHandle, current)) current = nullptr;
        HWND next = GetNextDlgTabItem(WindowHandle, current, GetKeyState(VK_SHIFT) < 0);
        if (next != nullptr) SetFocus(next);
        // The keyboard is in use: the focus cues show from now on.
        SendMessageW(WindowHandle, WM_UPDATEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
        return true;
    }
    case VK_ESCAPE:
        SendMessageW(WindowHandle, WM_SYSCOMMAND, SC_CLOSE, 0);
        return true;
    case VK_RETURN:
        if (AMessage.hwnd == InstallButton && InstallButton != nullptr) {
            SendMessageW(WindowHandle, WM_COMMAND, MAKEWPARAM(InstallButtonId, BN_CLICKED),
                         reinterpret_cast<LPARAM>(InstallButton));
            return true;
        }
        [[fallthrough]];
    case VK_SPACE:
        if (AMessage.hwnd == LicenseLink && LicenseLink != nullptr) {
            // A key held down opens the page once, not once per repeat.
            if ((HIWORD(AMessage.lParam) & KF_REPEAT) == 0) Localizer::OpenURL(Localizer::LicenseURL);
            return true;
        }
        return false;
    }
    return false;
}

void MainWindow::OnSettingChange() {
    bool on = IsHighContrastOn();
    if (on == HighContrast) return;
    HighContrast = on;
    if (WindowHandle != nullptr)
        RedrawWindow(WindowHandle, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

bool MainWindow::OnEraseBackground(HDC dc) {
    if (!HighContrast) return false;
    RECT client;
    GetClientRect(WindowHandle, &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    return true;
}

// The focus cues were shown or hidden: the controls that draw their own.
// The window keeps the state itself: not every system keeps it for a
// window that is not a dialog.
void MainWindow::OnUpdateUIState(WORD AAction, WORD AFlags) {
    if ((AFlags & UISF_HIDEFOCUS) == 0) return;
    if (AAction == UIS_SET) FocusCuesShown = false;
    else if (AAction == UIS_CLEAR) FocusCuesShown = true;
    for (HWND control : {InstallButton, LicenseLink})
        if (control != nullptr) InvalidateRect(control, nullptr, TRUE);
}

bool MainWindow::KeyboardCuesHidden(HWND) { return !FocusCuesShown; }

// The licence link as the system's static control draws it, with a focus
// rectangle around its text while it has the focus and the cues are shown.
LRESULT CALLBACK MainWindow::LinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = CallWindowProcW(LinkDefaultProc, window, message, wParam, lParam);
    switch (message) {
    case WM_PAINT:
        if (GetFocus() == window && !KeyboardCuesHidden(window)) {
            HDC dc = GetDC(window);
            if (dc != nullptr) {
                SelectedObject font(dc, LinkFont != nullptr ? static_cast<HGDIOBJ>(LinkFont)
                                                            : GetStockObject(DEFAULT_GUI_FONT));
                RECT text = {0, 0, 0, 0};
                DrawTextW(dc, Localizer::LicenseLinkText.c_str(), static_cast<int>(Localizer::LicenseLinkText.size()),
                          &text, DT_CALCRECT | DT_SINGLELINE | ReadingOrder());
                text.right += layout::ScaleForDpi(1, Dpi);
                SetTextColor(dc, RGB(0, 0, 0));
                SetBkColor(dc, RGB(255, 255, 255));
                DrawFocusRect(dc, &text);
                ReleaseDC(window, dc);
            }
        }
        break;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_UPDATEUISTATE:
        InvalidateRect(window, nullptr, TRUE);
        break;
    }
    return result;
}
