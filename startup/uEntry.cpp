// The program's run, in its order of start and stop.
#include "startup/uEntry.h"

#include <windows.h>

#include "installer/uInstaller.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"
#include "ui/uMainWindow.h"

// setupapi exports it; the SDK headers do not declare it.
extern "C" BOOL WINAPI IsUserAdmin();

void RunInstaller() {
    // The manifest asks for the highest available level: an administrator
    // arrives here elevated, anyone else stops here.
    if (!IsUserAdmin()) ExitProcess(1);
    Globals::Init();
    Installer::RemoveAbandonedRunFolders();
    Localizer::Init();
    MainWindow::Init();
    MainWindow::Run();
    // Built without C++ exceptions: Run returns, or the process ends in the
    // process-wide error handler.
    MainWindow::Done();
    // A worker that has sent its close request is still ending (its WM_CLOSE
    // returned only now): it is let finish, so that the process does not end
    // in the middle of a thread's own exit.
    Installer::WaitForWorkerExit();
    // A worker in the middle of launching the setup program (closed while
    // Installing, which is not waited for) is let finish the launch.
    Installer::EndLaunches();
    // The process ends here with a worker possibly still running: the window
    // does not wait for a setup program, nor for a worker that has just left
    // its wait after one. ExitProcess ends that thread before anything is
    // released; returning would run the C++ run-time's exit, which destroys
    // the settings, the download's handle owners and the loaded libraries
    // while the worker may still be using them.
    ExitProcess(0);
}
