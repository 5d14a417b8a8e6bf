// Races Installer::Done against the end of a worker whose attempts all fail
// at once, many times over, on a thread that owns a window as the GUI
// thread does. The worker's failure notices go to that window; a Done that
// waits for the worker while the worker waits for the window hangs both.
// A watchdog turns a hang into a failure: it prints "Hang=<round>" and ends
// the process with exit code 3.
//
// Each round lands the stop between two accesses of the worker to the
// memory page that holds Installer::State, at each such place in turn, the
// last ones first: the page is a guard page, armed again after each access
// by a single step, and the access chosen waits until Done has made its
// stop.
//
//   end_race_probe ROUNDS            lands Done
//   end_race_probe ROUNDS resume     lands a resume (Start), as the window's
//                                    pause/resume command and a Yes to the
//                                    cancel question do
//
// Prints Accesses (of one worker's life), Rounds, Stopped (rounds that
// ended on the stop) and Failed (rounds that ended with the failure notice);
// with resume, Resumed (rounds whose Start made a new worker) and
// ResumedWhileEnding (of those, the rounds whose Start came while the
// failing worker was still on its way out: its close request would stop
// the new worker, and the exit would wait for the new worker alone).
#include <windows.h>

#include <string>

#include "installer/uInstaller.h"
#include "startup/uGlobals.h"
#include "tests/support/TestOutput.h"

namespace {

constexpr DWORD HangLimitMs = 10000;

std::atomic<LONG> currentRound{0};
std::atomic<DWORD> roundStarted{0};
int failureNotices = 0;
bool landResume = false;
int resumed = 0;
int resumedWhileEnding = 0;

// What the access handler uses, kept on a page of its own: the guarded page
// also holds the probe's other variables.
struct TAccessWatch {
    DWORD GuiThread;
    DWORD WatchdogThread;
    BYTE* Page;
    std::atomic<LONG> WorkerAccesses;
    LONG LandAt;  // the worker access before which the stop lands; 0: none
    HANDLE LandNow;
    std::atomic<LONG> Armed;
};
TAccessWatch* watch = nullptr;

void GuardPage() {
    DWORD previous = 0;
    VirtualProtect(watch->Page, 1, PAGE_READWRITE | PAGE_GUARD, &previous);
}

// A guard page fault comes before the access: the stop made while the
// worker waits here lands after its previous access and before this one.
LONG CALLBACK OnAccess(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    if (record.ExceptionCode == STATUS_GUARD_PAGE_VIOLATION && record.NumberParameters >= 2 &&
        (record.ExceptionInformation[1] & ~static_cast<ULONG_PTR>(0xFFF)) == reinterpret_cast<ULONG_PTR>(watch->Page)) {
        DWORD self = GetCurrentThreadId();
        if (watch->Armed.load() != 0 && self != watch->GuiThread && self != watch->WatchdogThread &&
            watch->WorkerAccesses.fetch_add(1) + 1 == watch->LandAt) {
            SetEvent(watch->LandNow);
            Sleep(20);  // long enough for the test thread's stop
        }
        exception->ContextRecord->EFlags |= 0x100;  // one instruction, then arm again
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    // Two threads at the page at once: the one that comes second may find
    // it neither guarded nor open yet, for an instant. It tries again.
    if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2 &&
        (record.ExceptionInformation[1] & ~static_cast<ULONG_PTR>(0xFFF)) == reinterpret_cast<ULONG_PTR>(watch->Page))
        return EXCEPTION_CONTINUE_EXECUTION;
    if (record.ExceptionCode == EXCEPTION_SINGLE_STEP) {
        if (watch->Armed.load() != 0) GuardPage();
        exception->ContextRecord->EFlags &= ~0x100u;
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

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

// Handles the notices a worker may still be sending, until it has ended.
void Settle() {
    HANDLE worker = Installer::ThreadHandle.get();
    MSG message;
    if (worker == nullptr) {  // no worker to wait for
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        return;
    }
    while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

// One worker's life with the page watched; the stop lands before access
// `landAt` (never when 0). True when the stop was made.
bool WatchedRound(LONG landAt) {
    watch->WorkerAccesses = 0;
    watch->LandAt = landAt;
    watch->Armed = 1;
    GuardPage();
    bool started = Installer::Start();
    // The round's own worker, also once a resume has replaced ThreadHandle.
    HANDLE worker = nullptr;
    if (started)
        DuplicateHandle(GetCurrentProcess(), Installer::ThreadHandle.get(), GetCurrentProcess(), &worker, SYNCHRONIZE,
                        FALSE, 0);
    HANDLE handles[] = {worker, watch->LandNow};
    bool stopped = false;
    MSG message;
    for (;;) {
        DWORD woken = MsgWaitForMultipleObjects(2, handles, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0) break;
        if (woken == WAIT_OBJECT_0 + 1 && landResume) {
            if (Installer::Start()) {
                ++resumed;
                if (WaitForSingleObject(worker, 0) == WAIT_TIMEOUT) ++resumedWhileEnding;
            }
            continue;  // and wait for the round's worker to end
        }
        if (woken == WAIT_OBJECT_0 + 1) {
            Installer::Done();
            stopped = true;
            break;
        }
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    if (started) Settle();
    if (worker != nullptr) CloseHandle(worker);
    watch->Armed = 0;
    DWORD previous = 0;
    VirtualProtect(watch->Page, 1, PAGE_READWRITE, &previous);
    // The next round is a run of its own.
    Installer::Ending = false;
    return stopped;
}

int RunAccessRounds(int rounds, DWORD watchdogThread) {
    watch = static_cast<TAccessWatch*>(VirtualAlloc(nullptr, sizeof(TAccessWatch), MEM_COMMIT, PAGE_READWRITE));
    watch->GuiThread = GetCurrentThreadId();
    watch->WatchdogThread = watchdogThread;
    watch->Page = reinterpret_cast<BYTE*>(reinterpret_cast<UINT_PTR>(&Installer::State) & ~static_cast<UINT_PTR>(0xFFF));
    watch->LandNow = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    AddVectoredExceptionHandler(1, OnAccess);

    WatchedRound(0);
    LONG life = watch->WorkerAccesses.load();
    testoutput::Print(L"Accesses", std::to_wstring(life));
    if (life < 2) return 4;
    int stopped = 0;
    failureNotices = 0;
    for (int i = 0; i < rounds; ++i) {
        currentRound = i + 1;
        roundStarted = GetTickCount();
        int noticesBefore = failureNotices;
        // The last accesses first: the worker's end is what is raced.
        WatchedRound(life + 1 - i % (life + 1));
        if (Installer::State.load() != Stopped) {
            testoutput::Print(L"EndState", std::to_wstring(Installer::State.load()));
            return 5;
        }
        if (failureNotices == noticesBefore) ++stopped;
    }
    testoutput::Print(L"Rounds", std::to_wstring(rounds));
    testoutput::Print(L"Stopped", std::to_wstring(stopped));
    testoutput::Print(L"Failed", std::to_wstring(failureNotices));
    if (landResume) {
        testoutput::Print(L"Resumed", std::to_wstring(resumed));
        testoutput::Print(L"ResumedWhileEnding", std::to_wstring(resumedWhileEnding));
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = argc > 1 ? _wtoi(argv[1]) : 300;
    landResume = argc > 2 && std::wstring(argv[2]) == L"resume";

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
    DWORD watchdogThread = 0;
    platform::UniqueHandle watchdog(CreateThread(nullptr, 0, Watchdog, nullptr, 0, &watchdogThread));
    ExitProcess(static_cast<UINT>(RunAccessRounds(rounds, watchdogThread)));
}
