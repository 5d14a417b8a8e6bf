// The installer with a short wait between attempts, for the tests of a run
// whose five attempts all fail. Everything else is the program's own.
#include <windows.h>

#include "installer/uInstaller.h"
#include "platform/SystemLibrary.h"
#include "startup/uEntry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    platform::RestrictDllSearchPath();
    Installer::RetryWaitMilliseconds = 300;
    return RunInstaller();
}
