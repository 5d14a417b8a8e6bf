// GoogleAnalitics: usage events queued by the window and delivered, one at
// a time and in order, by a sender thread; and the installation's anonymous
// client identifier, kept in the registry.
#include "analytics/uGoogleAnalitics.h"

#include <objbase.h>

#include "Deployment.h"
#include "analytics/uPayload.h"
#include "platform/Strings.h"
#include "platform/WinInet.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"

// The state that needs clean-up, defined in this unit only: an inline
// definition in the header gives every unit that includes it its own copy
// of the start-up and clean-up code.
std::vector<TGAItem> GoogleAnalitics::EventQueue;
platform::UniqueHandle GoogleAnalitics::ThreadHandle;
std::wstring GoogleAnalitics::ClientID;
std::wstring GoogleAnalitics::EventCategory;
std::wstring GoogleAnalitics::SessionID;

namespace {

constexpr const wchar_t* ClientIDKey = L"Software\\Calderwyn\\Google Analytics Package\\1.x\\Settings\\";
constexpr const wchar_t* ClientIDValue = L"ClientID";
constexpr const wchar_t* ContentTypeHeader = L"Content-Type: application/x-www-form-urlencoded";
constexpr const wchar_t* JsonContentTypeHeader = L"Content-Type: application/json";
// Fresh from the server every time, nothing cached, no cookies, no dialogs.
constexpr DWORD RequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                               INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE;
// Over https, no redirect is followed: one to a plain http address would
// send the event, the client id with it, in clear. Its status counts as an
// answer, as any other does.
constexpr DWORD SecureFlags = INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT;

class QueueGuard {
public:
    QueueGuard() { EnterCriticalSection(&GoogleAnalitics::QueueLock); }
    ~QueueGuard() { LeaveCriticalSection(&GoogleAnalitics::QueueLock); }
    QueueGuard(const QueueGuard&) = delete;
    QueueGuard& operator=(const QueueGuard&) = delete;
};

std::string ToAnsi(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                            nullptr);
    return bytes;
}

// What the build's protocol makes of one event: the object to post to, the
// header and the body. v1 posts the form encoding to the address's own
// object; GA4 posts JSON to /mp/collect with its query on the same server.
struct TEventRequest {
    std::wstring Object;
    const wchar_t* Header = nullptr;
    std::string Body;
};

TEventRequest ComposeRequest(std::wstring AObject, const TGAItem& AItem) {
    payload::TEventFields fields{deployment::TrackingID,     GoogleAnalitics::ClientID, GoogleAnalitics::EventCategory,
                                 AItem.EventName,            AItem.EventLabel,          AItem.EventValue};
    if constexpr (deployment::AnalyticsGA4)
        return {payload::ComposeGA4Object(deployment::GA4MeasurementID, deployment::GA4ApiSecret),
                JsonContentTypeHeader, payload::ComposeJsonPayload(fields, GoogleAnalitics::SessionID)};
    return {std::move(AObject), ContentTypeHeader, ToAnsi(payload::ComposePayload(fields))};
}

}  // namespace

void GoogleAnalitics::Init() {
    InitializeCriticalSection(&QueueLock);
    EventQueue.clear();
    LoadClientID();
    MakeEventCategory();
    if constexpr (deployment::AnalyticsGA4) MakeSessionID();
    ThreadHandle.reset(CreateThread(nullptr, 0, SenderThread, nullptr, 0, &ThreadID));
    if (!ThreadHandle) ExitProcess(1);
}

void GoogleAnalitics::AddEvent(const std::wstring& AName, const std::wstring& ALabel, std::int32_t AValue) {
    QueueGuard guard;
    EventQueue.push_back({AName, ALabel, AValue});
}

void GoogleAnalitics::Done() {
    if (ThreadState.load() < 2) {
        DWORD start = GetTickCount();
        while (ThreadState.load() != 2) {
            {
                // A stop that the starting thread overwrote with 0 is made again here.
                QueueGuard guard;
                if (ThreadState.load() == 0 &&
                    (EventQueue.empty() || Globals::GetTickCountDiff(start) > DrainLimitMilliseconds))
                    ThreadState.exchange(1);
            }
            Sleep(10);
        }
    }
    WaitForSingleObject(ThreadHandle.get(), INFINITE);
    ThreadHandle.reset();
    EventQueue.clear();
    DeleteCriticalSection(&QueueLock);
}

void GoogleAnalitics::LoadClientID() {
    platform::UniqueKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ClientIDKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS | platform::ProgramRegistryView, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;

    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), ClientIDValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size > 0 &&
        type == REG_SZ) {
        std::wstring stored((size + 1) / 2, L'\0');
        DWORD read = size;
        if (RegQueryValueExW(key.get(), ClientIDValue, nullptr, &type, reinterpret_cast<BYTE*>(stored.data()),
                             &read) == ERROR_SUCCESS && type == REG_SZ) {
            stored.resize(read / 2);
            ClientID = platform::Trim(stored);
        }
    }
    if (!ClientID.empty()) return;

    GUID guid;
    if (FAILED(CoCreateGuid(&guid))) return;
    wchar_t text[40];
    if (StringFromGUID2(guid, text, 40) == 0) return;
    ClientID = text;
    RegSetValueExW(key.get(), ClientIDValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(ClientID.c_str()),
                   static_cast<DWORD>((ClientID.size() + 1) * sizeof(wchar_t)));
}

