// Runs the installer worker inside a test process whose hidden window
// stands in for the main window: it records every notice with the State
// seen when it arrives, and samples State as it changes. Prints one
// "Name=value" line each at the end.
//
//   worker_probe run              Start, then wait for the close request
//   worker_probe pause-resume     Stop at 30 %, wait for Stopped, Start again
//   worker_probe stop-in-wait     Stop QUELLOX_PROBE_STOP_AFTER_MS after Start
//   worker_probe done-working     Done at 10 %
//   worker_probe done-installing  Done as soon as State is Installing
//   worker_probe start-states     Start in every state, then run from Stopped
//
// QUELLOX_PROBE_RETRY_WAIT_MS shortens the wait between attempts.
#include <windows.h>

#include <cstdint>
#include <string>

#include "installer/uInstaller.h"
#include "platform/SystemLibrary.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"
#include "tests/support/TestOutput.h"

namespace {

constexpr UINT PauseRequest = WM_APP + 1;
constexpr UINT DoneRequest = WM_APP + 2;
constexpr UINT_PTR SampleTimer = 1;
constexpr UINT_PTR StopTimer = 2;
constexpr UINT_PTR GiveUpTimer = 3;

std::wstring verb;
std::wstring notices;
std::wstring states;
std::wstring output;
LONG lastState = -1;
bool progressRequestSent = false;
DWORD startTick = 0;

void Print(const std::wstring& name, const std::wstring& value) { output += name + L"=" + value + L"\n"; }

void Append(std::wstring& list, const std::wstring& item) {
    if (!list.empty()) list += L',';
    list += item;
}

void SampleState() {
    LONG state = Installer::State.load();
    if (state != lastState) Append(states, std::to_wstring(state));
    lastState = state;
}

DWORD FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0xFFFFFFFF;
}

void WaitForStopped() {
    while (Installer::State.load() != Stopped) Sleep(10);
}

// The file the download wrote, as the last progress report found it (the
// name is cleared once the attempt is over).
std::wstring downloadFileName;

void OnProgress(void* window, std::uint8_t percent) {
    downloadFileName = Installer::DownloadFileName;
    if (progressRequestSent) return;
    if (verb == L"pause-resume" && percent >= 30) {
        progressRequestSent = true;
        PostMessageW(static_cast<HWND>(window), PauseRequest, 0, 0);
    }
    if (verb == L"done-working" && percent >= 10) {
        progressRequestSent = true;
        PostMessageW(static_cast<HWND>(window), DoneRequest, 0, 0);
    }
}

