// Reading the installer's events, in either form.
#include "host/collect/Event.h"

#include <charconv>

#include "analytics/uPayload.h"
#include "host/collect/Json.h"
#include "startup/uSettingsRules.h"
#include "startup/uStamp.h"

namespace collect {

namespace {

bool Refuse(std::string& reason, std::string text) {
    reason = std::move(text);
    return false;
}

std::wstring Widen(std::string_view text) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c);  // bytes past ASCII are refused by the rules
    return wide;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += static_cast<char>(c);
    return narrow;
}

// Every stored value follows the stamping rules: at most 100 characters of
// printable ASCII, no '"' or '\', no blank at either end.
bool CheckValue(const char* what, const std::string& value, std::string& reason) {
    std::string why;
    if (stamp::IsAcceptedValue(Widen(value), why)) return true;
    return Refuse(reason, std::string(what) + " refused: " + why);
}

bool ParseInt32(std::string_view text, std::int32_t& value) {
    if (text.empty() || text.size() > 11) return false;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// The A/B suffix the installer gives every campaign, for variant 1 and 2.
std::string VariantSuffix(int variant) { return Narrow(rules::AddVariantSuffix(L"", variant)); }

// The campaign as the installer finished it, into the campaign and its
// variant. A text that the GA4 form cut at its limit may have lost its
// suffix; it is kept as it came, without a variant.
bool SplitCampaign(std::string_view finished, bool mayBeCut, Event& event, std::string& reason) {
    for (int variant = 1; variant <= 2; ++variant) {
        std::string suffix = VariantSuffix(variant);
        const char* letter = variant == 2 ? "b" : "a";
        if (finished == suffix) {
            event.Campaign.clear();
            event.Variant = letter;
            return true;
        }
        if (finished.size() > suffix.size() && finished.ends_with(suffix) &&
            finished[finished.size() - suffix.size() - 1] == '-') {
            event.Campaign = std::string(finished.substr(0, finished.size() - suffix.size() - 1));
            event.Variant = letter;
            return CheckValue("the campaign", event.Campaign, reason);
        }
    }
    if (mayBeCut && finished.size() == payload::GA4ValueLimit) {
        event.Campaign = std::string(finished);
        event.Variant.clear();
        return CheckValue("the campaign", event.Campaign, reason);
    }
    return Refuse(reason, "the campaign does not end in the A/B suffix -" + VariantSuffix(1));
}

bool CheckVersion(std::string_view version, std::string& reason) {
    if (version.empty()) return Refuse(reason, "the category is not <version tag>-<campaign>");
    if (!CheckValue("the version tag", std::string(version), reason)) return false;
    for (char c : version) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
        if (!plain) return Refuse(reason, "the version tag holds a character other than letters, digits, '.' and '_'");
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits "a=1&b=2" into its fields, decoded; every field once, with '='.
template <class OnField>
bool ForEachField(std::string_view text, std::string& reason, OnField onField) {
    while (!text.empty()) {
        std::size_t end = text.find('&');
        std::string_view field = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        std::size_t equals = field.find('=');
        if (equals == std::string_view::npos) return Refuse(reason, "malformed form: a field has no value");
        std::string name, value;
        if (!DecodeFormValue(field.substr(0, equals), name) || !DecodeFormValue(field.substr(equals + 1), value))
            return Refuse(reason, "malformed form: bad percent-encoding");
        if (!onField(name, value)) return false;
    }
    return true;
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The language of the installer's window, a tag of 2-3 letters and then
// subtags of '-' and 1-8 letters or digits ("de", "pt-br", "zh-cn"),
// lowercased.
bool ReadLanguage(std::string_view text, std::string& language, std::string& reason) {
    if (text.size() > LanguageLimit)
        return Refuse(reason, "the language refused: longer than " + std::to_string(LanguageLimit) + " characters");
    std::string read;
    bool first = true;
    while (true) {
        std::size_t dash = text.find('-');
        std::string_view subtag = text.substr(0, dash);
        bool ok = first ? subtag.size() >= 2 && subtag.size() <= 3 : !subtag.empty() && subtag.size() <= 8;
        for (char c : subtag) ok = ok && (IsLetter(c) || (!first && IsDigit(c)));
        if (!ok)
            return Refuse(reason, "the language refused: not a language tag (2-3 letters, then subtags of 1-8 letters or digits)");
        for (char c : subtag) read += Lower(c);
        if (dash == std::string_view::npos) break;
        read += '-';
        text = text.substr(dash + 1);
        first = false;
    }
    language = std::move(read);
    return true;
}

const json::Value* Member(const json::Value& object, std::string_view key, json::Value::Kind kind, bool required,
                          std::string& reason, bool& ok) {
    const json::Value* value = object.Find(key);
    ok = true;
    if (value == nullptr) {
        if (required) ok = Refuse(reason, "the JSON has no \"" + std::string(key) + "\"");
        return nullptr;
    }
    if (value->Type != kind) {
        ok = Refuse(reason, "the JSON's \"" + std::string(key) + "\" is of another type");
        return nullptr;
    }
    return value;
}

}  // namespace

int EventIndex(std::string_view name) {
    for (int i = 0; i < EventNameCount; ++i)
        if (name == EventNames[i]) return i;
    return -1;
}

bool DecodeFormValue(std::string_view text, std::string& decoded) {
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] != '%') {
            decoded += text[i];
        } else {
            if (i + 2 >= text.size()) return false;
            int h = HexDigit(text[i + 1]), l = HexDigit(text[i + 2]);
            if (h < 0 || l < 0) return false;
            decoded += static_cast<char>(h * 16 + l);
            i += 2;
        }
    }
    return true;
}

