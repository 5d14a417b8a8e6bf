// What is the elevated administrators' alone: a private object namespace
// that only they can enter (its boundary names the Administrators group and
// high integrity, so no unelevated process of the session can create a name
// in it first), and the owner of what this process creates.
#pragma once

#include <windows.h>

#include <string>

#include "platform/Unique.h"

namespace platform {

struct NamespaceTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ClosePrivateNamespace(h, 0); }
};
struct BoundaryTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DeleteBoundaryDescriptor(h); }
};
using UniqueNamespace = Unique<NamespaceTraits>;
using UniqueBoundary = Unique<BoundaryTraits>;

// The prefix of a name in the namespace: "<AdminNamespaceAlias>\name".
constexpr const wchar_t* AdminNamespaceAlias = L"QuelloxSetup";

// Creates, or opens when another instance made it, the namespace bounded by
// ABoundaryName, the Administrators group and high integrity. Its handle is
// kept for as long as names in it must be found: once its maker closes it,
// others can no longer open it. Null on failure; AUnsupported is set where
// the system has no private namespaces at all (Wine).
UniqueNamespace OpenAdminNamespace(const std::wstring& ABoundaryName, bool& AUnsupported);

// Security attributes whose descriptor names the Administrators group as
// the owner and nothing else (the DACL is inherited from the folder), for
// every file and folder the elevated run creates: the download, the copy,
// the setup program's Temp folder. Without it they take the token's default
// owner, which policy can make the user's own SID; the owner gets
// WRITE_DAC, and the user's unelevated programs could then open them.
SECURITY_ATTRIBUTES* OwnedByAdministrators();

}  // namespace platform
