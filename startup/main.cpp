// The entry point: restricts where libraries load from, lets only
// administrators through, gathers the settings and runs the subsystems in
// their order of start and stop.
#include <windows.h>

#include "platform/SystemLibrary.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"

// setupapi exports it; the SDK headers do not declare it.
extern "C" BOOL WINAPI IsUserAdmin();

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    platform::RestrictDllSearchPath();
    // The manifest asks for the highest available level: an administrator
    // arrives here elevated, anyone else stops here.
    if (!IsUserAdmin()) return 1;
    Globals::Init();
    Localizer::Init();
    return 0;
}
