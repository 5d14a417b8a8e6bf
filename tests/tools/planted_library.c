/* A stand-in for a library planted next to the installer. Loading it leaves
   a mark: a file named after the library, with ".loaded" appended, next to it.
   It exports the few names the control program imports. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH + 16];
        DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            lstrcatW(path, L".loaded");
            HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
        }
    }
    return TRUE;
}

__declspec(dllexport) void* WINAPI InternetOpenW(const wchar_t* a, DWORD b, const wchar_t* c, const wchar_t* d,
                                                 DWORD e) {
    (void)a; (void)b; (void)c; (void)d; (void)e;
    return NULL;
}

__declspec(dllexport) LONG WINAPI WinVerifyTrust(HWND a, GUID* b, void* c) {
    (void)a; (void)b; (void)c;
    return -1;
}
