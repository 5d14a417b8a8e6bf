// One usage event as the installer sends it, in either of its two forms: the
// form-encoded body of POST /collect (Measurement Protocol v1) or the JSON
// body of POST /mp/collect (GA4). Reading it checks every value against the
// rules the installer's values follow; an event is taken whole or refused
// with a one-line reason. Pure: text in, fields out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace collect {

// No body longer than this is read.
inline constexpr std::size_t BodyLimit = 8192;
// The longest language tag taken.
inline constexpr std::size_t LanguageLimit = 35;

// The five events the installer reports, in funnel order.
inline constexpr const char* EventNames[] = {"install_start", "install_pause", "install_resume", "install_cancel",
                                             "install_finish"};
inline constexpr int EventNameCount = 5;
// The index of `name` in EventNames, -1 when it is none of them.
int EventIndex(std::string_view name);

struct Event {
    std::string ClientID;   // the installation's identifier, braces included; may be empty
    std::string SessionID;  // GA4 only: the run's start in Unix seconds
    std::string Name;       // one of EventNames
    std::string Version;    // the version tag, "quellox1.6.9restart"
    std::string Campaign;   // the campaign before the A/B suffix: the stamped cookie or the switch's value
    std::string Variant;    // "a" or "b"
    std::string Label;
    std::int32_t Value = 0;
    std::string Language;  // the language the installer's window showed, lowercase; empty when not sent
};

// Which ids and secrets the collector takes.
struct Acceptance {
    std::vector<std::string> TrackingIDs;  // v1's tid
    struct Stream {
        std::string MeasurementID;
        std::string ApiSecret;
    };
    std::vector<Stream> Streams;  // GA4's measurement_id and api_secret
};

// The form body of POST /collect: exactly the fields v=1, tid, cid, t=event,
// ec, ea, el and ev, and optionally ul (the window's language), each once,
// percent-encoded ('+' is a blank). False with the reason.
bool ParseForm(std::string_view body, const Acceptance& accepted, Event& event, std::string& reason);

// The query of POST /mp/collect: measurement_id and api_secret, checked
// against the configured streams. `denied` tells a wrong id or secret from
// a malformed query.
bool CheckStream(std::string_view query, const Acceptance& accepted, std::string& reason, bool& denied);

// The JSON body of POST /mp/collect: {"client_id":…,"events":[{"name":…,
// "params":{"category":…,"campaign":…,"label":…,"value":N,"session_id":…}}]},
// one to 25 events, and optionally "device":{"language":…} (the window's
// language, for all of them); other keys are allowed and ignored. False with
// the reason; then none of the events is taken.
bool ParseJson(std::string_view body, std::vector<Event>& events, std::string& reason);

// The event category, "<version tag>-<campaign>", into version, campaign and
// variant; the campaign ends in the A/B suffix "-affiliate_31095-ab_afterinstall_a"
// (or "_b"), which is all of it when no campaign was given.
bool SplitCategory(std::string_view category, Event& event, std::string& reason);

// Percent-decoding of a form value; '+' is a blank. False on a bad escape.
bool DecodeFormValue(std::string_view text, std::string& decoded);

}  // namespace collect
