// Races Installer::Done against the end of a worker whose attempts all fail
// at once, many times over, on a thread that owns a window as the GUI
// thread does. The worker's failure notices go to that window; a Done that
// waits for the worker while the worker waits for the window hangs both.
// Each round spins for a different delay between Start and Done, sweeping
// from before the worker's end to after it. A watchdog turns a hang into a
// failure: it prints "Hang=<round>" and ends the process with exit code 3.
//
//   end_race_probe ROUNDS
//
// Prints Rounds, Stopped (rounds that ended on the stop) and Failed (rounds
// that ended with the failure notice).
#include <windows.h>

#include <string>

#include "installer/uInstaller.h"
#include "startup/uGlobals.h"
#include "tests/support/TestOutput.h"

namespace {

constexpr DWORD HangLimitMs = 10000;
constexpr int DelaySteps = 64;

std::atomic<LONG> currentRound{0};
std::atomic<DWORD> roundStarted{0};
int failureNotices = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_QUERYENDSESSION) {
        ++failureNotices;
        return TRUE;
    }
    if (message == WM_CLOSE) return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI Watchdog(LPVOID) {
    for (;;) {
        Sleep(100);
        if (GetTickCount() - roundStarted.load() > HangLimitMs) {
            testoutput::Print(L"Hang", std::to_wstring(currentRound.load()));
            ExitProcess(3);
        }
    }
}

// Spins for about `count` loop turns: a delay finer than any sleep.
void Spin(unsigned count) {
    static volatile unsigned turns = 0;
    for (unsigned i = 0; i < count; ++i) turns = turns + 1;
}

// Handles the notices a worker may still be sending, until it has ended.
void Settle() {
    HANDLE worker = Installer::ThreadHandle.get();
    MSG message;
    if (worker == nullptr) {  // a Done that waited for the worker has released it
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        return;
    }
    while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

// The shortest life of a few workers, in spin turns, after the first (which
// loads what a thread needs).
unsigned MeasureLifetime() {
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    Spin(1000000);
    QueryPerformanceCounter(&after);
    double turnsPerTick = 1000000.0 / static_cast<double>(after.QuadPart - before.QuadPart);
    unsigned lifetime = 0xFFFFFFFF;
    for (int i = 0; i < 20; ++i) {
        Installer::Start();
        QueryPerformanceCounter(&before);
        while (Installer::State.load() != Stopped) {
        }
        QueryPerformanceCounter(&after);
        Settle();
        auto turns = static_cast<unsigned>(static_cast<double>(after.QuadPart - before.QuadPart) * turnsPerTick);
        if (i > 0 && turns < lifetime) lifetime = turns;
    }
    return lifetime;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = argc > 1 ? _wtoi(argv[1]) : 1000;

    // Every attempt fails at its first step (the setup file cannot be
    // created) and there is no wait between attempts: a worker lives for a
    // fraction of a millisecond.
    Globals::SetupFileName = L"Z:\\nonexistent-folder-of-the-race-probe\\setup.exe";
    Installer::RetryWaitMilliseconds = 0;

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QuelloxEndRaceProbe";
    RegisterClassExW(&windowClass);
    Globals::MainWindowHandle = CreateWindowExW(0, windowClass.lpszClassName, L"end race probe", WS_OVERLAPPED, 0, 0,
                                                10, 10, nullptr, nullptr, windowClass.hInstance, nullptr);

    roundStarted = GetTickCount();
    platform::UniqueHandle watchdog(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
    unsigned lifetime = MeasureLifetime();

    int stopped = 0;
    failureNotices = 0;
    for (int i = 0; i < rounds; ++i) {
        currentRound = i + 1;
        roundStarted = GetTickCount();
        int noticesBefore = failureNotices;
        if (!Installer::Start()) return 4;
        // From no delay to twice the shortest life.
        Spin(lifetime * static_cast<unsigned>(i % DelaySteps) / (DelaySteps / 2));
        Installer::Done();
        Settle();
        if (Installer::State.load() != Stopped) {
            testoutput::Print(L"EndState", std::to_wstring(Installer::State.load()));
            return 5;
        }
        if (failureNotices == noticesBefore) ++stopped;
    }
    testoutput::Print(L"Rounds", std::to_wstring(rounds));
    testoutput::Print(L"Stopped", std::to_wstring(stopped));
    testoutput::Print(L"Failed", std::to_wstring(failureNotices));
    ExitProcess(0);
}
