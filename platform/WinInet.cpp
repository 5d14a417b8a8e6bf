// WinINet, loaded from System32 on first use.
#include "platform/WinInet.h"

#include "platform/SystemLibrary.h"

namespace platform {

namespace {

TWinInetApi api;
// Kept until the process ends: the worker and the analytics sender use it
// until their last moment.
UniqueLibrary library;
bool loaded = false;
INIT_ONCE once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK Load(PINIT_ONCE, PVOID, PVOID*) {
    library = LoadSystemLibrary(L"wininet.dll");
    if (!library) return TRUE;
    loaded = LoadFunctions(library.get(), {
        {"InternetOpenW", &api.InternetOpenW},
        {"InternetConnectW", &api.InternetConnectW},
        {"HttpOpenRequestW", &api.HttpOpenRequestW},
        {"HttpSendRequestW", &api.HttpSendRequestW},
        {"HttpQueryInfoW", &api.HttpQueryInfoW},
        {"InternetReadFile", &api.InternetReadFile},
        {"InternetQueryDataAvailable", &api.InternetQueryDataAvailable},
        {"InternetCloseHandle", &api.InternetCloseHandle},
        {"InternetSetOptionW", &api.InternetSetOptionW},
        {"InternetQueryOptionW", &api.InternetQueryOptionW},
        {"InternetCanonicalizeUrlW", &api.InternetCanonicalizeUrlW},
        {"InternetCrackUrlW", &api.InternetCrackUrlW},
        {"DeleteUrlCacheEntryW", &api.DeleteUrlCacheEntryW},
    });
    return TRUE;
}

}  // namespace

const TWinInetApi* WinInet() {
    InitOnceExecuteOnce(&once, Load, nullptr, nullptr);
    return loaded ? &api : nullptr;
}

void SetTimeouts(HINTERNET handle, DWORD milliseconds) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        WinInet()->InternetSetOptionW(handle, option, &milliseconds, sizeof(milliseconds));
}

}  // namespace platform
