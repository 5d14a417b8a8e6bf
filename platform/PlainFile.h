// Files in folders that other users' code can write to (the temporary
// folder): opened without following a reparse point, and used only when the
// handle names one plain file with one name at the expected path.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/Unique.h"

namespace platform {

// "X:\..." or "\\server\share\...": a name that no search can turn into a
// file of another folder.
bool IsAbsolutePath(const std::wstring& APath);

// Opens APath itself: a reparse point under that name (a junction, a
// symbolic link) is opened as what it is, not followed.
UniqueFile OpenWithoutReparse(const std::wstring& APath, DWORD AAccess, DWORD AShare, DWORD ADisposition);

// True when AFile is a plain file (no folder, no reparse point) with
// exactly one link, whose final path is APath; its whole size in ASize.
// A second hard link or a final path elsewhere means the name leads to a
// file someone else chose.
bool IsPlainFileAt(HANDLE AFile, const std::wstring& APath, std::uint64_t& ASize);

// True when AFolder is a folder, not a reparse point, whose final path is
// APath: no junction, link, substituted or mapped drive on the way.
bool IsFolderAt(HANDLE AFolder, const std::wstring& APath);

// Marks the file of AFile for deletion when its last handle closes: the
// file that was checked is the file deleted, whatever its name leads to by
// then. AFile needs DELETE access.
bool DeleteThroughHandle(HANDLE AFile);

}  // namespace platform
