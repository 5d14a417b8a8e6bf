// The administrators' private namespace of the single-instance guard.
#include "platform/AdminNamespace.h"

#include <sddl.h>

#include "platform/SystemLibrary.h"

namespace platform {

UniqueNamespace OpenAdminNamespace(const std::wstring& ABoundaryName, bool& AUnsupported) {
    AUnsupported = false;
    UniqueBoundary boundary(CreateBoundaryDescriptorW(ABoundaryName.c_str(), 0));
    if (!boundary) {
        // Only a system without the function fails here (out of memory
        // aside): Wine's returns null and leaves the last error alone.
        AUnsupported = true;
        return {};
    }
    union {
        SID Sid;
        BYTE Bytes[SECURITY_MAX_SID_SIZE];
    } administrators, high;
    DWORD size = sizeof(administrators);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, &administrators, &size)) return {};
    HANDLE descriptor = boundary.release();
    BOOL added = AddSIDToBoundaryDescriptor(&descriptor, &administrators);
    boundary.reset(descriptor);
    if (!added) return {};
    // High integrity too, from Windows 7 on (the function is missing before).
    using AddLabel = BOOL(WINAPI*)(HANDLE*, PSID);
    if (auto addLabel = GetFunction<AddLabel>(GetModuleHandleW(L"kernel32.dll"), "AddIntegrityLabelToBoundaryDescriptor")) {
        size = sizeof(high);
        if (!CreateWellKnownSid(WinHighLabelSid, nullptr, &high, &size)) return {};
        descriptor = boundary.release();
        added = addLabel(&descriptor, &high);
        boundary.reset(descriptor);
        if (!added) return {};
    }

    // Only SYSTEM and the Administrators may open the namespace itself.
    UniqueLocalMemory security;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR*>(security.put()),
                                                              nullptr))
        return {};
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security.get(), FALSE};
    UniqueNamespace created(CreatePrivateNamespaceW(&attributes, boundary.get(), AdminNamespaceAlias));
    if (created || GetLastError() != ERROR_ALREADY_EXISTS) return created;
    return UniqueNamespace(OpenPrivateNamespaceW(boundary.get(), AdminNamespaceAlias));
}

}  // namespace platform
