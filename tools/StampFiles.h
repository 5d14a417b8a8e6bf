// The stamping tool's file access: whole-file reads, files created new
// (never through an existing name or link) and moved into place, each
// failure with the system's reason. Portable: POSIX and Windows.
#pragma once

#include <string>

#include "startup/uStamp.h"

namespace files {

// The whole of `path` (standard input for "-"). On failure `why` says why,
// for instance "cannot be read: No such file or directory".
bool ReadAll(const std::string& path, stamp::Bytes& bytes, std::string& why);

// Creates a file of a new unique name `prefix` + "." + digits in the folder of
// `prefix`, open to the user only, writes `bytes` and flushes them to the
// disk. The name is taken only when nothing stands under it (not even a
// dangling link). On failure nothing is left behind and `why` says why.
bool WriteNew(const std::string& prefix, const stamp::Bytes& bytes, std::string& created, std::string& why);

// The same, under exactly `path`, with the usual permissions (those the
// process's umask leaves); fails when anything stands there.
bool WriteNewAt(const std::string& path, const stamp::Bytes& bytes, std::string& why);

// Gives `to` the permission bits (and, where allowed, the owner) of `from`.
void CopyAccess(const std::string& from, const std::string& to);

// Renames `from` to `to`, which must not exist: an existing file under `to`
// is never replaced.
bool PlaceNew(const std::string& from, const std::string& to, std::string& why);

// Renames `from` over `to`, replacing it (a link under `to` is replaced,
// never what it points to).
bool PlaceOver(const std::string& from, const std::string& to, std::string& why);

// Creates a new folder `prefix` + "." + digits that only the user can enter.
bool MakeNewFolder(const std::string& prefix, std::string& created, std::string& why);

// "text: reason" for the C library's last error.
std::string WithReason(const std::string& text, int error);

}  // namespace files
