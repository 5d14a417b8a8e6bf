// Starts a program under a duplicate of this process's own access token.
#pragma once

#include <windows.h>

#include <string>

#include "platform/Unique.h"

namespace platform {

struct TProcess {
    UniqueHandle Process;
    UniqueHandle Thread;
};

// The machine's own environment: the system's variables, as the system keeps
// them (CreateEnvironmentBlock for no user), none of a user's and none of
// this process's. A block of "NAME=value" strings, each ended by a null, the
// block by one more; empty on failure.
std::wstring MachineEnvironment();

// The Windows folder, from the system (never from the environment); empty
// on failure.
std::wstring WindowsFolder();

// The profile folder of the process's own user, as the machine's profile
// list names it (not the user's environment); empty on failure.
std::wstring UserProfileFolder();

// The name and the domain of the process's own account, from its token (not
// the user's environment); false on failure.
bool AccountName(std::wstring& AName, std::wstring& ADomain);

// Whether this is a 32-bit process on 64-bit Windows.
bool IsWow64();

// Tests hold the launch this long between the suspended start and the
// resume, where a close must not strand it; the program never does.
inline DWORD ResumePauseMilliseconds = 0;

// Runs the program AApplicationName (an absolute path: no search) with
// ACommandLine, in the folder ACurrentFolder, with the environment block
// AEnvironment (see setupcmd::ComposeSetupEnvironment), with a primary token
// duplicated from the process's own; where the privilege to assign a token
// is missing (error 1314), as the process itself. No handle is inherited;
// AHeld (when not null) is duplicated into the new process before it runs
// its first instruction, so that the process holds it for its whole life.
// False when no process was created (or AHeld could not be handed over).
bool RunProcess(const std::wstring& AApplicationName, const std::wstring& ACommandLine,
                const std::wstring& ACurrentFolder, const std::wstring& AEnvironment, HANDLE AHeld,
                TProcess& AProcessInfo);

}  // namespace platform
