// WinINet, loaded from System32 on first use.
#include "platform/WinInet.h"

#include "platform/SystemLibrary.h"

#include <utility>

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
        {"InternetSetStatusCallbackW", &api.InternetSetStatusCallbackW},
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

// What an asynchronous operation writes when it completes, and everything
// it reads while it runs: it lives until the operation is over, which for an
// abandoned one may be never (a server that trickles holds WinINet's own
// thread), so an abandoned record is not freed.
struct TimedRequest::TCompletion {
    UniqueHandle Done{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    DWORD_PTR Result = 0;
    DWORD Error = 0;
    DWORD Available = 0;
    DWORD Read = 0;
    std::wstring Headers;
    std::string Body;
    std::uint8_t Buffer[BufferSize] = {};
};

namespace {

DWORD Elapsed(DWORD start) { return GetTickCount() - start; }

}  // namespace

void CALLBACK TimedRequest::OnStatus(HINTERNET, DWORD_PTR AContext, DWORD AStatus, LPVOID AInfo, DWORD) {
    // Only completions touch the record: other notices (a handle closing,
    // say) may come after its owner has let it go.
    if (AStatus != INTERNET_STATUS_REQUEST_COMPLETE || AContext == 0 || AInfo == nullptr) return;
    auto* completion = reinterpret_cast<TCompletion*>(AContext);
    const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(AInfo);
    completion->Result = result->dwResult;
    completion->Error = result->dwError;
    SetEvent(completion->Done.get());
}

void TimedRequest::StartDeadline(DWORD AMilliseconds) {
    deadlineStart_ = GetTickCount();
    deadlineLength_ = AMilliseconds;
}

bool TimedRequest::Open(const wchar_t* AVerb, const std::wstring& AHost, INTERNET_PORT APort,
                        const std::wstring& AObject, DWORD AFlags, DWORD ATimeoutMilliseconds) {
    Close();
    const TWinInetApi* inet = WinInet();
    if (inet == nullptr) return false;
    completion_ = new TCompletion;
    if (!completion_->Done) return false;
    const auto context = reinterpret_cast<DWORD_PTR>(completion_);
    session_.reset(inet->InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC));
    if (!session_) return false;
    if (inet->InternetSetStatusCallbackW(session_.get(), OnStatus) == INTERNET_INVALID_STATUS_CALLBACK) return false;
    SetTimeouts(session_.get(), ATimeoutMilliseconds);
    connection_.reset(inet->InternetConnectW(session_.get(), AHost.c_str(), APort, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, context));
    if (!connection_) return false;
    SetTimeouts(connection_.get(), ATimeoutMilliseconds);
    request_.reset(
        inet->HttpOpenRequestW(connection_.get(), AVerb, AObject.c_str(), nullptr, nullptr, nullptr, AFlags, context));
    if (!request_) return false;
    SetTimeouts(request_.get(), ATimeoutMilliseconds);
    return true;
}

bool TimedRequest::Send(const std::wstring& AHeaders, std::string ABody) {
    if (!request_) return false;
    completion_->Headers = AHeaders;
    completion_->Body = std::move(ABody);
    ResetEvent(completion_->Done.get());
    if (WinInet()->HttpSendRequestW(request_.get(), completion_->Headers.empty() ? nullptr : completion_->Headers.c_str(),
                                    static_cast<DWORD>(completion_->Headers.size()),
                                    completion_->Body.empty() ? nullptr : completion_->Body.data(),
                                    static_cast<DWORD>(completion_->Body.size())))
        return true;
    return GetLastError() == ERROR_IO_PENDING && Complete();
}

bool TimedRequest::QueryNumber(DWORD AInfoLevel, DWORD& AValue) const {
    if (!request_) return false;
    DWORD size = sizeof(AValue);
    DWORD index = 0;
    return WinInet()->HttpQueryInfoW(request_.get(), HTTP_QUERY_FLAG_NUMBER | AInfoLevel, &AValue, &size, &index);
}

std::wstring TimedRequest::QueryText(DWORD AInfoLevel) const {
    if (!request_) return {};
    wchar_t text[128] = {};
    DWORD size = sizeof(text);
    DWORD index = 0;
    if (!WinInet()->HttpQueryInfoW(request_.get(), AInfoLevel, text, &size, &index)) return {};
    return std::wstring(text, size / sizeof(wchar_t));
}

bool TimedRequest::IsSecure() const {
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    return request_ && WinInet()->InternetQueryOptionW(request_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size) &&
           (flags & SECURITY_FLAG_SECURE) != 0;
}

bool TimedRequest::QueryAvailable(DWORD& AAvailable) {
    // Asked again after each completion: the count itself is only given by
    // a call that completes at once, once the data are in WinINet's buffer.
    for (;;) {
        if (!request_) return false;
        ResetEvent(completion_->Done.get());
        completion_->Available = 0;
        if (WinInet()->InternetQueryDataAvailable(request_.get(), &completion_->Available, 0, 0)) {
            AAvailable = completion_->Available;
            return true;
        }
        if (GetLastError() != ERROR_IO_PENDING || !Complete()) return false;
    }
}

bool TimedRequest::Read(DWORD ASize, const std::uint8_t*& AData, DWORD& ARead) {
    if (!request_) return false;
    ResetEvent(completion_->Done.get());
    completion_->Read = 0;
    if (!WinInet()->InternetReadFile(request_.get(), completion_->Buffer, ASize < BufferSize ? ASize : BufferSize,
                                     &completion_->Read)) {
        if (GetLastError() != ERROR_IO_PENDING || !Complete()) return false;
    }
    AData = completion_->Buffer;
    ARead = completion_->Read;
    return true;
}

bool TimedRequest::Complete() {
    HANDLE done = completion_->Done.get();
    for (;;) {
        DWORD elapsed = Elapsed(deadlineStart_);
        if (elapsed >= deadlineLength_ || stopRequested_()) return Abandon();
        DWORD slice = deadlineLength_ - elapsed;
        if (WaitForSingleObject(done, slice < StopPollMilliseconds ? slice : StopPollMilliseconds) == WAIT_OBJECT_0)
            break;
    }
    if (completion_->Result != 0) return true;
    Close();
    return false;
}

bool TimedRequest::Abandon() {
    // The operation keeps its record for as long as it runs.
    completion_ = nullptr;
    Close();
    return false;
}

void TimedRequest::Close() {
    request_.reset();
    connection_.reset();
    session_.reset();
    delete completion_;
    completion_ = nullptr;
}

}  // namespace platform
