// A folder of our own for the setup run: new, with a random name under
// %ProgramData%, and open to SYSTEM and the Administrators only, so that no
// unelevated process can add a library beside the program or change it.
#pragma once

#include <string>

namespace platform {

// Creates "<ProgramData>\<APrefix>{GUID}" with a protected DACL that grants
// full access to SYSTEM and the Administrators group only; fails when the
// name already exists. The folder's path, or empty on failure.
std::wstring CreateProtectedFolder(const wchar_t* APrefix);

// A new GUID in its "{...}" form, for names nobody can have made before;
// empty on failure.
std::wstring NewGuidText();

// Deletes AFileName in AFolder and then the folder. The file of a process
// that has just ended can stay locked for a moment: a few short retries.
void RemoveProtectedFolder(const std::wstring& AFolder, const std::wstring& AFileName);

}  // namespace platform
