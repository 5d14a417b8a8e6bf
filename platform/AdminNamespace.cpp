// The administrators' private namespace of the single-instance guard.
#include "platform/AdminNamespace.h"

#include "platform/SystemLibrary.h"

namespace platform {

namespace {

// Two well-known SIDs, written out: S-1-5-32-544, the Administrators group,
// and S-1-16-12288, the high integrity level.
struct TSid {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY Authority;
    DWORD SubAuthority[2];
};
constexpr TSid Administrators = {SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
constexpr TSid HighIntegrity = {SID_REVISION, 1, {SECURITY_MANDATORY_LABEL_AUTHORITY}, {SECURITY_MANDATORY_HIGH_RID, 0}};

}  // namespace

UniqueNamespace OpenAdminNamespace(const std::wstring& ABoundaryName, bool& AUnsupported) {
    AUnsupported = false;
    UniqueBoundary boundary(CreateBoundaryDescriptorW(ABoundaryName.c_str(), 0));
    if (!boundary) {
        // Only a system without the function fails here (out of memory
        // aside): Wine's returns null and leaves the last error alone.
        AUnsupported = true;
        return {};
    }
    HANDLE descriptor = boundary.release();
    BOOL added = AddSIDToBoundaryDescriptor(&descriptor, const_cast<TSid*>(&Administrators));
    boundary.reset(descriptor);
    if (!added) return {};
    // High integrity too, from Windows 7 on (the function is missing before).
    using AddLabel = BOOL(WINAPI*)(HANDLE*, PSID);
    if (auto addLabel = GetFunction<AddLabel>(GetModuleHandleW(L"kernel32.dll"), "AddIntegrityLabelToBoundaryDescriptor")) {
        descriptor = boundary.release();
        added = addLabel(&descriptor, const_cast<TSid*>(&HighIntegrity));
        boundary.reset(descriptor);
        if (!added) return {};
    }

    // The namespace object itself takes the elevated token's default DACL:
    // SYSTEM and the Administrators.
    UniqueNamespace created(CreatePrivateNamespaceW(nullptr, boundary.get(), AdminNamespaceAlias));
    if (created || GetLastError() != ERROR_ALREADY_EXISTS) return created;
    return UniqueNamespace(OpenPrivateNamespaceW(boundary.get(), AdminNamespaceAlias));
}

namespace {

// A self-relative descriptor, written out: the owner, no group, no DACL, no SACL.
struct TOwnerOnly {
    SECURITY_DESCRIPTOR_RELATIVE Header;
    TSid Owner;
} ownerOnly = {{SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE, sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0, 0, 0},
               Administrators};
SECURITY_ATTRIBUTES ownedByAdministrators = {sizeof(SECURITY_ATTRIBUTES), &ownerOnly, FALSE};

}  // namespace

SECURITY_ATTRIBUTES* OwnedByAdministrators() { return &ownedByAdministrators; }

}  // namespace platform
