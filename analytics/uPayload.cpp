// The body of one analytics event, in either protocol. Pure.
#include "analytics/uPayload.h"

#include "platform/Strings.h"

namespace payload {

namespace {

bool PassesUnchanged(char32_t c) {
    return c > 0x20 && c < 0x7F && c != U'&' && c != U'=' && c != U'+' && c != U'%' && c != U'#';
}

// `value` as a JSON string, quotes included: quotes, backslashes and control
// characters escaped, everything else as UTF-8.
void AppendJsonString(std::string& out, std::wstring_view value) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < value.size();) {
        char32_t c = platform::NextCodePoint(value, i);
        switch (c) {
        case U'"': out += "\\\""; break;
        case U'\\': out += "\\\\"; break;
        case U'\b': out += "\\b"; break;
        case U'\f': out += "\\f"; break;
        case U'\n': out += "\\n"; break;
        case U'\r': out += "\\r"; break;
        case U'\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                platform::AppendUtf8(out, c);
            }
        }
    }
    out += '"';
}

void AppendJsonField(std::string& out, const char* name, std::wstring_view value) {
    out += '"';
    out += name;
    out += "\":";
    AppendJsonString(out, CutToCharacters(value, GA4ValueLimit));
}

}  // namespace

std::wstring_view CutToCharacters(std::wstring_view AValue, std::size_t ALimit) {
    std::size_t end = 0;
    for (std::size_t count = 0; end < AValue.size() && count < ALimit; ++count) platform::NextCodePoint(AValue, end);
    return AValue.substr(0, end);
}

std::wstring EncodeFormValue(const std::wstring& value) {
    std::wstring out;
    platform::AppendPercentEncoded(out, value, PassesUnchanged);
    return out;
}

std::wstring ComposePayload(const TEventFields& f) {
    std::wstring body = L"v=1&tid=" + EncodeFormValue(f.TrackingID);
    body += L"&cid=" + EncodeFormValue(f.ClientID);
    body += L"&t=event&ec=" + EncodeFormValue(f.Category);
    body += L"&ea=" + EncodeFormValue(f.Name);
    body += L"&el=" + EncodeFormValue(f.Label);
    body += L"&ev=";
    platform::AppendDecimal(body, f.Value);
    if (!f.Language.empty()) body += L"&ul=" + EncodeFormValue(f.Language);
    return body;
}

std::string ComposeJsonPayload(const TEventFields& f, std::wstring_view sessionID) {
    std::string body = "{";
    AppendJsonField(body, "client_id", f.ClientID);
    body += ",\"events\":[{";
    AppendJsonField(body, "name", f.Name);
    body += ",\"params\":{";
    AppendJsonField(body, "category", f.Category);
    if (!f.Campaign.empty()) {
        body += ',';
        AppendJsonField(body, "campaign", f.Campaign);
    }
    if (!f.Label.empty()) {
        body += ',';
        AppendJsonField(body, "label", f.Label);
    }
    body += ",\"value\":" + std::to_string(f.Value);
    body += ",\"engagement_time_msec\":1,";
    AppendJsonField(body, "session_id", sessionID);
    body += "}}]";
    if (!f.Language.empty()) {
        body += ",\"device\":{";
        AppendJsonField(body, "language", f.Language);
        body += '}';
    }
    body += '}';
    return body;
}

std::wstring ComposeGA4Object(std::wstring_view measurementID, std::wstring_view apiSecret) {
    std::wstring object = L"/mp/collect?measurement_id=";
    platform::AppendPercentEncoded(object, measurementID, PassesUnchanged);
    object += L"&api_secret=";
    platform::AppendPercentEncoded(object, apiSecret, PassesUnchanged);
    return object;
}

std::wstring SessionIDAt(std::uint64_t fileTime) {
    // 1970-01-01 in 100 ns units since 1601-01-01.
    constexpr std::uint64_t UnixEpoch = 116444736000000000;
    std::wstring id;
    platform::AppendDecimal(id, fileTime > UnixEpoch ? static_cast<std::int64_t>((fileTime - UnixEpoch) / 10000000) : 0);
    return id;
}

}  // namespace payload
