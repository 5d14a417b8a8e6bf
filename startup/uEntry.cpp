// The program's run, in its order of start and stop.
#include "startup/uEntry.h"

#include <windows.h>

#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"
#include "ui/uMainWindow.h"

// setupapi exports it; the SDK headers do not declare it.
extern "C" BOOL WINAPI IsUserAdmin();

int RunInstaller() {
    // The manifest asks for the highest available level: an administrator
    // arrives here elevated, anyone else stops here.
    if (!IsUserAdmin()) return 1;
    Globals::Init();
    Localizer::Init();
    MainWindow::Init();
    MainWindow::Run();
    // Built without C++ exceptions: Run returns, or the process ends in the
    // process-wide error handler.
    MainWindow::Done();
    return 0;
}
