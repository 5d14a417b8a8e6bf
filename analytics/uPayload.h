// The body of one analytics event: the collection service's form encoding
// (Measurement Protocol v1) or the JSON of its successor (GA4). Pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace payload {

struct TEventFields {
    std::wstring TrackingID;
    std::wstring ClientID;
    std::wstring Category;
    std::wstring Name;
    std::wstring Label;
    std::int32_t Value = 0;
    // The campaign alone (GA4 only): a dimension of its own, which stays
    // whole when the category has to be cut.
    std::wstring Campaign;
    // The language the window showed, a lowercase tag ("de", "pt-br"); sent
    // when not empty.
    std::wstring Language;
};

// GA4 keeps no parameter value longer than this many characters: it drops
// the parameter.
constexpr std::size_t GA4ValueLimit = 100;

// At most ALimit characters of AValue (a surrogate pair is one character,
// never split).
std::wstring_view CutToCharacters(std::wstring_view AValue, std::size_t ALimit);

// "v=1&tid=%0:s&cid=%1:s&t=event&ec=%2:s&ea=%3:s&el=%4:s&ev=%5:d", then
// "&ul=" and the language (the protocol's user-language field) when known.
std::wstring ComposePayload(const TEventFields& fields);

// A value made safe for the body: "&", "=", "+", "%", "#", blanks, control
// characters and everything outside printable ASCII are percent-encoded (as
// UTF-8), so that no value can add or change a field. Every value the
// program produces itself (identifiers, the braced client id, event names,
// the built-in campaign) passes unchanged.
std::wstring EncodeFormValue(const std::wstring& value);

// The GA4 body of one event, as UTF-8 bytes:
// {"client_id":"…","events":[{"name":"…","params":{"category":"…",
// "campaign":"…","label":"…","value":N,"engagement_time_msec":1,
// "session_id":"…"}}]}
// "campaign" and "label" only when not empty, then "device":{"language":"…"}
// beside "events" when the language is known; every string value cut to
// GA4ValueLimit characters. Every string is JSON-escaped,
// so that no value can end its string early or add a field.
std::string ComposeJsonPayload(const TEventFields& fields, std::wstring_view sessionID);

// The GA4 collection object: "/mp/collect?measurement_id=…&api_secret=…",
// both values encoded as EncodeFormValue does.
std::wstring ComposeGA4Object(std::wstring_view measurementID, std::wstring_view apiSecret);

// The session id of a run started at `fileTime` (100 ns units since 1601,
// as the system clock gives it): the start in whole seconds of Unix time,
// in decimal, the form the service's own page tags use.
std::wstring SessionIDAt(std::uint64_t fileTime);

}  // namespace payload
