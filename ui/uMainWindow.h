// MainWindow: the program's only window, with its start page (the offer)
// and its progress page, the single-instance guard, and the window
// procedure that drives the installation and reports its events.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>

#include "platform/AdminNamespace.h"
#include "platform/Unique.h"
#include "ui/uLayout.h"

class MainWindow {
public:
    MainWindow() = delete;

    // Builds and shows the window; ends the process on failure.
    static void Init();
    // The message loop, until the window is gone.
    static void Run();
    static void Done();

    static inline HWND WindowHandle = nullptr;
    static inline UINT ActivateMessage = 0;
    static inline ATOM ClassAtom = 0;
    static inline bool ProgressPage = false;

    static inline HWND InstallButton = nullptr;
    static inline HWND OfferCheckBox = nullptr;
    static inline HWND BrandLabel = nullptr;
    static inline HWND ProductTitleLabel = nullptr;
    static inline HWND OfferTitleLabel = nullptr;
    static inline HWND OfferSubtitleLabel = nullptr;
    static inline HWND LicenseLabel = nullptr;
    static inline HWND LicenseLink = nullptr;
    static inline HWND ProgressBar = nullptr;
    // The paused notice, in the bar's place while the installation is
    // paused: a control of its own, so that it takes the focus and a screen
    // reader says it and finds it. The window draws it (OnDrawItem).
    static inline HWND PausedNotice = nullptr;
    static inline HWND FooterPanel = nullptr;
    static inline HWND NortonLogo = nullptr;
    static inline HWND MicrosoftLogo = nullptr;

    static inline HBRUSH FooterBrush = nullptr;
    static inline HFONT NormalFont = nullptr;
    static inline HFONT LargeFont = nullptr;
    static inline HFONT TitleFont = nullptr;
    static inline HFONT LinkFont = nullptr;
    static inline HBITMAP ProductBitmap = nullptr;
    static inline HBITMAP ButtonBitmap = nullptr;
    static inline HBITMAP TrustLogoBitmap = nullptr;
    static inline HBITMAP CompatLogoBitmap = nullptr;

    // The DPI of the monitor the window is on, and every position, size and
    // font height for it (uLayout.h).
    static inline int Dpi = 96;
    static layout::TWindowLayout Layout;
    // The control that had the keyboard focus when the window last lost it.
    static inline HWND FocusedControl = nullptr;
    // High contrast is on: system colours instead of the window's own.
    static inline bool HighContrast = false;

    // Written and read on the GUI thread only: the worker's progress reports
    // are posted to the window (see UpdateProgress).
    static std::wstring StatusText;
    static inline RECT StatusRect = {};

    // The embedded font's own name: the face of every font where it has
    // every character of the window's texts (Latin).
    static constexpr const wchar_t* FontFace = L"Quellox Narrow";
    // The face the window's fonts use: FontFace, or for a script it lacks a
    // face of the system's that has every character (ChooseFontFace).
    static std::wstring FontFaceName;
    // DrawText's reading order for the window's language.
    static UINT ReadingOrder() { return RightToLeftLayout ? DT_RTLREADING : 0; }
    // Makes the embedded font available to this process.
    static void LoadFontResource();
    // Chooses FontFaceName for the texts of the window's language.
    static void ChooseFontFace();
    // The window is mirrored: its language is written right to left.
    static inline bool RightToLeftLayout = false;
    static constexpr const wchar_t* ClassName = L"QuelloxStubInstaller";

private:
    static void CheckSingleInstance();
    static void RegisterWindowClass();
    static void CreateMainWindow();
    static void CreateNormalFont();
    static void CreateFooter();
    static void ShowStartPage();
    static void DestroyStartPage();
    static void ShowProgressPage();
    static void ShowMainWindow();
    static int WindowDpi();
    static void ComputeLayout();
    static void CreatePageFonts();
    static void LoadPictures();
    static void LoadIcons();
    // The caption's and the task switcher's icons, each the image drawn for
    // its size at the window's DPI.
    static inline platform::UniqueIcon SmallIcon, BigIcon;
    static void ApplyLayout();
    static void AnnounceStatus(int AStep);
    // What the bar's name last said: a tenth of the way (0-10), or one of
    // the steps below.
    static inline int AnnouncedStep = 0;
    static constexpr int StartStep = -1, PausedStep = -2, FinalStep = -3;
    static void PlaceLicenseLink();

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT OnCreate(HWND window);
    static void OnDestroy();
    static void OnPaint(HWND window);
    static void OnClose();
    static bool OnSetCursor(HWND target);
    static bool OnNotify(const NMHDR* header, LRESULT& result);
    static bool OnDrawItem(const DRAWITEMSTRUCT* AItem);
    static bool OnCommand(WORD id, WORD code);
    static HBRUSH OnCtlColorStatic(HDC dc, HWND control);
    static void OnActivateRequest();
    // When a request last brought the window forward; 0 before the first.
    static inline DWORD LastActivation = 0;
    static void OnDpiChanged(int ADpi, const RECT* ASuggested);
    static void OnSetFocus();
    static void OnActivate(WORD AState);
    static bool OnKeyDown(const MSG& AMessage);
    static void OnSettingChange();
    static bool OnEraseBackground(HDC dc);
    static void OnUpdateUIState(WORD AAction, WORD AFlags);
    static inline bool FocusCuesShown = false;
    static bool KeyboardCuesHidden(HWND control);
    static LRESULT CALLBACK LinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static inline WNDPROC LinkDefaultProc = nullptr;

    static void DrawInstallButton(const NMCUSTOMDRAW* draw);
    static void StartInstallation();
    static void UpdateProgress(std::uint8_t APercent);
    static void ShowProgress(std::uint8_t APercent);
    static void ShowPausedNotice(bool APaused);
    static void ProgressFromWorker(void* AObject, std::uint8_t APercent);
    static int ConfirmCancel();
    static void BringToForeground();

    static platform::UniqueNamespace InstanceNamespace;
    static platform::UniqueHandle InstanceMutex;
};
