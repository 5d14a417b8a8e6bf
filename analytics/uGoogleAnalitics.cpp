// GoogleAnalitics: usage events queued by the window and delivered, one at
// a time and in order, by a sender thread; and the installation's anonymous
// client identifier, kept in the registry.
#include "analytics/uGoogleAnalitics.h"

#include <objbase.h>

#include "Deployment.h"
#include "analytics/uPayload.h"
#include "analytics/uRetryPause.h"
#include "platform/ProtectedFolder.h"
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

bool StopRequested() { return GoogleAnalitics::ThreadState.load() == 1; }

// The jitter of the retry pauses: different in every process. Only the
// sender thread draws, so the state is seeded on first use without a guard
// (a guarded local static would bring in the C++ library's exception
// support, a third of the file).
std::uint32_t RandomState = 0;

std::uint32_t NextRandom() {
    std::uint32_t& state = RandomState;
    if (state == 0) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        state = (static_cast<std::uint32_t>(counter.QuadPart) ^ GetCurrentProcessId() ^ 0x9E3779B9u) | 1u;
    }
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

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
                                 AItem.EventName,            AItem.EventLabel,          AItem.EventValue,
                                 Globals::Campaign,          Localizer::LanguageTag};
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
    // The GA4 service discards an event without a client id (answering 2xx
    // all the same): a run whose id cannot be kept uses one of its own.
    if constexpr (deployment::AnalyticsGA4)
        if (ClientID.empty()) ClientID = platform::NewGuidText();
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
                // A stop that the starting thread overwrote with 0 is made again
                // here. Drained: nothing waiting and nothing in flight.
                QueueGuard guard;
                if (ThreadState.load() == 0 && ((EventQueue.empty() && !EventInFlight) ||
                                                Globals::GetTickCountDiff(start) > DrainLimitMilliseconds))
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
        // One event in flight; a later one is never sent before it. A failed
        // attempt is followed by a pause that grows with each failure, so a
        // failing collector is not hammered by every client at once.
        for (std::uint32_t failures = 1; !SendEvent(item); ++failures) {
            Pause(retry::PauseMilliseconds(failures, NextRandom()));
            if (ThreadState.load() == 1) break;
        }
        EndFlight();
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
    EventInFlight = true;
    return true;
}

void GoogleAnalitics::EndFlight() {
    QueueGuard guard;
    EventInFlight = false;
}

void GoogleAnalitics::Pause(DWORD AMilliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = Globals::GetTickCountDiff(start);
        if (elapsed >= AMilliseconds || StopRequested()) return;
        DWORD left = AMilliseconds - elapsed;
        Sleep(left < platform::TimedRequest::StopPollMilliseconds ? left : platform::TimedRequest::StopPollMilliseconds);
    }
}

bool GoogleAnalitics::SendEvent(const TGAItem& AItem) {
    // One deadline for the whole attempt, in every phase.
    platform::TimedRequest request(StopRequested);
    request.StartDeadline(AttemptDeadline);
    const platform::TWinInetApi* inet = platform::WinInet();
    if (inet == nullptr) return false;
    inet->DeleteUrlCacheEntryW(Localizer::AnalyticsURL.c_str());
    std::wstring host;
    std::wstring object;
    WORD port = 0;
    bool secure = false;
    if (!CrackURL(Localizer::AnalyticsURL, host, object, port, secure) || host.empty() || object.empty()) return false;

    TEventRequest event = ComposeRequest(std::move(object), AItem);
    if (!request.Open(L"POST", host, port, event.Object, RequestFlags | (secure ? SecureFlags : 0),
                      AttemptTimeout))
        return false;
    if (!request.Send(event.Header, std::move(event.Body))) return false;

    // Any status counts, a refusal too; but a connection closed before any
    // answer (which Wine reports as a successful send) is not a delivery, and
    // nor is a 5xx: a proxy or a CDN in front of a collector that is down
    // answers 502, 503 or 504, and the event never reached the collector.
    DWORD status = 0;
    if (!request.QueryNumber(HTTP_QUERY_STATUS_CODE, status) || status == 0) return false;
    if (status >= 500 && status <= 599) return false;

    // The status has arrived: the collector has the event, which is never
    // sent again. The body is read best-effort, within the same deadline,
    // and otherwise ignored; one that trickles without end, or a stop, ends
    // the reading only.
    for (;;) {
        DWORD available = 0;
        if (!request.QueryAvailable(available) || available == 0) return true;
        const std::uint8_t* data = nullptr;
        DWORD read = 0;
        if (!request.Read(available, data, read) || read == 0) return true;
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