void OnTimer(HWND window, UINT_PTR timer) {
    if (timer == SampleTimer) {
        SampleState();
        if (verb == L"done-installing" && Installer::State.load() == Installing && !progressRequestSent) {
            progressRequestSent = true;
            DWORD before = GetTickCount();
            Installer::Done();
            Print(L"DoneMs", std::to_wstring(GetTickCount() - before));
            Print(L"StateAfterDone", std::to_wstring(Installer::State.load()));
        }
    } else if (timer == StopTimer) {
        KillTimer(window, StopTimer);
        Installer::Stop();
        DWORD before = GetTickCount();
        WaitForStopped();
        SampleState();
        Print(L"StopLatencyMs", std::to_wstring(GetTickCount() - before));
        // Anything the worker still sends would arrive within this time.
        SetTimer(window, GiveUpTimer, 500, nullptr);
    } else if (timer == GiveUpTimer) {
        PostQuitMessage(0);
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYENDSESSION:
        Append(notices, L"QUERYENDSESSION:" + std::to_wstring(Installer::State.load()));
        return TRUE;
    case WM_CLOSE:
        Append(notices, L"CLOSE:" + std::to_wstring(Installer::State.load()));
        PostQuitMessage(0);
        return 0;
    case WM_TIMER:
        OnTimer(window, wParam);
        return 0;
    case PauseRequest:
        Installer::Stop();
        SampleState();
        WaitForStopped();
        SampleState();
        Print(L"PausedBytes", std::to_wstring(FileSize(Globals::SetupFileName)));
        Print(L"ResumeStarted", Installer::Start() ? L"1" : L"0");
        return 0;
    case DoneRequest:
        Installer::Done();
        SampleState();
        Print(L"StateAfterDone", std::to_wstring(Installer::State.load()));
        Print(L"BytesAfterDone", std::to_wstring(FileSize(Globals::SetupFileName)));
        SetTimer(window, GiveUpTimer, 500, nullptr);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateStandInWindow() {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QuelloxWorkerProbe";
    RegisterClassExW(&windowClass);
    return CreateWindowExW(0, windowClass.lpszClassName, L"worker probe", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                           nullptr, windowClass.hInstance, nullptr);
}

void CheckStartInEveryState() {
    const struct {
        LONG State;
        const wchar_t* Name;
    } refused[] = {{Working, L"Working"}, {Stopping, L"Stopping"}, {Installing, L"Installing"},
                   {Installed, L"Installed"}};
    for (const auto& r : refused) {
        Installer::State.exchange(r.State);
        bool started = Installer::Start();
        bool unchanged = Installer::State.load() == r.State && !Installer::ThreadHandle;
        Print(std::wstring(L"Start.") + r.Name, started ? L"1" : L"0");
        Print(std::wstring(L"Unchanged.") + r.Name, unchanged ? L"1" : L"0");
    }
    Installer::State.exchange(Stopped);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    platform::RestrictDllSearchPath();
    Globals::Init();
    Localizer::Init();
    verb = argc > 1 ? argv[1] : L"";

    std::wstring wait = testoutput::Environment(L"QUELLOX_PROBE_RETRY_WAIT_MS");
    if (!wait.empty()) Installer::RetryWaitMilliseconds = static_cast<DWORD>(_wtoi(wait.c_str()));

    // An inheritable handle, at a value well above a new process's own, named
    // in the fake setup's settings: it reports whether it received it.
    for (int spare = 0; spare < 200; ++spare) CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE marker = CreateEventW(&inheritable, TRUE, TRUE, nullptr);
    testoutput::AddFakeSetupSetting(
        L"QUELLOX_FAKE_SETUP_INHERITABLE",
        std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(marker))));

    HWND window = CreateStandInWindow();
    Globals::MainWindowHandle = window;
    Installer::OnProgress = {window, OnProgress};
    SetTimer(window, SampleTimer, 10, nullptr);
    SetTimer(window, GiveUpTimer, 120000, nullptr);

    if (verb == L"start-states") CheckStartInEveryState();
    SampleState();
    startTick = GetTickCount();
    Print(L"Started", Installer::Start() ? L"1" : L"0");
    if (verb == L"stop-in-wait") {
        std::wstring after = testoutput::Environment(L"QUELLOX_PROBE_STOP_AFTER_MS");
        SetTimer(window, StopTimer, after.empty() ? 1000 : static_cast<UINT>(_wtoi(after.c_str())), nullptr);
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    SampleState();
    // Let a worker that is sending its last notice finish before exit.
    if (Installer::ThreadHandle) WaitForSingleObject(Installer::ThreadHandle.get(), 10000);

    Print(L"Notices", notices);
    Print(L"States", states);
    Print(L"FinalState", std::to_wstring(Installer::State.load()));
    Print(L"SetupFileSize", std::to_wstring(static_cast<LONG>(FileSize(Globals::SetupFileName))));
    Print(L"SetupFileName", Globals::SetupFileName);
    Print(L"DownloadFileName", downloadFileName);
    Print(L"Campaign", Globals::Campaign);
    Print(L"DownloadSeconds", std::to_wstring(Installer::DownloadSeconds));
    Print(L"ElapsedMs", std::to_wstring(GetTickCount() - startTick));

    testoutput::Write(output);
    DestroyWindow(window);
    return 0;
}
