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

constexpr WORD InstallButtonId = 101;
constexpr WORD LicenseLinkId = 103;
constexpr WORD PauseResumeCommand = 201;
constexpr WORD CancelCommand = 202;

// Where the status line is painted: StatusRect, and down to the separator
// while the progress bar is hidden for the paused notice.
RECT StatusArea() {
    RECT area = MainWindow::StatusRect;
    if (MainWindow::ProgressBar == nullptr || !IsWindowVisible(MainWindow::ProgressBar)) {
        RECT client;
        GetClientRect(MainWindow::WindowHandle, &client);
        area.bottom = client.bottom - 67;
    }
    return area;
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

struct DcTraits {
    using Type = HDC;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DeleteDC(h); }
};
using UniqueMemoryDc = platform::Unique<DcTraits>;

struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DeleteObject(h); }
};
using UniqueGdiObject = platform::Unique<GdiObjectTraits>;

template <typename Handle>
void DeleteGdiObject(Handle& handle) {
    if (handle != nullptr) DeleteObject(handle);
    handle = nullptr;
}

void DestroyControl(HWND& control) {
    if (control != nullptr) DestroyWindow(control);
    control = nullptr;
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
    case WM_SYSCOMMAND:
        // The progress page cannot be closed by the user.
        if (wParam == SC_CLOSE && ProgressPage) return 0;
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
    AllowActivateMessage();
    GoogleAnalitics::Init();
    return 0;
}

void MainWindow::OnDestroy() {
    Installer::Done();
    GoogleAnalitics::Done();
    DestroyStartPage();
    for (HWND* control : {&ProgressBar, &NortonLogo, &MicrosoftLogo, &FooterPanel}) DestroyControl(*control);
    DeleteGdiObject(FooterBrush);
    for (HFONT* font : {&NormalFont, &LargeFont, &TitleFont, &LinkFont}) DeleteGdiObject(*font);
    DeleteGdiObject(ProductBitmap);
    DeleteGdiObject(ButtonBitmap);
    Globals::MainWindowHandle = nullptr;
    PostQuitMessage(0);
}

void MainWindow::OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (ProgressPage) {
        SelectedObject font(dc, NormalFont);
        RECT rect = StatusArea();
        // Long lines (the paused notice) wrap instead of running off both sides.
        DrawTextW(dc, StatusText.c_str(), static_cast<int>(StatusText.size()), &rect,
                  DT_CENTER | DT_VCENTER | DT_WORDBREAK);
    } else {
        UniqueMemoryDc memory(CreateCompatibleDC(dc));
        if (memory && ProductBitmap != nullptr) {
            SelectedObject bitmap(memory.get(), ProductBitmap);
            BitBlt(dc, 34, 34, 121, 121, memory.get(), 0, 0, SRCCOPY);
        }
    }

    // The separator, one pixel above the footer band.
    RECT client;
    GetClientRect(window, &client);
    UniqueGdiObject pen(CreatePen(PS_SOLID, 1, RGB(224, 224, 224)));
    {
        SelectedObject selected(dc, pen.get());
        MoveToEx(dc, client.left + 1, client.bottom - 66, nullptr);
        LineTo(dc, client.right - 1, client.bottom - 66);
    }
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

void MainWindow::DrawInstallButton(const NMCUSTOMDRAW* draw) {
    int row = (draw->uItemState & CDIS_SELECTED) ? 108 : (draw->uItemState & CDIS_HOT) ? 54 : 0;
    const RECT& r = draw->rc;
    {
        UniqueMemoryDc memory(CreateCompatibleDC(draw->hdc));
        if (memory && ButtonBitmap != nullptr) {
            SelectedObject bitmap(memory.get(), ButtonBitmap);
            StretchBlt(draw->hdc, r.left, r.top, 2, 54, memory.get(), 0, row, 2, 54, SRCCOPY);
            StretchBlt(draw->hdc, r.left + 2, r.top, r.right - r.left - 4, 54, memory.get(), 2, row, 1, 54, SRCCOPY);
            StretchBlt(draw->hdc, r.right - 2, r.top, 2, 54, memory.get(), 3, row, 2, 54, SRCCOPY);
        }
    }
    SelectObject(draw->hdc, LargeFont);
    SetTextColor(draw->hdc, RGB(255, 255, 255));
    SetBkMode(draw->hdc, TRANSPARENT);
    RECT text = r;
    DrawTextW(draw->hdc, Localizer::StartInstallText.c_str(), static_cast<int>(Localizer::StartInstallText.size()),
              &text, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
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
            // Refused only when the run is ending; its close request follows.
            if (Installer::Start()) GoogleAnalitics::AddEvent(L"install_resume", L"", 0);
        } else {
            Installer::Stop();
            GoogleAnalitics::AddEvent(L"install_pause", L"", 0);
        }
        UpdateProgress(0);
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
        if (Installer::State.load() == Stopped && Installer::Start()) {
            GoogleAnalitics::AddEvent(L"install_resume", L"", 0);
            UpdateProgress(0);
        }
        return true;
    }
    }
    return false;
}

HBRUSH MainWindow::OnCtlColorStatic(HDC dc, HWND control) {
    if (control == nullptr) return nullptr;
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

void MainWindow::OnActivateRequest() {
    ShowMainWindow();
    BringToForeground();
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
        StatusText = Localizer::ProgressText + L" (";
        platform::AppendDecimal(StatusText, APercent);
        StatusText += L"%)";
    }
    // The paused notice takes the bar's place, so that all of it shows; the
    // bar comes back with the progress. The area is erased every time, as it
    // was before the change and as it is after: a shorter text must not
    // leave pieces of a longer one behind, the notice's last line below the
    // bar included.
    RECT area = StatusArea();
    if (ProgressBar != nullptr) ShowWindow(ProgressBar, paused ? SW_HIDE : SW_SHOWNA);
    RECT now = StatusArea();
    UnionRect(&area, &area, &now);
    InvalidateRect(WindowHandle, &area, TRUE);
    if (ProgressBar != nullptr && !paused) SendMessageW(ProgressBar, PBM_SETPOS, APercent, 0);
}

int MainWindow::ConfirmCancel() {
    return MessageBoxW(WindowHandle, Localizer::CancelConfirmText.c_str(), Localizer::WindowCaption.c_str(),
                       MB_YESNO | MB_ICONQUESTION);
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