void GoogleAnalitics::MakeEventCategory() {
    EventCategory = Globals::VersionTag;
    if (!Globals::Campaign.empty()) EventCategory += L"-" + Globals::Campaign;
}

void GoogleAnalitics::MakeSessionID() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SessionID = payload::SessionIDAt((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

DWORD WINAPI GoogleAnalitics::SenderThread(LPVOID) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ThreadState.exchange(0);
    TGAItem item;
    for (;;) {
        Sleep(100);
        if (ThreadState.load() == 1) break;
        if (!PopEvent(item)) continue;
        // One event in flight; a later one is never sent before it.
        while (!SendEvent(item)) {
            Sleep(10);
            if (ThreadState.load() == 1) break;
        }
    }
    ThreadState.exchange(2);
    CoUninitialize();
    return 0;
}

bool GoogleAnalitics::PopEvent(TGAItem& AItem) {
    QueueGuard guard;
    if (EventQueue.empty()) return false;
    AItem = std::move(EventQueue.front());
    EventQueue.erase(EventQueue.begin());
    return true;
}

bool GoogleAnalitics::SendEvent(const TGAItem& AItem) {
    const DWORD started = GetTickCount();
    const platform::TWinInetApi* inet = platform::WinInet();
    if (inet == nullptr) return false;
    inet->DeleteUrlCacheEntryW(Localizer::AnalyticsURL.c_str());
    std::wstring host;
    std::wstring object;
    WORD port = 0;
    bool secure = false;
    if (!CrackURL(Localizer::AnalyticsURL, host, object, port, secure) || host.empty() || object.empty()) return false;

    // Closed in reverse order of opening: request, connection, session.
    platform::UniqueInternet session(inet->InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) return false;
    platform::SetTimeouts(session.get(), AttemptTimeout);
    platform::UniqueInternet connection(inet->InternetConnectW(session.get(), host.c_str(), port,
                                                               nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) return false;
    TEventRequest event = ComposeRequest(std::move(object), AItem);
    platform::UniqueInternet request(inet->HttpOpenRequestW(connection.get(), L"POST", event.Object.c_str(), nullptr,
                                                            nullptr, nullptr,
                                                            RequestFlags | (secure ? SecureFlags : 0), 0));
    if (!request) return false;
    platform::SetTimeouts(request.get(), AttemptTimeout);

    if (!inet->HttpSendRequestW(request.get(), event.Header, static_cast<DWORD>(wcslen(event.Header)),
                                event.Body.data(), static_cast<DWORD>(event.Body.size())))
        return false;

    // Any status counts, an error status too; but a connection closed before
    // any answer (which Wine reports as a successful send) is not a delivery.
    DWORD status = 0;
    DWORD size = sizeof(status);
    DWORD index = 0;
    if (!inet->HttpQueryInfoW(request.get(), HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &status, &size, &index) ||
        status == 0)
        return false;

    // The answer is read to its end and otherwise ignored; only what has
    // arrived is read, since a synchronous read waits for its whole buffer.
    // The time-outs bound each wait, not an answer that trickles without
    // end: the attempt gives up at its deadline, or at a stop request, and
    // the event counts as not delivered.
    char buffer[1024];
    for (bool first = true;; first = false) {
        DWORD elapsed = Globals::GetTickCountDiff(started);
        if (!first && (elapsed >= AttemptDeadline || ThreadState.load() == 1)) return false;
        // The next wait ends at the deadline, too.
        DWORD remaining = elapsed < AttemptDeadline ? AttemptDeadline - elapsed : 1;
        if (remaining < AttemptTimeout)
            inet->InternetSetOptionW(request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &remaining, sizeof(remaining));
        DWORD available = 0;
        if (!inet->InternetQueryDataAvailable(request.get(), &available, 0, 0)) return false;
        if (available == 0) return true;
        DWORD read = 0;
        if (!inet->InternetReadFile(request.get(), buffer, available < sizeof(buffer) ? available : sizeof(buffer),
                                    &read))
            return false;
        if (read == 0) return true;
    }
}

bool GoogleAnalitics::CrackURL(const std::wstring& AURL, std::wstring& AHost, std::wstring& AObject,
                               WORD& APort, bool& ASecure) {
    AHost.clear();
    AObject.clear();
    APort = 0;
    ASecure = false;
    const platform::TWinInetApi* inet = platform::WinInet();
    std::wstring canonical(INTERNET_MAX_URL_LENGTH + 1, L'\0');  // 2084 units
    DWORD length = static_cast<DWORD>(canonical.size());
    if (!inet->InternetCanonicalizeUrlW(AURL.c_str(), canonical.data(), &length, ICU_BROWSER_MODE)) return false;
    canonical.resize(length);

    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = 32;
    parts.dwHostNameLength = 256;
    parts.dwUserNameLength = 128;
    parts.dwPasswordLength = 128;
    parts.dwUrlPathLength = 2048;
    parts.dwExtraInfoLength = 2048;
    if (!inet->InternetCrackUrlW(canonical.c_str(), 0, 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    ASecure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    APort = parts.nPort;  // the scheme's default port unless the address names one
    if (parts.lpszHostName != nullptr) AHost.assign(parts.lpszHostName, parts.dwHostNameLength);
    // The object keeps the query and the fragment.
    if (parts.lpszUrlPath != nullptr) AObject = canonical.substr(parts.lpszUrlPath - canonical.c_str());
    return true;
}
