// Fuzzes the collector's reading of request bodies: any bytes as a form
// body, as GA4 JSON and as a stream's query, no crash; and every event it
// takes holds only values the stamping rules allow (and a lowercase language
// tag), so that nothing else can reach the database.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "host/collect/Event.h"
#include "host/collect/Json.h"

namespace {

void CheckValue(const std::string& value) {
    if (value.size() > 100) std::abort();
    for (unsigned char c : value)
        if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') std::abort();
}

void CheckEvent(const collect::Event& event) {
    if (collect::EventIndex(event.Name) < 0) std::abort();
    for (const std::string* value : {&event.ClientID, &event.SessionID, &event.Campaign, &event.Label, &event.Version})
        CheckValue(*value);
    if (event.Variant != "a" && event.Variant != "b" && !event.Variant.empty()) std::abort();
    // The window's language: empty, or a lowercase tag of at most 35 characters.
    if (event.Language.size() > collect::LanguageLimit) std::abort();
    for (char c : event.Language)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const collect::Acceptance accepted{{"UA-00000000-0"}, {{"G-QLX7TEST42", "s3cret"}}};
    collect::Event event;
    std::string reason;
    if (collect::ParseForm(text, accepted, event, reason)) CheckEvent(event);
    std::vector<collect::Event> events;
    if (collect::ParseJson(text, events, reason)) {
        if (events.empty() || events.size() > 25) std::abort();
        for (const auto& e : events) CheckEvent(e);
    }
    bool denied = false;
    collect::CheckStream(text, accepted, reason, denied);
    // Whatever JSON reads, its text quoted again reads back the same.
    collect::json::Value value;
    if (collect::json::Parse(text, value, reason) && value.Type == collect::json::Value::Kind::String) {
        collect::json::Value again;
        if (!collect::json::Parse(collect::json::Quote(value.Text), again, reason) || again.Text != value.Text)
            std::abort();
    }
    return 0;
}
