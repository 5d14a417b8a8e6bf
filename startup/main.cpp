// The entry point: restricts where libraries load from before anything
// else, then runs the installer.
#include <windows.h>

#include <math.h>

#include "platform/SystemLibrary.h"
#include "startup/uEntry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    platform::RestrictDllSearchPath();
    RunInstaller();
}

// Parts of the C run-time's start-up code that the installer has no use
// for, replaced so that their code stays out of the file.
//
// Pseudo-relocations patch data imported from a DLL without an import
// declaration. The installer has none: it is linked with automatic data
// imports off (CMakeLists.txt), so one would fail the build instead.
extern "C" void _pei386_runtime_relocator() {}

// A floating-point library error is reported through errno alone, not
// printed to a console that the windowed program does not have.
extern "C" int _matherr(struct _exception*) { return 0; }

// Thread-local storage's clean-up: destructors of thread-local objects,
// which the installer has none of (no thread-local objects, no thread
// library), and a reset of the x87 control word in each new thread, whose
// floating-point arithmetic the installer does not use.
extern "C" BOOL __mingw_TLScallback(HANDLE, DWORD, LPVOID) { return TRUE; }
