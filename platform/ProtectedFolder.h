// Folders of our own under %ProgramData% that only SYSTEM and the
// Administrators can write to: the download's folder, kept across runs, and
// a new folder for each setup run, so that no unelevated process can add a
// library beside the program, change it, or point the elevated process's
// writes elsewhere.
#pragma once

#include <windows.h>

#include <string>

#include "platform/Unique.h"

namespace platform {

// %ProgramData%, from the system's known-folder table (never from the
// environment, which the user controls), without a trailing backslash;
// empty on failure.
std::wstring ProgramDataFolder();

// A known folder (FOLDERID_...) of the process's own token, from the
// system's known-folder table, without a trailing backslash; empty on
// failure.
std::wstring KnownFolder(const GUID& AFolderId);

// A new GUID in its "{...}" form, for names nobody can have made before;
// empty on failure.
std::wstring NewGuidText();

// A run folder and the handle that holds it: open without delete sharing, so
// that another start of the installer sees the folder is in use.
struct TProtectedFolder {
    std::wstring Path;
    UniqueFile Hold;
};

// Creates "<ProgramData>\<APrefix>{GUID}" with a protected DACL that grants
// full access to SYSTEM and the Administrators group only, and holds it.
// Fails (empty Path) when the name already exists, when the folder is not at
// that very path, or when its volume keeps no ACLs, where that DACL would
// protect nothing.
TProtectedFolder CreateProtectedFolder(const wchar_t* APrefix);

// Makes APath, a folder directly under %ProgramData% kept across runs, ours
// before anything is created in it: created now with the protected DACL, or
// adopted when it is already a folder at that very path (no reparse point on
// the way) whose owner and DACL are those this system gives. A folder that
// someone else made first is never taken over (its files and the handles
// opened on it before would keep their own rights): false, and so is a
// file, a link or a junction under the name, or a volume without ACLs.
bool EnsureProtectedFolder(const std::wstring& APath);

// Whether folders can be protected at all: %ProgramData% is known, lies at
// its own path (not reached through a junction or a link) and its volume
// keeps ACLs (FAT and exFAT do not). Where not, no download can be kept
// safe, on any attempt.
bool CanProtectFolders();

// Whether AFile, in the protected folder AFolder, is owned by SYSTEM, the
// Administrators, this process's own default owner or the folder's owner: a
// file that an unelevated process made has none of them.
bool IsOwnedByUs(HANDLE AFile, const std::wstring& AFolder);

// Deletes the folder and everything in it (what the setup program left
// there too; a link inside is removed, never followed), releasing its hold.
// The files of a process that has just ended can stay locked for a moment:
// a few short retries.
void RemoveProtectedFolder(TProtectedFolder& AFolder);

// Removes the run folders "<ProgramData>\<APrefix>{GUID}" that earlier runs
// left behind (a killed installer): only those no live process holds, whose
// owner and DACL are those this system gives a folder made with the
// protected DACL, and never through a reparse point.
void RemoveAbandonedFolders(const wchar_t* APrefix);

}  // namespace platform
