// Runs the analytics reporter in a process of its own, after the
// installer's own start-up: Init, the events named in QUELLOX_PROBE_EVENTS
// (comma-separated), then Done. Prints "Name=value" lines: ClientID,
// EventCategory, DoneMs.
//
// QUELLOX_PROBE_DRAIN_MS shortens the drain limit of Done;
// QUELLOX_PROBE_VOLATILE_PARENT=1 first makes the client id key's parent a
// volatile key, under which the non-volatile key cannot be created.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "analytics/uGoogleAnalitics.h"
#include "platform/SystemLibrary.h"
#include "platform/Unique.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"
#include "tests/support/TestOutput.h"

using testoutput::Environment;
using testoutput::Print;

int wmain() {
    platform::RestrictDllSearchPath();
    Globals::Init();
    Localizer::Init();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    std::wstring drain = Environment(L"QUELLOX_PROBE_DRAIN_MS");
    if (!drain.empty()) GoogleAnalitics::DrainLimitMilliseconds = static_cast<DWORD>(_wtoi(drain.c_str()));
    if (Environment(L"QUELLOX_PROBE_VOLATILE_PARENT") == L"1") {
        HKEY parent = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Calderwyn\\Google Analytics Package\\1.x", 0, nullptr,
                        REG_OPTION_VOLATILE, KEY_ALL_ACCESS | platform::ProgramRegistryView, nullptr, &parent,
                        nullptr);
        if (parent) RegCloseKey(parent);
    }

    GoogleAnalitics::Init();
    Print(L"ClientID", GoogleAnalitics::ClientID);
    Print(L"EventCategory", GoogleAnalitics::EventCategory);

    std::wstring events = Environment(L"QUELLOX_PROBE_EVENTS");
    for (std::size_t start = 0; start < events.size();) {
        std::size_t comma = events.find(L',', start);
        if (comma == std::wstring::npos) comma = events.size();
        GoogleAnalitics::AddEvent(events.substr(start, comma - start), L"", 0);
        start = comma + 1;
    }

    DWORD before = GetTickCount();
    GoogleAnalitics::Done();
    Print(L"DoneMs", std::to_wstring(GetTickCount() - before));
    CoUninitialize();
    return 0;
}