bool SplitCategory(std::string_view category, Event& event, std::string& reason) {
    std::size_t dash = category.find('-');
    if (dash == std::string_view::npos) return Refuse(reason, "the category is not <version tag>-<campaign>");
    if (!CheckVersion(category.substr(0, dash), reason)) return false;
    event.Version = std::string(category.substr(0, dash));
    return SplitCampaign(category.substr(dash + 1), false, event, reason);
}

bool ParseForm(std::string_view body, const Acceptance& accepted, Event& event, std::string& reason) {
    // The first eight are required; ul, the window's language, comes from
    // the translated copies only.
    static constexpr const char* Fields[] = {"v", "tid", "cid", "t", "ec", "ea", "el", "ev", "ul"};
    constexpr int FieldCount = 9, Required = 8, Language = 8;
    std::string values[FieldCount];
    bool seen[FieldCount] = {};
    bool ok = ForEachField(body, reason, [&](const std::string& name, const std::string& value) {
        int index = 0;
        while (index < FieldCount && name != Fields[index]) ++index;
        if (index == FieldCount) return Refuse(reason, "malformed form: an unknown field");
        if (seen[index]) return Refuse(reason, "malformed form: the field " + name + " is given twice");
        seen[index] = true;
        values[index] = value;
        return true;
    });
    if (!ok) return false;
    for (int i = 0; i < Required; ++i)
        if (!seen[i]) return Refuse(reason, std::string("malformed form: the field ") + Fields[i] + " is missing");
    if (values[0] != "1") return Refuse(reason, "malformed form: v is not 1");
    if (values[3] != "event") return Refuse(reason, "malformed form: t is not event");
    bool known = false;
    for (const auto& id : accepted.TrackingIDs) known = known || id == values[1];
    if (!known) return Refuse(reason, "unknown tracking id");
    if (EventIndex(values[5]) < 0) return Refuse(reason, "unknown event name");
    Event read;
    if (!CheckValue("cid", values[2], reason) || !CheckValue("el", values[6], reason)) return false;
    if (!ParseInt32(values[7], read.Value)) return Refuse(reason, "malformed form: ev is not a 32-bit integer");
    if (values[4].size() > 400) return Refuse(reason, "ec refused: longer than 400 characters");
    if (!SplitCategory(values[4], read, reason)) return false;
    if (seen[Language] && !ReadLanguage(values[Language], read.Language, reason)) return false;
    read.ClientID = values[2];
    read.Name = values[5];
    read.Label = values[6];
    event = std::move(read);
    return true;
}

