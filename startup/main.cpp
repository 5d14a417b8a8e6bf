// The entry point: restricts where libraries load from before anything
// else, then runs the installer.
#include <windows.h>

#include "platform/SystemLibrary.h"
#include "startup/uEntry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    platform::RestrictDllSearchPath();
    RunInstaller();
}
