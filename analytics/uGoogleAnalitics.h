// GoogleAnalitics: usage events queued by the window and delivered, one at
// a time and in order, by a sender thread; and the installation's anonymous
// client identifier, kept in the registry.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Unique.h"

struct TGAItem {
    std::wstring EventName;
    std::wstring EventLabel;
    std::int32_t EventValue = 0;
};

class GoogleAnalitics {
public:
    GoogleAnalitics() = delete;

    // Prepares the queue, the client id and the category, starts the sender.
    static void Init();
    // Appends one event and returns at once.
    static void AddEvent(const std::wstring& AName, const std::wstring& ALabel, std::int32_t AValue);
    // Lets the queue drain (bounded), stops the sender and waits for it.
    static void Done();

    static std::vector<TGAItem> EventQueue;
    static inline CRITICAL_SECTION QueueLock;
    // 0 running, 1 stop requested, 2 stopped.
    static inline std::atomic<LONG> ThreadState{0};
    // The event taken off the queue and not yet delivered nor given up;
    // changed under QueueLock. The queue is drained only when it is empty
    // and nothing is in flight: the run's last event gets the same retries
    // as any other.
    static inline bool EventInFlight = false;
    static platform::UniqueHandle ThreadHandle;
    static inline DWORD ThreadID = 0;
    static std::wstring ClientID;
    static std::wstring EventCategory;
    // GA4 builds only: one id for the run's events, from its start time.
    static std::wstring SessionID;

    static constexpr DWORD DrainLimit = 120000;  // ms Done lets the queue drain
    // The limit Done uses; tests shorten it, the program never does.
    static inline DWORD DrainLimitMilliseconds = DrainLimit;
    // Each attempt's deadline, from its start to the end of the answer, in
    // every phase (name resolution, connection, TLS, sending, the answer's
    // headers and body), and the time-outs of each socket call in it. An
    // event counts as delivered once the answer's status has arrived; the
    // body is read within what is left of the deadline. A stop request ends
    // the attempt at once, so Done returns within the drain limit and a
    // moment, and never later than the limit plus one deadline.
    static constexpr DWORD AttemptTimeout = 10000;
    static constexpr DWORD AttemptDeadline = AttemptTimeout;

private:
    static void LoadClientID();
    static void MakeEventCategory();
    static void MakeSessionID();
    static DWORD WINAPI SenderThread(LPVOID);
    static bool PopEvent(TGAItem& AItem);
    static void EndFlight();
    // Sleeps AMilliseconds, or until a stop is requested.
    static void Pause(DWORD AMilliseconds);
    // True once the answer's status has arrived.
    static bool SendEvent(const TGAItem& AItem);
    // The host, the object (path and query), the port (the scheme's own
    // unless the address names one) and whether it is https.
    static bool CrackURL(const std::wstring& AURL, std::wstring& AHost, std::wstring& AObject, WORD& APort,
                         bool& ASecure);
};
