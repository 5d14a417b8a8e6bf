// WinINet, loaded from System32 on first use (see SystemLibrary.h), and the
// owner of its handles.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "platform/Unique.h"

namespace platform {

struct TWinInetApi {
    decltype(&::InternetOpenW) InternetOpenW;
    decltype(&::InternetConnectW) InternetConnectW;
    decltype(&::HttpOpenRequestW) HttpOpenRequestW;
    decltype(&::HttpSendRequestW) HttpSendRequestW;
    decltype(&::HttpQueryInfoW) HttpQueryInfoW;
    decltype(&::InternetReadFile) InternetReadFile;
    decltype(&::InternetQueryDataAvailable) InternetQueryDataAvailable;
    decltype(&::InternetCloseHandle) InternetCloseHandle;
    decltype(&::InternetSetOptionW) InternetSetOptionW;
    decltype(&::InternetQueryOptionW) InternetQueryOptionW;
    decltype(&::InternetCanonicalizeUrlW) InternetCanonicalizeUrlW;
    decltype(&::InternetCrackUrlW) InternetCrackUrlW;
    decltype(&::DeleteUrlCacheEntryW) DeleteUrlCacheEntryW;
};

// The library's functions, or null when it or one of them is missing.
// Safe to call from any thread.
const TWinInetApi* WinInet();

// Sets the connect, send and receive time-outs of a session, connection or
// request. Set them on the request before it is sent: Wine, for one, applies
// a receive time-out only there.
void SetTimeouts(HINTERNET handle, DWORD milliseconds);

struct InternetTraits {
    using Type = HINTERNET;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { WinInet()->InternetCloseHandle(h); }
};
using UniqueInternet = Unique<InternetTraits>;

}  // namespace platform