bool CheckStream(std::string_view query, const Acceptance& accepted, std::string& reason, bool& denied) {
    denied = false;
    std::string id, secret;
    bool seenID = false, seenSecret = false;
    bool ok = ForEachField(query, reason, [&](const std::string& name, const std::string& value) {
        bool& seen = name == "measurement_id" ? seenID : seenSecret;
        if (name != "measurement_id" && name != "api_secret") return Refuse(reason, "unknown query field");
        if (seen) return Refuse(reason, "a query field is given twice");
        seen = true;
        (name == "measurement_id" ? id : secret) = value;
        return true;
    });
    if (!ok) return false;
    if (!seenID || !seenSecret) return Refuse(reason, "the query needs measurement_id and api_secret");
    denied = true;
    for (const auto& stream : accepted.Streams) {
        if (stream.MeasurementID != id) continue;
        // The secret is compared in time that does not depend on where it differs.
        if (stream.ApiSecret.size() != secret.size()) break;
        unsigned char difference = 0;
        for (std::size_t i = 0; i < secret.size(); ++i) difference |= static_cast<unsigned char>(stream.ApiSecret[i] ^ secret[i]);
        if (difference != 0) break;
        denied = false;
        return true;
    }
    return Refuse(reason, "wrong measurement_id or api_secret");
}

bool ParseJson(std::string_view body, std::vector<Event>& events, std::string& reason) {
    json::Value document;
    if (!json::Parse(body, document, reason)) return false;
    if (document.Type != json::Value::Kind::Object) return Refuse(reason, "the JSON is not an object");
    using Kind = json::Value::Kind;
    bool ok;
    const json::Value* client = Member(document, "client_id", Kind::String, true, reason, ok);
    if (!ok) return false;
    if (!CheckValue("client_id", client->Text, reason)) return false;
    // The window's language, from the translated copies only; the device's
    // other members are not kept.
    std::string language;
    const json::Value* device = Member(document, "device", Kind::Object, false, reason, ok);
    if (!ok) return false;
    if (device != nullptr) {
        const json::Value* tag = Member(*device, "language", Kind::String, false, reason, ok);
        if (!ok) return false;
        if (tag != nullptr && !ReadLanguage(tag->Text, language, reason)) return false;
    }
    const json::Value* list = Member(document, "events", Kind::Array, true, reason, ok);
    if (!ok) return false;
    if (list->Items.empty() || list->Items.size() > 25) return Refuse(reason, "the JSON holds no event or more than 25");
    std::vector<Event> read;
    for (const json::Value& item : list->Items) {
        if (item.Type != Kind::Object) return Refuse(reason, "an event is not an object");
        Event event;
        event.ClientID = client->Text;
        event.Language = language;
        const json::Value* name = Member(item, "name", Kind::String, true, reason, ok);
        if (!ok) return false;
        if (EventIndex(name->Text) < 0) return Refuse(reason, "unknown event name");
        event.Name = name->Text;
        const json::Value* params = Member(item, "params", Kind::Object, true, reason, ok);
        if (!ok) return false;
        const json::Value* category = Member(*params, "category", Kind::String, true, reason, ok);
        if (!ok) return false;
        const json::Value* campaign = Member(*params, "campaign", Kind::String, false, reason, ok);
        if (!ok) return false;
        const json::Value* label = Member(*params, "label", Kind::String, false, reason, ok);
        if (!ok) return false;
        const json::Value* value = Member(*params, "value", Kind::Number, false, reason, ok);
        if (!ok) return false;
        const json::Value* session = Member(*params, "session_id", Kind::String, false, reason, ok);
        if (!ok) return false;

        std::string_view categoryText = category->Text;
        std::size_t dash = categoryText.find('-');
        if (dash == std::string_view::npos) return Refuse(reason, "the category is not <version tag>-<campaign>");
        if (!CheckVersion(categoryText.substr(0, dash), reason)) return false;
        event.Version = std::string(categoryText.substr(0, dash));
        // The campaign has a parameter of its own, which the category's cut
        // at the service's limit leaves whole.
        std::string_view finished = campaign != nullptr ? std::string_view(campaign->Text) : categoryText.substr(dash + 1);
        if (!SplitCampaign(finished, true, event, reason)) return false;
        if (label != nullptr) {
            if (!CheckValue("label", label->Text, reason)) return false;
            event.Label = label->Text;
        }
        if (value != nullptr && !ParseInt32(value->Text, event.Value))
            return Refuse(reason, "the value is not a 32-bit integer");
        if (session != nullptr) {
            if (!CheckValue("session_id", session->Text, reason)) return false;
            event.SessionID = session->Text;
        }
        read.push_back(std::move(event));
    }
    events = std::move(read);
    return true;
}

}  // namespace collect
