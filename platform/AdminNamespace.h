// A private object namespace that only elevated administrators can enter:
// its boundary names the Administrators group and high integrity, so no
// unelevated process of the session can create a name in it first.
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

}  // namespace platform
