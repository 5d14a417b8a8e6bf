// Safe loading of libraries. The executable imports only libraries that
// Windows always takes from System32 (its KnownDLLs); every other library is
// loaded here, from System32 only, so that a DLL planted next to the
// installer (typically in a Downloads folder) is never loaded.
#pragma once

#include <windows.h>

#include <initializer_list>

#include "platform/Unique.h"

namespace platform {

// Takes the application folder and the current folder out of the DLL search
// path of the process. Runs first thing in the entry point.
void RestrictDllSearchPath();

// Loads `name` (a bare file name such as L"wininet.dll") from System32 only.
UniqueLibrary LoadSystemLibrary(const wchar_t* name);

// One function of a library and where its address goes.
struct TFunctionSlot {
    template <typename Function>
    TFunctionSlot(const char* name, Function* target) : Name(name), Target(reinterpret_cast<void**>(target)) {}
    const char* Name;
    void** Target;
};

// Fills every slot; false when any function is missing.
bool LoadFunctions(HMODULE library, std::initializer_list<TFunctionSlot> slots);

// A function of a loaded library, typed; null when it does not exist.
template <typename Function>
Function GetFunction(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

}  // namespace platform
