// Installer: the worker thread, its attempts and the silent run of the
// setup program. The download itself is in uDownload.cpp.
//
// State changes by compare-and-exchange wherever another thread may change
// it at the same moment: the worker moves Working -> Installing only if no
// stop came first, and a stop is only ever made from Working, so no stop
// request is lost and Done never waits for a running setup program.
#include "installer/uInstaller.h"

#include <objbase.h>

#include "installer/uFileTrust.h"
#include "installer/uRounding.h"
#include "installer/uSetupCommandLine.h"
#include "platform/ProcessLaunch.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"

namespace {

bool Exchange(LONG from, LONG to) { return Installer::State.compare_exchange_strong(from, to); }

void Notify(UINT message) { SendMessageW(Globals::MainWindowHandle.load(), message, 0, 0); }

}  // namespace

bool Installer::Start() {
    LONG previous = Idle;
    if (!State.compare_exchange_strong(previous, Working)) {
        previous = Stopped;
        if (!State.compare_exchange_strong(previous, Working)) return false;
    }
    // The previous worker has set Stopped as its last act on State; its
    // handle is no longer needed.
    ThreadHandle.reset(CreateThread(nullptr, 0, WorkerThread, nullptr, 0, &ThreadID));
    if (!ThreadHandle) {
        // No worker behind Working: Done would wait for ever.
        DWORD error = GetLastError();
        State.exchange(previous);
        SetLastError(error);
        return false;
    }
    return true;
}

void Installer::Stop() { Exchange(Working, Stopping); }

void Installer::Done() {
    Stop();
    // A worker that is stopping (this stop or an earlier pause) is on its way
    // out within one receive time-out or one 100 ms step of its wait. Only
    // the State is polled, never the thread: the worker leaves Stopping for
    // Stopped only on its silent way out, and a worker that ended Working
    // first is left alone, since it may still be sending its notices to
    // this very thread.
    if (State.load() != Stopping) return;
    while (State.load() != Stopped) Sleep(10);
}

DWORD WINAPI Installer::WorkerThread(LPVOID) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (int attempt = 1;; ++attempt) {
        if (RunAttempt()) break;
        if (State.load() == Stopping) break;
        if (attempt == AttemptCount) break;
        WaitBeforeRetry();
        if (State.load() == Stopping) break;
    }
    CoUninitialize();
    EndWorker();
    return 0;
}

// The final State is set before any message: the GUI thread may be polling
// in Done without handling messages. It is set by compare-and-exchange out
// of the state read, so a stop that arrives after the read turns this into
// a stopped end, which sends nothing: the Done that made the stop may be
// polling for Stopped and would never handle a notice.
void Installer::EndWorker() {
    LONG state = State.load();
    for (;;) {
        if (state == Installed) {
            Notify(WM_CLOSE);
            return;
        }
        if (State.compare_exchange_strong(state, Stopped)) break;
        // Changed meanwhile (Working to Stopping): state now holds the new value.
    }
    if (state == Stopping) return;
    Notify(WM_QUERYENDSESSION);
    Notify(WM_CLOSE);
}

void Installer::WaitBeforeRetry() {
    DWORD start = GetTickCount();
    while (Globals::GetTickCountDiff(start) < RetryWaitMilliseconds) {
        Sleep(100);
        if (State.load() == Stopping) return;
    }
}

bool Installer::RunAttempt() {
    // A stopped attempt keeps its file for the next start; any other
    // attempt deletes it, so the next one downloads from the first byte.
    platform::ScopeExit deleteUnlessStopped([] {
        if (State.load() != Stopping) DeleteFileW(Globals::SetupFileName.c_str());
    });
    // After a failed setup run the state is still Installing; a stop that
    // arrived meanwhile in Working is kept.
    Exchange(Installing, Working);

    DWORD started = GetTickCount();
    if (!Download()) return false;
    DownloadSeconds = static_cast<std::int32_t>(rounding::RoundHalfToEven(Globals::GetTickCountDiff(started), 1000));
    if (State.load() == Stopping) return true;

    platform::UniqueFile checkedFile = LockSetupFile();
    if (!checkedFile) return false;
    if (!FileTrust::Verify(Globals::SetupFileName)) return false;
    if (!Exchange(Working, Installing)) return true;  // stopped meanwhile

    if (!RunSetup(std::move(checkedFile))) return false;
    if (!Globals::IsProductInstalled()) return false;
    State.exchange(Installed);
    return true;
}

platform::UniqueFile Installer::LockSetupFile() {
    // Read access for the check, shared for reading and executing only: no
    // one, the user's own unelevated processes included, can open the file
    // for writing, delete it or rename it while this handle is open.
    return platform::UniqueFile(CreateFileW(Globals::SetupFileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool Installer::RunSetup(platform::UniqueFile ACheckedFile) {
    DWORD attributes = GetFileAttributesW(Globals::SetupFileName.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    platform::ScopeExit deleteSetupFile([] { DeleteFileW(Globals::SetupFileName.c_str()); });

    setupcmd::TSetupSettings settings;
    settings.SetupFileName = Globals::SetupFileName;
    settings.AutoCSOffer = Globals::AutoCSOffer;
    settings.DisplayOffers = Globals::DisplayOffers;
    settings.ErrorCode = Globals::ErrorCode;
    settings.OpenWebPageURL = Localizer::OpenWebPageURL;
    settings.SkipAfterInstallPage = Globals::SkipAfterInstallPage;
    settings.DownloadSeconds = DownloadSeconds;
    settings.ProductName = Globals::ProductName;
    settings.Campaign = Globals::Campaign;
    settings.RunApplication = Globals::RunApplication;
    settings.GAParam = Globals::GAParam;

    platform::TProcess setup;
    bool started = platform::RunProcess(setupcmd::ComposeSetupCommandLine(settings), setup);
    // The process has its image now; the file may be released (and is
    // deleted once the setup program has ended).
    ACheckedFile.reset();
    if (started) WaitForSingleObject(setup.Process.get(), INFINITE);
    return started;
}
