// WinINet, loaded from System32 on first use (see SystemLibrary.h), and the
// owner of its handles.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

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
    decltype(&::InternetSetStatusCallbackW) InternetSetStatusCallbackW;
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

// One HTTP request whose every wait ends at its deadline or at a stop
// request, whatever the server does. The session is asynchronous: WinINet
// resolves, connects, shakes hands, sends, receives the headers and fills
// its buffer on threads of its own, and the owner's thread only waits for
// the completion, checking the stop every StopPollMilliseconds.
//
// Closing a handle does not end a synchronous call blocked in it (Wine
// keeps reading for as long as the server sends; see docs/building.md), so the
// calls are never left to block. When a wait gives up, the operation is
// abandoned: the handles are closed at once, here, by their one owner, and
// the memory the operation may still write into (its completion record,
// the read buffer, the body being sent) is left to it, never freed.
class TimedRequest {
public:
    using StopTest = bool (*)();
    static constexpr DWORD StopPollMilliseconds = 50;
    static constexpr DWORD BufferSize = 1024;

    explicit TimedRequest(StopTest AStopRequested) : stopRequested_(AStopRequested) {}
    ~TimedRequest() { Close(); }
    TimedRequest(const TimedRequest&) = delete;
    TimedRequest& operator=(const TimedRequest&) = delete;

    // The next waits end at most AMilliseconds from now.
    void StartDeadline(DWORD AMilliseconds);
    // Session, connection and request, with the connect, send and receive
    // time-outs of each socket call inside WinINet.
    bool Open(const wchar_t* AVerb, const std::wstring& AHost, INTERNET_PORT APort, const std::wstring& AObject,
              DWORD AFlags, DWORD ATimeoutMilliseconds);
    // Sends the request and waits for the answer's headers.
    bool Send(const std::wstring& AHeaders, std::string ABody);
    // A numeric header of the answer; false when it is missing.
    bool QueryNumber(DWORD AInfoLevel, DWORD& AValue) const;
    // A header of the answer as text (at most 127 characters); empty when it
    // is missing or longer.
    std::wstring QueryText(DWORD AInfoLevel) const;
    // Whether the answer came over TLS (SECURITY_FLAG_SECURE): checked after
    // an https request is sent, whatever the flags made of it.
    bool IsSecure() const;
    // The bytes of the answer that have arrived, waiting for at least one;
    // 0 at its end.
    bool QueryAvailable(DWORD& AAvailable);
    // Reads up to ASize (at most BufferSize) bytes; AData points at them
    // until the next call.
    bool Read(DWORD ASize, const std::uint8_t*& AData, DWORD& ARead);
    // Closes request, connection and session, in that order.
    void Close();
    bool IsOpen() const { return session_ || connection_ || request_; }

private:
    struct TCompletion;
    static void CALLBACK OnStatus(HINTERNET, DWORD_PTR AContext, DWORD AStatus, LPVOID AInfo, DWORD);
    // Waits for the operation just started; false, with everything closed,
    // when it failed, the deadline passed or a stop was requested.
    bool Complete();
    bool Abandon();

    StopTest stopRequested_;
    DWORD deadlineStart_ = 0;
    DWORD deadlineLength_ = 0;
    TCompletion* completion_ = nullptr;  // owned: deleted by Close unless abandoned
    UniqueInternet session_;
    UniqueInternet connection_;
    UniqueInternet request_;
};

}  // namespace platform
