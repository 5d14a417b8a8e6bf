// The installer with short waits, for the tests of runs that fail: 300 ms
// between attempts, 2 s transfer time-outs, 2 s for the analytics queue to
// drain. Everything else is the program's own.
#include <windows.h>

#include "analytics/uGoogleAnalitics.h"
#include "installer/uInstaller.h"
#include "platform/SystemLibrary.h"
#include "startup/uEntry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    platform::RestrictDllSearchPath();
    Installer::RetryWaitMilliseconds = 300;
    Installer::TransferTimeoutMilliseconds = 2000;
    GoogleAnalitics::DrainLimitMilliseconds = 2000;
    RunInstaller();
}
