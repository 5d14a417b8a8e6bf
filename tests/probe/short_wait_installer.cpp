// The installer with short waits, for the tests of runs that fail: 300 ms
// between attempts, 2 s transfer time-outs, 2 s for the analytics queue to
// drain; with QUELLOX_PROBE_LAUNCH_PAUSE_MS, the setup program's launch held
// that long between its suspended start and its resume. Everything else is
// the program's own.
#include <windows.h>

#include "analytics/uGoogleAnalitics.h"
#include "installer/uInstaller.h"
#include "platform/ProcessLaunch.h"
#include "platform/SystemLibrary.h"
#include "startup/uEntry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    platform::RestrictDllSearchPath();
    Installer::RetryWaitMilliseconds = 300;
    Installer::TransferTimeoutMilliseconds = 2000;
    GoogleAnalitics::DrainLimitMilliseconds = 2000;
    wchar_t pause[16] = {};
    if (GetEnvironmentVariableW(L"QUELLOX_PROBE_LAUNCH_PAUSE_MS", pause, 16) > 0)
        platform::ResumePauseMilliseconds = static_cast<DWORD>(_wtoi(pause));
    RunInstaller();
}
